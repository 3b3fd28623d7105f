// The previewed picture prepared for drawing: the component's own copy of the graphic,
// its pixels as one image for raster pictures (the same QImage object for every sheet, so
// a PDF stores the pixels once), and a reduced copy that the page tiles draw from.
#pragma once

#include <cstdint>
#include <memory>

#include <QImage>
#include <QRectF>
#include <QSize>

#include "platform/Bitmap.h"

class Graphic;
class Metafile;
class QPainter;

class TPreviewPicture {
public:
    TPreviewPicture();
    ~TPreviewPicture();
    TPreviewPicture(const TPreviewPicture&) = delete;
    TPreviewPicture& operator=(const TPreviewPicture&) = delete;

    // Takes a copy of graphic (nullptr or an empty graphic clears). A metafile copy gets its
    // natural size divided by the screen's metafile scale (percent).
    void Assign(const Graphic* graphic, int screenScaleX = 100, int screenScaleY = 100);
    void Clear();

    const Graphic* graphic() const { return graphic_.get(); }
    bool empty() const { return !graphic_; }
    int width() const;
    int height() const;
    // A recorded vector picture (drawn by playing it) rather than a raster.
    bool IsVector() const { return vector_ != nullptr; }
    const Metafile* vector() const { return vector_; }

    // The full-resolution pixels of a raster picture (null for a vector picture). The same
    // object is returned until the picture changes.
    const QImage& Pixels() const { return pixels_; }

    // Draws the picture stretched into dest at full quality (printing).
    void Draw(QPainter& painter, const QRectF& dest) const;

    // Draws the picture stretched into dest (in painter units) from a copy reduced to
    // deviceSize, the size dest has on the device. The copy is made once and reused while
    // the picture and deviceSize stay the same.
    void DrawReduced(QPainter& painter, const QRectF& dest, QSize deviceSize);
    // The reduced copy for deviceSize (exposed for the tests and benchmarks).
    const QImage& Reduced(QSize deviceSize);

private:
    std::unique_ptr<Graphic> graphic_;
    const Metafile* vector_ = nullptr;
    // Decoded pixels of a picture that is not a bitmap itself (JPEG, GIF, icon).
    Bitmap decoded_;
    QImage pixels_;
    QImage reduced_;
    QSize reducedFor_;
};

// Samples src (24- or 32-bit) down to size with 2 x 2 points per target pixel; a target
// larger than src is returned as src converted to 32 bits.
QImage ReduceImage(const QImage& src, QSize size);
