// The placement arithmetic of the print preview: printer and screen geometry, the picture's
// position and rectangle on a grid of printer sheets in printer pixels and in millimetres,
// the ratios and modes, and the mouse rules. Plain classes without a window, so that the
// preview component, the command-line tool and the tests share one implementation.
//
// Usage:
//   TPreviewLayout layout;
//   layout.SetPrinterInfo(ReadPrinterInfo(printer, screenInfo()));
//   layout.SetGraphicSize(6000, 4000);       // re-applies the print mode
//   layout.SetPrintRatio(50);
//   for (int r = 1; r <= layout.PageRows(); ++r)
//       for (int c = 1; c <= layout.PageColumns(); ++c)
//           TPxRect onSheet = layout.PageRect(c, r);
//
// Pixel positions are printer pixels relative to the top-left corner of the printable
// area of the first sheet; millimetres are measured from the top-left corner of the
// paper of the first sheet. The millimetre values are the master copy: re-applying the
// print mode after a printer change rebuilds the pixel values from them.
#pragma once

#include <functional>

#include <QPoint>
#include <QSize>
#include <Qt>

struct ScreenInfo;
class QPrinter;

enum TPrintMode { pmRatio, pmArea };
enum TGraphicMode { gmMetafile, gmGraphic };

struct TMMPoint {
    double X = 0;
    double Y = 0;
    bool operator==(const TMMPoint&) const = default;
};

struct TMMRect {
    double Left = 0;
    double Top = 0;
    double Right = 0;
    double Bottom = 0;
    bool operator==(const TMMRect&) const = default;
};

// A rectangle in printer pixels; Right and Bottom are inclusive (Right = Left + width - 1).
struct TPxRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int width() const { return Right - Left + 1; }
    int height() const { return Bottom - Top + 1; }
    bool operator==(const TPxRect&) const = default;
};

// Printer and screen geometry. Millimetre values are already multiplied by
// PrinterScale / 100, as every position and the paper listing use them.
struct TPrinterInfo {
    int PrintableWidthPx = 0, PrintableHeightPx = 0;
    int PaperWidthPx = 0, PaperHeightPx = 0;
    int PrinterDpiX = 0, PrinterDpiY = 0;
    int ScreenDpiX = 96, ScreenDpiY = 96;
    int ScreenWidthPx = 0, ScreenHeightPx = 0;
    int MarginLeftPx = 0, MarginTopPx = 0, MarginRightPx = 0, MarginBottomPx = 0;
    double PrintableWidthMM = 0, PrintableHeightMM = 0;
    double PaperWidthMM = 0, PaperHeightMM = 0;
    double MarginLeftMM = 0, MarginTopMM = 0, MarginRightMM = 0, MarginBottomMM = 0;
    int PrinterScale = 100;
    int MetafileScaleX = 100, MetafileScaleY = 100;

    // Fills the millimetre fields and the right and bottom margins from the pixel fields.
    void Derive();
};

// Geometry of a printer (page rect = printable area, paper rect = the sheet, offsets = the
// page rect's top-left, resolution = dots per inch) and of a screen. This platform has no
// driver scale, so PrinterScale is 100. The metafile scale factors are measured from
// recordings made against the printer.
TPrinterInfo ReadPrinterInfo(const QPrinter& printer, const ScreenInfo& screen);

// Metafile scale factors: the reported size of an empty recording made against a
// reference device, in percent of that device's size.
QPoint MeasureMetafileScale(const TPrinterInfo& info);
QPoint MeasureScreenMetafileScale(const ScreenInfo& screen);

// Rounds to the nearest integer, halves to even, saturated to the int range.
int RoundHalfEven(long double value);

class TPreviewLayout {
public:
    // Raised after every change that needs the page tiles rebuilt.
    std::function<void()> OnChanged;

    TPreviewLayout();

    // Geometry; does not re-apply the mode (call SetPrintMode(PrintMode()) for that).
    void SetPrinterInfo(const TPrinterInfo& info) { info_ = info; }
    const TPrinterInfo& Info() const { return info_; }

    // The picture's size (0 x 0 without a picture); re-applies the print mode.
    void SetGraphicSize(int width, int height);
    bool HasGraphic() const { return hasGraphic_; }
    int GraphicWidth() const { return graphicWidth_; }
    int GraphicHeight() const { return graphicHeight_; }

    int PrintRatio() const { return printRatio_; }
    // 1..10000 is stored and the mode re-applied; anything else is ignored.
    void SetPrintRatio(int value);
    int PreviewRatio() const { return previewRatio_; }
    // 10..100 is stored and the tiles rebuilt; anything else is ignored.
    void SetPreviewRatio(int value);
    TGraphicMode GraphicMode() const { return graphicMode_; }
    // 0 (gmMetafile) or 1 (gmGraphic) is stored and the tiles rebuilt; anything else is
    // ignored.
    void SetGraphicMode(int value);
    bool MouseAction() const { return mouseAction_; }
    void SetMouseAction(bool value) { mouseAction_ = value; }

    TPrintMode PrintMode() const { return printMode_; }
    // Rebuilds the mode from the millimetre values.
    void SetPrintMode(TPrintMode mode);

    void SetPrintPos(QPoint p);
    void SetPrintRect(TPxRect r);
    void SetPrintPosMM(TMMPoint p);
    void SetPrintRectMM(TMMRect r);
    QPoint GetPrintPos() const { return printPos_; }
    TMMPoint GetPrintPosMM() const { return printPosMM_; }
    TPxRect GetPrintRect() const { return printRect_; }
    TMMRect GetPrintRectMM() const { return printRectMM_; }

    int PageColumns() const;
    int PageRows() const;
    // PrintRect in the coordinates of sheet (c, r)'s printable area; throws ERangeError
    // for a column or row outside the grid.
    TPxRect PageRect(int c, int r) const;

    // Conversions between printer pixels and millimetres.
    double XToMM(long double x) const;
    double YToMM(long double y) const;
    int MMToX(long double mm) const;
    int MMToY(long double mm) const;
    TMMPoint ToMM(QPoint p) const { return {XToMM(p.x()), YToMM(p.y())}; }
    TMMRect ToMM(const TPxRect& r) const {
        return {XToMM(r.Left), YToMM(r.Top), XToMM(r.Right), YToMM(r.Bottom)};
    }

    // A page tile in printer pixels (the sheet with a 50-pixel surround and the shadow)
    // and on screen.
    QSize TilePrinterSize() const { return {info_.PaperWidthPx + 150, info_.PaperHeightPx + 150}; }
    QSize TileScreenSize() const;

    // The mouse rules: x and y relative to the top-left corner of the first tile. Only
    // when MouseAction is on.
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y,
                   bool doubleClick);
    // The clicked point in printable-area pixels of the first sheet.
    QPoint ClickedPoint(int x, int y) const;

private:
    void Changed() {
        if (OnChanged) OnChanged();
    }

    TPrinterInfo info_;
    bool hasGraphic_ = false;
    int graphicWidth_ = 0, graphicHeight_ = 0;
    int printRatio_ = 100;
    int previewRatio_ = 20;
    TGraphicMode graphicMode_ = gmMetafile;
    TPrintMode printMode_ = pmRatio;
    bool mouseAction_ = false;
    QPoint printPos_;
    TMMPoint printPosMM_;
    TPxRect printRect_;
    TMMRect printRectMM_;
};
