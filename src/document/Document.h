// TDocument: the picture being worked on, without any widget. It holds the copies of the
// picture (the one in view inside the engine, the base image that the tone sliders
// re-apply from and undo returns to, and the source file that revert reloads), opens,
// saves, undoes, reverts and clears, converts the picture's kind, and keeps the temporary
// copies of pictures that arrived without a file in this instance's own folder. The main
// window's handlers forward to it and do the window's part (sliders, view size, caption,
// messages).
#pragma once

#include <filesystem>
#include <memory>

#include <QString>

#include "engine/FastPicture.h"
#include "platform/Picture.h"

class Bitmap;
class Graphic;
class TInstanceFolder;
class TPicturePreload;

class TDocument {
public:
    explicit TDocument(TFastPicture& engine);
    // Removes this instance's temporary folder and the copies in it.
    ~TDocument();
    TDocument(const TDocument&) = delete;
    TDocument& operator=(const TDocument&) = delete;

    // The engine holding the picture in view.
    TFastPicture& Engine;

    // The opened file, or the temporary copy of a picture that arrived without one; empty
    // without a picture. Equal to DisplayName for a user's file.
    QString SourcePath;
    // The opened file's path, or a label such as "Copied JPEG".
    QString DisplayName;
    // "  <n>KB" for an opened file, else empty.
    QString SizeText;
    // Last folders of the open and save dialogs.
    QString OpenDir;
    QString SaveDir;
    // The base image; never null.
    std::unique_ptr<Bitmap> BaseBitmap;
    // Folder for the temporary copies used instead of this instance's own (tests).
    std::filesystem::path TemporaryFolderOverride;
    // A file being read ahead (the one named at start). The next Load takes its result when
    // it loads the same path and drops it otherwise.
    std::unique_ptr<TPicturePreload> Preload;

    const Graphic* Current() const { return Engine.picture().graphic(); }

    // A file named by the user (dialog, command line, file drop): deletes a temporary
    // copy, names the document after path and loads it (see Load).
    bool Open(const QString& path);
    // Loads path into the view: the view is emptied first, the picture is read and
    // decoded, and the base image taken. For a user's file (DisplayName equal to
    // SourcePath) SizeText and OpenDir follow the file; otherwise SizeText is cleared.
    // On failure the view stays empty, DisplayName and SourcePath are cleared and false
    // is returned; the caller shows the message.
    bool Load(const QString& path);
    // Reloads the source file: the picture as it arrived.
    bool Revert() { return Load(SourcePath); }
    // Saves the picture under path by its extension, at the size and quality options
    // give; SaveDir follows. Errors pass to the caller and change nothing.
    void Save(const QString& path, const SaveOptions& options);
    // Puts a copy of the base image into the view when the picture in view is a bitmap;
    // returns whether it did.
    bool RestoreBase();
    // Empties the view and forgets the names (a temporary copy stays on disk until the
    // next picture replaces it or the instance ends).
    void Clear();
    // A picture that arrived without a file (paste, drop): it goes into the view, the
    // previous temporary copy is deleted, the new one written, DisplayName set to label
    // and the base image taken.
    void Arrive(std::unique_ptr<Graphic> picture, const QString& label);
    // Converts the picture in view to kind (JPEG at jpegQuality). The base image is not
    // touched.
    void ConvertKind(GraphicKind kind, int jpegQuality);

    // The base image becomes the picture in view as a bitmap (JPEG and GIF pictures
    // give their decoded bitmap, other pictures are drawn at their natural size).
    void TakeBase();
    // Writes the picture in view as this instance's temporary copy (its name chosen by
    // the picture's kind) and makes it the SourcePath.
    void SaveTemporaryCopy();
    // Deletes the file SourcePath names when it is a temporary copy (SourcePath differs
    // from DisplayName), never a user's file.
    void DeleteTemporaryCopy();
    // The folder of the temporary copies, created on first use.
    std::filesystem::path TemporaryFolder();

private:
    std::unique_ptr<TInstanceFolder> instanceFolder_;
};

// ----- small rules of the document -----
// Paths cross to the platform layer in the file system's encoding (QFile::encodeName) and
// come back from it through FromPath. A name's bytes that are not valid UTF-8 are kept in
// the QString as the characters U+DC80..U+DCFF, one per byte, so such names open and save
// (Qt's own decoding would replace them); valid names are not changed.
std::filesystem::path ToPath(const QString& path);
QString FromPath(const std::filesystem::path& path);
// "  " + file size in KB (rounded as the size text rounds) + "KB".
QString FileSizeText(unsigned long long size);
// Folder of a path: everything before the last "/"; the root keeps its slash.
QString FolderOf(const QString& path);
// The temporary copy's file name for a picture's kind ("ImageData.bmp", ...).
QString TemporaryName(const Graphic* graphic);
