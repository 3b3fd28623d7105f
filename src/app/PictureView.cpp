#include "app/PictureView.h"

#include <cstring>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include "engine/FastPicture.h"
#include "platform/Bitmap.h"

namespace {

// Above this many pixels a metafile is played straight onto the screen at every paint
// rather than kept as an image (a 200 % view of a large metafile would need gigabytes).
constexpr qint64 kMaxCachedMetafilePixels = qint64(32) << 20;

bool isMetafile(const Graphic& g) { return std::strcmp(g.className(), "TMetafile") == 0; }

} // namespace

TPictureView::TPictureView(TFastPicture& picture, QWidget* parent)
    : QWidget(parent), picture_(picture) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setMouseTracking(false);
}

void TPictureView::PictureChanged() {
    naturalValid_ = false;
    scaledValid_ = false;
    natural_ = QImage();
    scaled_ = QImage();
    SyncSize();
    update();
}

void TPictureView::SyncSize() {
    QSize want(std::max(0, picture_.Width), std::max(0, picture_.Height));
    if (size() != want) {
        resize(want);
        scaledValid_ = false;
        scaled_ = QImage();
    }
}

void TPictureView::SetOverlay(const QImage& frame) {
    overlay_ = frame;
    update();
}

QRect TPictureView::TargetRect() const {
    const Graphic* g = picture_.picture().graphic();
    if (!g) return QRect();
    if (picture_.Stretch) return rect();
    QSize natural(g->width(), g->height());
    if (picture_.Center)
        return QRect(QPoint((width() - natural.width()) / 2, (height() - natural.height()) / 2), natural);
    return QRect(QPoint(0, 0), natural);
}

const QImage& TPictureView::NaturalCopy() {
    if (naturalValid_) return natural_;
    naturalValid_ = true;
    ++rebuilds_;
    natural_ = QImage();
    const Graphic* g = picture_.picture().graphic();
    if (!g || g->empty()) return natural_;
    if (auto* bmp = dynamic_cast<const Bitmap*>(g)) {
        natural_ = bmp->toDisplayImage();
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
            if (view->OnPainted) view->OnPainted();
        }
    } notice{this};
    QPainter p(this);
    p.setClipRegion(event->region());
    // Whole rows and columns are kept or repeated: no smoothing.
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    if (!overlay_.isNull()) {
        p.drawImage(target, overlay_);
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
