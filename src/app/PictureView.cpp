#include "app/PictureView.h"

#include <exception>
#include <memory>
#include <utility>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "formats/GIFImage.h"
#include "formats/GIFPainter.h"
#include "platform/Bitmap.h"

namespace {

// Above this many pixels a metafile is played straight onto the screen at every paint
// rather than kept as an image (a 200 % view of a large metafile would need gigabytes).
constexpr qint64 kMaxCachedMetafilePixels = qint64(32) << 20;

bool isMetafile(const Graphic& g) {
    return g.kind() == GraphicKind::Metafile;
}

// A GIF picture that plays as an animation (several frames, animation on).
const TGIFImage* animatedGif(const Graphic* g) {
    if (!g || g->kind() != GraphicKind::Gif) return nullptr;
    auto* gif = static_cast<const TGIFImage*>(g);
    if (gif->Images.size() <= 1 || !(gif->PaintOptions & (1 << 2))) return nullptr;
    return gif;
}

// The rows a picture can be painted from as they are, without a display copy: a 24-bit
// bitmap, or the decoded 24-bit picture of a JPEG. Qt scales them with the same choice of
// whole rows and columns as it does the display copy, so both paint the same pixels.
const Bitmap* directRows(const Graphic& g) {
    if (g.kind() != GraphicKind::Bitmap && g.kind() != GraphicKind::Jpeg) return nullptr;
    const Bitmap* rows = g.raster();
    if (!rows || rows->empty() || rows->pixelFormat() != pf24bit) return nullptr;
    return rows;
}

// A new opaque RGB32 image whose memory comes from a bitmap buffer: page-aligned and, for
// a large picture, backed by huge pages, so that filling it the first time costs a fraction
// of the page faults of an ordinary allocation. Falls back to an ordinary image.
QImage NewDisplayImage(int width, int height) {
    try {
        auto store = std::make_unique<Bitmap>(width, height, pf32bit);
        QImage image(
            store->scanLine(0), width, height, store->stride(), QImage::Format_RGB32,
            [](void* owner) { std::unique_ptr<Bitmap> release(static_cast<Bitmap*>(owner)); },
            store.get());
        if (!image.isNull()) {
            store.release(); // now owned by the image's cleanup
            return image;
        }
    } catch (const std::exception&) {
    }
    return QImage(width, height, QImage::Format_RGB32);
}

// An opaque RGB32 copy of a bitmap into out. The 24-bit layout, the one every operation
// leaves behind, is converted row by row into out's existing buffer when the size is
// unchanged (a re-applied tone slider then costs no fresh allocation). Qt's converters
// handle the 16-bit and indexed layouts; 32-bit layouts go through the bitmap's copy,
// which forces the unused fourth byte to 255 (Qt would otherwise take it for alpha).
void DisplayCopy(const Bitmap& bmp, QImage& out) {
    switch (bmp.pixelFormat()) {
    case pf24bit: {
        const int width = bmp.width();
        if (out.size() != QSize(width, bmp.height()) || out.format() != QImage::Format_RGB32)
            out = NewDisplayImage(width, bmp.height());
        if (out.isNull()) return;
        uchar* bits = out.bits(); // detaches now, not inside the worker threads
        const qsizetype stride = out.bytesPerLine();
        engine::forEachRowRange(bmp.height(), width, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const uint8_t* src = bmp.scanLine(y);
                auto* dst = reinterpret_cast<QRgb*>(bits + y * stride);
                for (int x = 0; x < width; ++x, src += 3)
                    dst[x] = 0xFF000000u | (QRgb(src[2]) << 16) | (QRgb(src[1]) << 8) | src[0];
            }
        });
        return;
    }
    case pf16bit:
    case pf15bit:
    case pf8bit:
    case pf1bit: {
        QImage wrapped = bmp.asQImage();
        if (!wrapped.isNull()) {
            out = wrapped.convertToFormat(QImage::Format_RGB32);
            return;
        }
        break;
    }
    default:
        break;
    }
    out = bmp.toDisplayImage();
}

} // namespace

