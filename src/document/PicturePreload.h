// A picture file named at start, read and decoded on a worker thread while the window is
// being built, so that the decoding and the window's set-up overlap. The document takes the
// result when it opens that file; the picture and its base image are then exactly what
// opening it on the window's thread would give.
#pragma once

#include <future>
#include <memory>
#include <optional>

#include <QString>

#include "platform/Bitmap.h"

class Graphic;

class TPicturePreload {
public:
    // What reading the file gave: the picture and, for a picture that is or decodes to a
    // raster, its base image (the copy TakeBase would make).
    struct Result {
        std::unique_ptr<Graphic> picture;
        std::optional<Bitmap> base;
    };

    // Starts reading path when its format is one whose reader runs off the window's thread
    // (JPEG, BMP, PNG, WebP: readers of bytes into rows, nothing drawn); otherwise, or when
    // no thread can be started, nothing is read ahead and Started() is false. The picture
    // formats and the picture limits must be set up before.
    explicit TPicturePreload(const QString& path);
    // Waits for the worker when its result was never taken.
    ~TPicturePreload();
    TPicturePreload(const TPicturePreload&) = delete;
    TPicturePreload& operator=(const TPicturePreload&) = delete;

    const QString& Path() const { return path_; }
    bool Started() const { return future_.valid(); }
    // Waits for the worker and hands over its result; rethrows the reader's exception.
    // Only once, and only when Started().
    Result Take();

    // Whether files with this name are read ahead.
    static bool Readable(const QString& path);

private:
    QString path_;
    std::future<Result> future_;
};
