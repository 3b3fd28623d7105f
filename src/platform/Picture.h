// The picture container: holds at most one graphic and loads and saves it by file
// extension through a registry of picture classes.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/AtomicFile.h"
#include "platform/Graphic.h"

class Bitmap;

class Picture {
public:
    Picture() = default;
    Picture(const Picture& other);
    Picture& operator=(const Picture& other);
    Picture(Picture&&) noexcept = default;
    Picture& operator=(Picture&&) noexcept = default;

    // The held graphic, or nullptr when empty.
    Graphic* graphic() { return graphic_.get(); }
    const Graphic* graphic() const { return graphic_.get(); }
    // The held graphic as a class, or nullptr when it is not one.
    template <class T> T* as() { return dynamic_cast<T*>(graphic_.get()); }
    template <class T> const T* as() const { return dynamic_cast<const T*>(graphic_.get()); }

    // Stores a copy of graphic (nullptr empties the container).
    void assign(const Graphic* graphic);
    // Takes ownership of graphic.
    void setGraphic(std::unique_ptr<Graphic> graphic);
    std::unique_ptr<Graphic> release() { return std::move(graphic_); }
    void clear() { graphic_.reset(); }

    int width() const { return graphic_ ? graphic_->width() : 0; }
    int height() const { return graphic_ ? graphic_->height() : 0; }
    bool empty() const { return !graphic_ || graphic_->empty(); }

    // Chooses the class by the file's extension (case ignored) and reads the file.
    // Throws EInvalidGraphic for an unknown extension, EFileError when the file cannot
    // be read, and the reader's exception for bad content. On failure the container
    // keeps what it held.
    void loadFromFile(const std::filesystem::path& path);
    // Writes the held graphic in its own format, through a temporary file in the same
    // folder that is renamed over the target, so a failed write never leaves a
    // half-written file in place of the old one.
    void saveToFile(const std::filesystem::path& path) const;

    // ----- registry of picture classes -----
    struct FileFormat {
        std::string extension;   // lower case, without the dot
        std::string description; // "JPEG イメージファイル"
        std::function<std::unique_ptr<Graphic>()> create;
    };
    static void registerFileFormat(const std::string& extension, const std::string& description,
                                   std::function<std::unique_ptr<Graphic>()> create);
    static const FileFormat* findFileFormat(const std::string& extension);
    static const std::vector<FileFormat>& fileFormats();
    // A new empty graphic of the class registered for extension; throws EInvalidGraphic
    // ("拡張子 .xyz の画像形式は扱えません") when none is registered.
    static std::unique_ptr<Graphic> createForExtension(const std::string& extension);

private:
    std::unique_ptr<Graphic> graphic_;
};

// Lower-case extension of a path without the dot ("" when none).
std::string extensionOf(const std::filesystem::path& path);

// Reads a whole file into memory; throws EFileError with the path in the message.
// Refuses files larger than maxBytes.
std::vector<uint8_t> readWholeFile(const std::filesystem::path& path,
                                   uint64_t maxBytes = uint64_t(4) << 30);
// Writes bytes through a temporary file in the same folder, a flush and a rename.
using core::writeFileAtomically;

// Registers bmp, emf, wmf and ico (the platform's own picture classes).
void registerPlatformFileFormats();
