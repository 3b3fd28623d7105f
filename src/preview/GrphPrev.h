// TGraphicPreview: a scrolling control that shows one picture on the current printer's
// sheets as page tiles, lets the mouse move, size and zoom it, prints it and can replace
// it by the paper-information listing. The placement arithmetic is TPreviewLayout
// (PrintLayout.h); this class adds the printer, the picture and the tiles.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QScrollArea>

#include "preview/PreviewPicture.h"
#include "preview/PrintLayout.h"

class Graphic;
class QPrinter;
class TPageTile;

class TGraphicPreview : public QScrollArea {
    Q_OBJECT
public:
    // printer: the printer whose geometry is previewed and that Print prints on (the
    // program's shared printer when null); it must outlive the component.
    explicit TGraphicPreview(QWidget* parent = nullptr, QPrinter* printer = nullptr);
    ~TGraphicPreview() override;

    // ----- properties -----
    const Graphic* GetGraphic() const { return picture_.graphic(); }
    void SetGraphic(const Graphic* graphic);
    int PrintRatio() const { return layout_.PrintRatio(); }
    void SetPrintRatio(int value) { layout_.SetPrintRatio(value); }
    int PreviewRatio() const { return layout_.PreviewRatio(); }
    void SetPreviewRatio(int value) { layout_.SetPreviewRatio(value); }
    TPrintMode PrintMode() const { return layout_.PrintMode(); }
    void SetPrintMode(TPrintMode mode) { layout_.SetPrintMode(mode); }
    TGraphicMode GraphicMode() const { return layout_.GraphicMode(); }
    void SetGraphicMode(int value) { layout_.SetGraphicMode(value); }
    bool MouseAction() const { return layout_.MouseAction(); }
    void SetMouseAction(bool value) { layout_.SetMouseAction(value); }
    std::function<void(TGraphicPreview*)> OnPreview;
    std::function<void(TGraphicPreview*)> OnPreviewed;
    // The owner's mouse-down handler: every press after the component has acted on it.
    std::function<void(Qt::MouseButton, Qt::KeyboardModifiers, int, int)> OnMouseDown;

    // ----- placement -----
    void SetPrintPos(QPoint p) { layout_.SetPrintPos(p); }
    void SetPrintRect(TPxRect r) { layout_.SetPrintRect(r); }
    void SetPrintPosMM(TMMPoint p) { layout_.SetPrintPosMM(p); }
    void SetPrintRectMM(TMMRect r) { layout_.SetPrintRectMM(r); }
    TPxRect GetPrintRect() const { return layout_.GetPrintRect(); }
    TMMRect GetPrintRectMM() const { return layout_.GetPrintRectMM(); }
    QPoint GetPrintPos() const { return layout_.GetPrintPos(); }
    TMMPoint GetPrintPosMM() const { return layout_.GetPrintPosMM(); }
    int PageColumns() const { return layout_.PageColumns(); }
    int PageRows() const { return layout_.PageRows(); }
    TPxRect PageRect(int c, int r) const { return layout_.PageRect(c, r); }

    const TPreviewLayout& Layout() const { return layout_; }
    const TPrinterInfo& PrinterInfo() const { return layout_.Info(); }
    QPrinter& Printer() const { return *printer_; }
    int ScreenMetafileScaleX() const { return screenScale_.x(); }
    int ScreenMetafileScaleY() const { return screenScale_.y(); }

    // ----- operations -----
    // Re-reads the printer and screen geometry.
    void UpdatePrinterInfo();
    // Rebuilds the page tiles.
    virtual void UpdatePreview();
    virtual void ClearGraphic() { SetGraphic(nullptr); }
    // Geometry re-read, mode rebuilt from the millimetre values, then repainted.
    void Repaint();
    // Replaces the picture by the paper-information listing.
    void ShowPaperInfo();
    // Prints every sheet the picture touches, Copies times (1..1000).
    void Print(int Copies);

    // The page tiles, row by row (for the window's tests).
    int TileCount() const { return static_cast<int>(tiles_.size()); }
    const QWidget* Tile(int index) const;
    const QImage& TileImage(int index) const;

    // A press on the layout at (x, y) relative to the top-left of the first tile.
    void LayoutMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y,
                         bool doubleClick);

protected:
    virtual void DoPreview();
    virtual void DoPreviewed();

private:
    friend class TPageTile;
    void UpdatePageTile(int c, int r);

    QPrinter* printer_;
    TPreviewLayout layout_;
    TPreviewPicture picture_;
    QPoint screenScale_{100, 100};
    QWidget* content_;
    std::vector<std::unique_ptr<TPageTile>> tiles_;
    bool inUpdate_ = false;
};
