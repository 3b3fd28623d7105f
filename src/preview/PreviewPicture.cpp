#include "preview/PreviewPicture.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QPainter>

#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"

namespace {

// Largest side of a reduced copy of a vector picture: beyond it the tiles stretch the copy.
constexpr int kMaxVectorSide = 4096;

} // namespace

TPreviewPicture::TPreviewPicture() = default;
TPreviewPicture::~TPreviewPicture() = default;

void TPreviewPicture::Clear() {
    graphic_.reset();
    vector_ = nullptr;
    decoded_ = Bitmap();
    pixels_ = QImage();
    reduced_ = QImage();
    reducedFor_ = QSize();
}

void TPreviewPicture::Assign(const Graphic* graphic, int screenScaleX, int screenScaleY) {
    Clear();
    if (!graphic || graphic->empty()) return;
    graphic_ = graphic->clone();
    if (graphic_->kind() == GraphicKind::Metafile) {
        auto* mf = static_cast<Metafile*>(graphic_.get());
        vector_ = mf;
        if (screenScaleX > 0) mf->setWidth(mf->width() * 100 / screenScaleX);
        if (screenScaleY > 0) mf->setHeight(mf->height() * 100 / screenScaleY);
        return;
    }
    // A bitmap, JPEG or GIF lends its own (decoded) raster; anything else (an icon) is
    // drawn once at its natural size.
    if (const Bitmap* raster = graphic_->raster()) {
        pixels_ = raster->asQImage();
    } else {
        decoded_ = graphicToBitmap(*graphic_);
        pixels_ = decoded_.asQImage();
    }
    // Pictures without a direct QImage layout are made 32-bit once.
    if (pixels_.format() != QImage::Format_BGR888 && pixels_.format() != QImage::Format_RGB32 &&
        pixels_.format() != QImage::Format_Indexed8)
        pixels_ = pixels_.convertToFormat(QImage::Format_RGB32);
}

int TPreviewPicture::width() const {
    return graphic_ ? graphic_->width() : 0;
}

int TPreviewPicture::height() const {
    return graphic_ ? graphic_->height() : 0;
}

void TPreviewPicture::Draw(QPainter& painter, const QRectF& dest) const {
    if (!graphic_) return;
    if (vector_)
        vector_->paint(painter, dest);
    else
        painter.drawImage(dest, pixels_);
}

const QImage& TPreviewPicture::Reduced(QSize deviceSize) {
    deviceSize = deviceSize.expandedTo(QSize(1, 1));
    if (reducedFor_ == deviceSize && !reduced_.isNull()) return reduced_;
    reducedFor_ = deviceSize;
    if (vector_) {
        QSize size = deviceSize;
        if (size.width() > kMaxVectorSide || size.height() > kMaxVectorSide)
            size.scale(kMaxVectorSide, kMaxVectorSide, Qt::KeepAspectRatio);
        size = size.expandedTo(QSize(1, 1));
        reduced_ = QImage(size, QImage::Format_RGB32);
        reduced_.fill(Qt::white);
        QPainter p(&reduced_);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        vector_->paint(p, QRectF(0, 0, size.width(), size.height()));
    } else {
        reduced_ = ReduceImage(pixels_, deviceSize);
    }
    return reduced_;
}

void TPreviewPicture::DrawReduced(QPainter& painter, const QRectF& dest, QSize deviceSize) {
    if (!graphic_) return;
    painter.drawImage(dest, Reduced(deviceSize));
}

QImage ReduceImage(const QImage& src, QSize size) {
    if (src.isNull()) return QImage();
    const int sw = src.width(), sh = src.height();
    const int tw = std::max(1, size.width()), th = std::max(1, size.height());
    const bool bgr = src.format() == QImage::Format_BGR888;
    const bool rgb32 = src.format() == QImage::Format_RGB32;
    if ((!bgr && !rgb32) || (tw >= sw && th >= sh))
        return src.convertToFormat(QImage::Format_RGB32);
    const int w = std::min(tw, sw), h = std::min(th, sh);
    // Two sample columns and rows per target pixel, at a quarter and three quarters of it.
    auto samples = [](int target, int source) {
        std::vector<int> at(static_cast<size_t>(target) * 2);
        for (int i = 0; i < target * 2; ++i) {
            const int64_t pos = (int64_t(2 * i + 1) * source) / (int64_t(target) * 4);
            at[static_cast<size_t>(i)] = static_cast<int>(std::min<int64_t>(pos, source - 1));
        }
        return at;
    };
    const std::vector<int> xs = samples(w, sw), ys = samples(h, sh);
    QImage out(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        const uchar* r0 = src.constScanLine(ys[size_t(2 * y)]);
        const uchar* r1 = src.constScanLine(ys[size_t(2 * y + 1)]);
        auto* o = reinterpret_cast<uint32_t*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int x0 = xs[size_t(2 * x)], x1 = xs[size_t(2 * x + 1)];
            uint32_t b = 0, g = 0, r = 0;
            if (bgr) {
                for (const uchar* row : {r0, r1})
                    for (int sx : {x0, x1}) {
                        const uchar* p = row + sx * 3;
                        b += p[0];
                        g += p[1];
                        r += p[2];
                    }
            } else {
                for (const uchar* row : {r0, r1})
                    for (int sx : {x0, x1}) {
                        const uint32_t v = reinterpret_cast<const uint32_t*>(row)[sx];
                        b += v & 0xff;
                        g += (v >> 8) & 0xff;
                        r += (v >> 16) & 0xff;
                    }
            }
            o[x] = 0xff000000u | (((r + 2) / 4) << 16) | (((g + 2) / 4) << 8) | ((b + 2) / 4);
        }
    }
    return out;
}
