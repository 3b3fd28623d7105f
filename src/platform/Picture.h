// The picture container: holds at most one graphic and loads and saves it by file
// extension through a registry of picture classes.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/Graphic.h"

class Bitmap;

// How a picture is written when saving converts it.
struct SaveOptions {
    // JPEG compression quality 1..100; 0 keeps the JPEG class's default, and a JPEG picture
    // saved as JPEG at its natural size is then written unchanged.
    int jpegQuality = 0;
    // The size shown: the saved picture is drawn stretched to it. -1 saves at the natural
    // size, converting only what the target format needs.
    int width = -1;
    int height = -1;
    // For metafile targets: enhanced (EMF) or old-style (WMF).
    bool enhancedMetafile = true;

    bool naturalSize() const { return width < 0 || height < 0; }
};

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
    // One entry per extension drives loading and saving alike.
    struct FileFormat {
        std::string extension;   // lower case, without the dot
        std::string description; // "JPEG イメージファイル"
        std::function<std::unique_ptr<Graphic>()> create;
        // Whether bytes are of this format (for names whose extension is unknown); optional.
        std::function<bool(std::span<const uint8_t>)> recognizes;
        // The bytes written when saving under this extension; optional: without it the
        // picture is written unchanged in its own format.
        std::function<std::vector<uint8_t>(const Graphic&, const SaveOptions&)> encode;
    };
    // Registers or replaces the entry for extension. Re-registering with this form keeps
    // the entry's recognizer and encoder.
    static void registerFileFormat(const std::string& extension, const std::string& description,
                                   std::function<std::unique_ptr<Graphic>()> create);
    // Registers or replaces the whole entry.
    static void registerFileFormat(FileFormat format);
    static const FileFormat* findFileFormat(const std::string& extension);
    // The first registered format whose recognizer accepts bytes, or nullptr.
    static const FileFormat* recognizeFileFormat(std::span<const uint8_t> bytes);
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
// Writes bytes through a temporary file in the same folder and a rename.
void writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Registers bmp, emf, wmf and ico (the platform's own picture classes).
void registerPlatformFileFormats();
