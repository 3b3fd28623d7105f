#include "preview/GrphPrev.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QPrinter>
#include <QScrollBar>

#include "platform/Graphic.h"
#include "platform/Metafile.h"
#include "platform/Screen.h"
#include "preview/PagePainter.h"
#include "preview/PaperInfo.h"
#include "preview/SharedPrinter.h"

namespace {

// The surface the tiles sit on: presses on it (between or beside the tiles) reach the
// component in layout coordinates as well.
class LayoutSurface : public QWidget {
public:
    explicit LayoutSurface(TGraphicPreview* owner) : owner_(owner) {}

protected:
    void mousePressEvent(QMouseEvent* e) override {
        owner_->LayoutMouseDown(e->button(), e->modifiers(), e->position().toPoint().x(),
                                e->position().toPoint().y(), false);
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        owner_->LayoutMouseDown(e->button(), e->modifiers(), e->position().toPoint().x(),
                                e->position().toPoint().y(), true);
    }

private:
    TGraphicPreview* owner_;
};

} // namespace

// One page tile: shows its sheet's drawing and hands every press to the component with
// the coordinates translated by its position, so the tiles are transparent to the mouse.
class TPageTile : public QWidget {
public:
    TPageTile(TGraphicPreview* owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
    void SetImage(QImage image) {
        image_ = std::move(image);
        resize(image_.size());
        update();
    }
    const QImage& Image() const { return image_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, image_);
    }
    void mousePressEvent(QMouseEvent* e) override { forward(e, false); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { forward(e, true); }

private:
    void forward(QMouseEvent* e, bool doubleClick) {
        const QPoint at = e->position().toPoint() + pos();
        owner_->LayoutMouseDown(e->button(), e->modifiers(), at.x(), at.y(), doubleClick);
    }

    TGraphicPreview* owner_;
    QImage image_;
};

TGraphicPreview::TGraphicPreview(QWidget* parent, QPrinter* printer)
    : QScrollArea(parent), printer_(printer ? printer : &SharedPrinter()) {
    content_ = new LayoutSurface(this);
    content_->resize(0, 0);
    setWidget(content_);
    setWidgetResizable(false);
    layout_.OnChanged = [this] { UpdatePreview(); };
    UpdatePrinterInfo();
    layout_.SetPrintPos(QPoint(0, 0));
    screenScale_ = MeasureScreenMetafileScale(screenInfo());
}

TGraphicPreview::~TGraphicPreview() {
    layout_.OnChanged = nullptr;
    while (!tiles_.empty())
        tiles_.pop_back();
}

void TGraphicPreview::SetGraphic(const Graphic* graphic) {
    picture_.Assign(graphic, screenScale_.x(), screenScale_.y());
    layout_.SetGraphicSize(picture_.width(), picture_.height());
}

void TGraphicPreview::UpdatePrinterInfo() {
    layout_.SetPrinterInfo(ReadPrinterInfo(*printer_, screenInfo()));
}

void TGraphicPreview::Repaint() {
    UpdatePrinterInfo();
    layout_.SetPrintMode(layout_.PrintMode());
    update();
}

void TGraphicPreview::ShowPaperInfo() {
    UpdatePrinterInfo();
    std::unique_ptr<Metafile> listing = MakePaperInfo(layout_.Info());
    SetGraphic(listing.get());
}

void TGraphicPreview::Print(int Copies) {
    PrintPicture(*printer_, layout_, picture_, Copies);
}

void TGraphicPreview::DoPreview() {
    if (OnPreview) OnPreview(this);
}

void TGraphicPreview::DoPreviewed() {
    if (OnPreviewed) OnPreviewed(this);
}

void TGraphicPreview::UpdatePreview() {
    if (inUpdate_) return;
    inUpdate_ = true;
    DoPreview();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const size_t wanted = static_cast<size_t>(layout_.PageRows()) * layout_.PageColumns();
    while (tiles_.size() > wanted)
        tiles_.pop_back();
    if (!picture_.empty()) {
        horizontalScrollBar()->setValue(0);
        verticalScrollBar()->setValue(0);
    }
    for (int r = 1; r <= layout_.PageRows(); ++r)
        for (int c = 1; c <= layout_.PageColumns(); ++c)
            UpdatePageTile(c, r);
    const QSize tile = tiles_.empty() ? QSize(0, 0) : tiles_.front()->size();
    content_->resize(tile.width() * layout_.PageColumns(), tile.height() * layout_.PageRows());
    QApplication::restoreOverrideCursor();
    DoPreviewed();
    inUpdate_ = false;
}

void TGraphicPreview::UpdatePageTile(int c, int r) {
    if (c < 1 || r < 1 || c > layout_.PageColumns() || r > layout_.PageRows()) return;
    const size_t n = static_cast<size_t>(c + (r - 1) * layout_.PageColumns());
    while (tiles_.size() < n) {
        auto tile = std::make_unique<TPageTile>(this, content_);
        tile->show();
        tiles_.push_back(std::move(tile));
    }
    TPageTile& tile = *tiles_[n - 1];
    const QSize first = n == 1 ? QSize(0, 0) : tiles_.front()->size();
    tile.move((c - 1) * first.width(), (r - 1) * first.height());
    tile.SetImage(RenderPageTile(layout_, c, r, picture_, palette().color(QPalette::Button)));
}

const QWidget* TGraphicPreview::Tile(int index) const {
    return tiles_.at(static_cast<size_t>(index)).get();
}

const QImage& TGraphicPreview::TileImage(int index) const {
    return tiles_.at(static_cast<size_t>(index))->Image();
}

void TGraphicPreview::LayoutMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                                      int x, int y, bool doubleClick) {
    layout_.MouseDown(button, modifiers, x, y, doubleClick);
    if (OnMouseDown) OnMouseDown(button, modifiers, x, y);
}
