#include "document/PicturePreload.h"

#include <system_error>

#include "document/Document.h"
#include "formats/PictureIO.h"
#include "platform/GraphicBitmap.h"

bool TPicturePreload::Readable(const QString& path) {
    const std::string extension = extensionOf(ToPath(path));
    return extension == "jpg" || extension == "jpeg" || extension == "bmp" || extension == "png" ||
           extension == "webp";
}

TPicturePreload::TPicturePreload(const QString& path) : path_(path) {
    if (path.isEmpty() || !Readable(path)) return;
    const std::filesystem::path file = ToPath(path);
    try {
        future_ = std::async(std::launch::async, [file] {
            Result result;
            result.picture = loadPictureFile(file);
            if (result.picture->raster()) result.base = graphicToBitmap(*result.picture);
            return result;
        });
    } catch (const std::system_error&) {
        // No thread: the file is read when it is opened.
    }
}

TPicturePreload::~TPicturePreload() {
    if (future_.valid()) future_.wait();
}

TPicturePreload::Result TPicturePreload::Take() {
    return future_.get();
}