TPictureView::TPictureView(TFastPicture& picture, QWidget* parent)
    : QWidget(parent), picture_(picture), copyTimer_(new QTimer(this)) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setMouseTracking(false);
    copyTimer_->setSingleShot(true);
    copyTimer_->setInterval(kDisplayCopyDelayMs);
    connect(copyTimer_, &QTimer::timeout, this, [this] {
        // The copy paints the same pixels as the rows did: nothing to repaint.
        if (!naturalValid_) NaturalCopy();
    });
}

void TPictureView::PictureChanged() {
    // The display copy keeps its buffer for the next rebuild.
    naturalValid_ = false;
    scaledValid_ = false;
    scaled_ = QImage();
    StartAnimation();
    SyncSize();
    update();
}

void TPictureView::PixelsChanged(const std::vector<QRect>& pictureAreas) {
    const Bitmap* bmp = picture_.picture().as<Bitmap>();
    if (!bmp || animPainter_) {
        PictureChanged();
        return;
    }
    const QRect bounds(0, 0, bmp->width(), bmp->height());
    const bool patch = naturalValid_ && natural_.size() == bounds.size() &&
                       natural_.format() == QImage::Format_RGB32;
    const QRect target = TargetRect();
    for (const QRect& area : pictureAreas) {
        const QRect a = area.intersected(bounds);
        if (a.isEmpty()) continue;
        if (patch) {
            // Only the changed pixels are converted: no pass over the whole picture.
            for (int y = a.top(); y <= a.bottom(); ++y) {
                auto* dst = reinterpret_cast<QRgb*>(natural_.scanLine(y));
                if (bmp->pixelFormat() == pf24bit) {
                    const uint8_t* src = bmp->scanLine(y) + 3 * a.left();
                    for (int x = a.left(); x <= a.right(); ++x, src += 3)
                        dst[x] = 0xFF000000u | (QRgb(src[2]) << 16) | (QRgb(src[1]) << 8) | src[0];
                } else {
                    for (int x = a.left(); x <= a.right(); ++x) {
                        const uint32_t c = bmp->pixelColor(x, y);
                        dst[x] = qRgb(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
                    }
                }
            }
        }
        if (target.isEmpty()) continue;
        // The area as it lands in the widget, widened by a pixel for the rounding of the
        // scaled drawing.
        const qint64 w = bounds.width(), h = bounds.height();
        const int x0 = target.left() + int(qint64(a.left()) * target.width() / w) - 1;
        const int y0 = target.top() + int(qint64(a.top()) * target.height() / h) - 1;
        const int x1 = target.left() + int((qint64(a.right()) + 1) * target.width() / w) + 1;
        const int y1 = target.top() + int((qint64(a.bottom()) + 1) * target.height() / h) + 1;
        update(QRect(QPoint(x0, y0), QPoint(x1, y1)));
    }
    if (!patch) {
        naturalValid_ = false;
        update();
    }
}

TPictureView::~TPictureView() {
    StopAnimation();
}

void TPictureView::StopAnimation() {
    // The painter stops and ends before its image goes.
    animPainter_.reset();
    animImage_.reset();
}

void TPictureView::StartAnimation() {
    StopAnimation();
    const TGIFImage* gif = animatedGif(picture_.picture().graphic());
    if (!gif) return;
    std::unique_ptr<Graphic> copy = gif->clone();
    animImage_.reset(static_cast<TGIFImage*>(copy.release()));
    animImage_->OnPaint = [this](TGIFPainter&) { update(); };
    // Bit 0: the painter keeps time on a thread of its own and hands each step to this
    // thread, so starting it does not block.
    animPainter_ = std::make_unique<TGIFPainter>(
        *animImage_, static_cast<uint16_t>(animImage_->PaintOptions | 1));
    animPainter_->start();
}

void TPictureView::AfterNextPaint(std::function<void()> work) {
    afterPaint_.push_back(std::move(work));
    update();
}

bool TPictureView::Animating() const {
    return animPainter_ && animPainter_->running();
}

void TPictureView::SyncSize() {
    QSize want(std::max(0, picture_.Width), std::max(0, picture_.Height));
    if (size() != want) {
        resize(want);
        scaledValid_ = false;
        scaled_ = QImage();
    }
}

QRect TPictureView::TargetRect() const {
    const Graphic* g = picture_.picture().graphic();
    if (!g) return QRect();
    if (picture_.Stretch) return rect();
    QSize natural(g->width(), g->height());
    if (picture_.Center)
        return QRect(QPoint((width() - natural.width()) / 2, (height() - natural.height()) / 2),
                     natural);
    return QRect(QPoint(0, 0), natural);
}

const QImage& TPictureView::NaturalCopy() {
    if (naturalValid_) return natural_;
    naturalValid_ = true;
    ++rebuilds_;
    const Graphic* g = picture_.picture().graphic();
    if (!g || g->empty()) {
        natural_ = QImage();
        return natural_;
    }
    if (g->kind() == GraphicKind::Bitmap) {
        DisplayCopy(static_cast<const Bitmap&>(*g), natural_);
    } else if (const Bitmap* rows = g->kind() == GraphicKind::Jpeg ? g->raster() : nullptr) {
        // A JPEG picture is opaque: its decoded bitmap is copied as a bitmap is.
        DisplayCopy(*rows, natural_);
    } else {
        // Icons and GIF frames may be see-through: keep their alpha.
        natural_ = QImage(g->width(), g->height(), QImage::Format_ARGB32_Premultiplied);
        if (natural_.isNull()) return natural_;
        natural_.fill(Qt::transparent);
        QPainter p(&natural_);
        g->paint(p, QRectF(0, 0, g->width(), g->height()));
    }
    return natural_;
}

const QImage& TPictureView::ScaledMetafile(const QSize& size) {
    if (scaledValid_ && scaled_.size() == size) return scaled_;
    scaledValid_ = true;
    ++rebuilds_;
    scaled_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
    if (scaled_.isNull()) return scaled_;
    scaled_.fill(Qt::transparent);
    QPainter p(&scaled_);
    picture_.picture().graphic()->paint(p, QRectF(QPointF(0, 0), QSizeF(size)));
    return scaled_;
}

void TPictureView::paintEvent(QPaintEvent* event) {
    const Graphic* g = picture_.picture().graphic();
    if (!g || g->empty()) return;
    QRect target = TargetRect();
    if (target.isEmpty()) return;
    struct PaintedNotice {
        TPictureView* view;
        ~PaintedNotice() {
            // Queued, so that they run once the frame has been flushed to the screen.
            for (auto& work : std::exchange(view->afterPaint_, {}))
                QTimer::singleShot(0, view, std::move(work));
            if (view->OnPainted) view->OnPainted();
        }
    } notice{this};
    QPainter p(this);
    p.setClipRegion(event->region());
    // Whole rows and columns are kept or repeated: no smoothing.
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    if (animPainter_) {
        animPainter_->target().paint(p, QRectF(target));
        return;
    }
    if (isMetafile(*g)) {
        if (qint64(target.width()) * target.height() <= kMaxCachedMetafilePixels) {
            const QImage& img = ScaledMetafile(target.size());
            if (!img.isNull()) p.drawImage(target.topLeft(), img);
        } else {
            g->paint(p, QRectF(target));
        }
        return;
    }
    if (!naturalValid_) {
        if (const Bitmap* rows = directRows(*g)) {
            // Until the picture has stayed unchanged for a moment, it is painted from its
            // own rows: the first frame of a new picture and every step of a slider then
            // cost no pass over the whole picture.
            const QImage wrapped = rows->asQImage();
            if (wrapped.size() == target.size())
                p.drawImage(target.topLeft(), wrapped);
            else
                p.drawImage(target, wrapped);
            copyTimer_->start();
            return;
        }
    }
    const QImage& img = NaturalCopy();
    if (img.isNull()) return;
    if (img.size() == target.size())
        p.drawImage(target.topLeft(), img);
    else
        p.drawImage(target, img);
}

void TPictureView::mousePressEvent(QMouseEvent* event) {
    if (OnMouseDown) {
        QPoint pos = event->position().toPoint();
        OnMouseDown(event->button(), event->modifiers(), pos.x(), pos.y());
    }
}

void TPictureView::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouseMove) {
        QPoint pos = event->position().toPoint();
        OnMouseMove(event->buttons(), event->modifiers(), pos.x(), pos.y());
    }
}
