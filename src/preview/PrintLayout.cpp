#include "preview/PrintLayout.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include <QPrinter>

#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "platform/Screen.h"

namespace {

constexpr long double kMmPerInch = 25.4L;
constexpr int kMaxSheets = 16;

int clampToInt(int64_t v) {
    return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
}

// True modulo: the result lies in [0, m) also for negative v.
int64_t wrap(int64_t v, int64_t m) {
    if (m <= 0) return 0;
    int64_t r = v % m;
    return r < 0 ? r + m : r;
}

// Number of sheets a span ending at the inclusive pixel `last` touches: last div size,
// plus one for a remainder (truncating division), at most 16.
int sheetCount(int last, int size) {
    if (size <= 0) return 0;
    int n = last / size + (last % size != 0 ? 1 : 0);
    return std::clamp(n, 0, kMaxSheets);
}

// A recording device with the printer's printable area and resolution.
ScreenInfo printerReference(const TPrinterInfo& info) {
    ScreenInfo ref;
    ref.widthPx = std::max(1, info.PrintableWidthPx);
    ref.heightPx = std::max(1, info.PrintableHeightPx);
    ref.logPixelsX = std::max(1, info.PrinterDpiX);
    ref.logPixelsY = std::max(1, info.PrinterDpiY);
    ref.widthMm = std::max(1, RoundHalfEven(ref.widthPx * kMmPerInch / ref.logPixelsX));
    ref.heightMm = std::max(1, RoundHalfEven(ref.heightPx * kMmPerInch / ref.logPixelsY));
    return ref;
}

} // namespace

int RoundHalfEven(long double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<long double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<long double>(INT_MIN)) return INT_MIN;
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    long double r = std::nearbyint(value);
    std::fesetround(saved);
    return static_cast<int>(r);
}

void TPrinterInfo::Derive() {
    MarginRightPx = PaperWidthPx - PrintableWidthPx - MarginLeftPx;
    MarginBottomPx = PaperHeightPx - PrintableHeightPx - MarginTopPx;
    const long double sx = PrinterDpiX > 0 ? kMmPerInch / PrinterDpiX : 0;
    const long double sy = PrinterDpiY > 0 ? kMmPerInch / PrinterDpiY : 0;
    const long double w = PrinterScale / 100.0L;
    PrintableWidthMM = static_cast<double>(PrintableWidthPx * sx * w);
    PrintableHeightMM = static_cast<double>(PrintableHeightPx * sy * w);
    PaperWidthMM = static_cast<double>(PaperWidthPx * sx * w);
    PaperHeightMM = static_cast<double>(PaperHeightPx * sy * w);
    MarginLeftMM = static_cast<double>(MarginLeftPx * sx * w);
    MarginRightMM = static_cast<double>(MarginRightPx * sx * w);
    MarginTopMM = static_cast<double>(MarginTopPx * sy * w);
    MarginBottomMM = static_cast<double>(MarginBottomPx * sy * w);
}

TPrinterInfo ReadPrinterInfo(const QPrinter& printer, const ScreenInfo& screen) {
    TPrinterInfo info;
    const QRectF page = printer.pageRect(QPrinter::DevicePixel);
    const QRectF paper = printer.paperRect(QPrinter::DevicePixel);
    info.PrintableWidthPx = qRound(page.width());
    info.PrintableHeightPx = qRound(page.height());
    info.PaperWidthPx = qRound(paper.width());
    info.PaperHeightPx = qRound(paper.height());
    info.MarginLeftPx = qRound(page.left() - paper.left());
    info.MarginTopPx = qRound(page.top() - paper.top());
    info.PrinterDpiX = info.PrinterDpiY = printer.resolution();
    info.ScreenDpiX = screen.logPixelsX;
    info.ScreenDpiY = screen.logPixelsY;
    info.ScreenWidthPx = screen.widthPx;
    info.ScreenHeightPx = screen.heightPx;
    info.PrinterScale = 100;
    const QPoint scale = MeasureMetafileScale(info);
    info.MetafileScaleX = scale.x();
    info.MetafileScaleY = scale.y();
    info.Derive();
    return info;
}

QPoint MeasureMetafileScale(const TPrinterInfo& info) {
    if (info.PrintableWidthPx <= 0 || info.PrintableHeightPx <= 0) return {100, 100};
    Metafile empty;
    { MetafileCanvas recording(empty, printerReference(info)); }
    const int x = static_cast<int>(int64_t(empty.width()) * 100 / info.PrintableWidthPx);
    const int y = static_cast<int>(int64_t(empty.height()) * 100 / info.PrintableHeightPx);
    // A recording that reports no size cannot serve as a correction.
    return {x > 0 ? x : 100, y > 0 ? y : 100};
}

QPoint MeasureScreenMetafileScale(const ScreenInfo& screen) {
    if (screen.widthPx <= 0 || screen.heightPx <= 0) return {100, 100};
    Metafile empty;
    { MetafileCanvas recording(empty, screen); }
    // The size in logical pixels derived from the recording's physical size.
    empty.setLogicalInch(true);
    const int x = static_cast<int>(int64_t(empty.width()) * 100 / screen.widthPx);
    const int y = static_cast<int>(int64_t(empty.height()) * 100 / screen.heightPx);
    return {x > 0 ? x : 100, y > 0 ? y : 100};
}

// ----------------------------------------------------------------------------------------

TPreviewLayout::TPreviewLayout() {
    SetPrintPos(QPoint(0, 0));
}

void TPreviewLayout::SetGraphicSize(int width, int height) {
    hasGraphic_ = width > 0 && height > 0;
    graphicWidth_ = hasGraphic_ ? width : 0;
    graphicHeight_ = hasGraphic_ ? height : 0;
    SetPrintMode(printMode_);
}

void TPreviewLayout::SetPrintRatio(int value) {
    if (value < 1 || value > 10000) return;
    printRatio_ = value;
    SetPrintMode(printMode_);
}

void TPreviewLayout::SetPreviewRatio(int value) {
    if (value < 10 || value > 100) return;
    previewRatio_ = value;
    Changed();
}

void TPreviewLayout::SetGraphicMode(int value) {
    if (value != gmMetafile && value != gmGraphic) return;
    graphicMode_ = static_cast<TGraphicMode>(value);
    Changed();
}

void TPreviewLayout::SetPrintMode(TPrintMode mode) {
    if (mode == pmArea)
        SetPrintRectMM(printRectMM_);
    else
        SetPrintPosMM(printPosMM_);
}

void TPreviewLayout::SetPrintPos(QPoint p) {
    printMode_ = pmRatio;
    const int x = static_cast<int>(wrap(p.x(), info_.PrintableWidthPx));
    const int y = static_cast<int>(wrap(p.y(), info_.PrintableHeightPx));
    printPos_ = QPoint(x, y);
    printPosMM_ = ToMM(printPos_);
    int64_t w = 0, h = 0;
    if (hasGraphic_ && info_.ScreenDpiX > 0 && info_.ScreenDpiY > 0) {
        w = int64_t(graphicWidth_) * info_.PrinterDpiX * printRatio_ / info_.ScreenDpiX / 100;
        h = int64_t(graphicHeight_) * info_.PrinterDpiY * printRatio_ / info_.ScreenDpiY / 100;
    }
    printRect_ = {x, y, clampToInt(x + w - 1), clampToInt(y + h - 1)};
    printRectMM_ = ToMM(printRect_);
    Changed();
}

void TPreviewLayout::SetPrintRect(TPxRect r) {
    printMode_ = pmArea;
    const int64_t pw = info_.PrintableWidthPx, ph = info_.PrintableHeightPx;
    const int64_t dx = int64_t(r.Left) - wrap(r.Left, pw);
    const int64_t dy = int64_t(r.Top) - wrap(r.Top, ph);
    r.Left = clampToInt(r.Left - dx);
    r.Right = clampToInt(r.Right - dx);
    r.Top = clampToInt(r.Top - dy);
    r.Bottom = clampToInt(r.Bottom - dy);
    printRect_ = r;
    printRectMM_ = ToMM(printRect_);
    printPos_ = QPoint(r.Left, r.Top);
    printPosMM_ = ToMM(printPos_);
    Changed();
}

void TPreviewLayout::SetPrintPosMM(TMMPoint p) {
    SetPrintPos(QPoint(MMToX(p.X), MMToY(p.Y)));
}

void TPreviewLayout::SetPrintRectMM(TMMRect r) {
    SetPrintRect({MMToX(r.Left), MMToY(r.Top), MMToX(r.Right), MMToY(r.Bottom)});
}

int TPreviewLayout::PageColumns() const {
    return hasGraphic_ ? sheetCount(printRect_.Right, info_.PrintableWidthPx) : 0;
}

int TPreviewLayout::PageRows() const {
    return hasGraphic_ ? sheetCount(printRect_.Bottom, info_.PrintableHeightPx) : 0;
}

TPxRect TPreviewLayout::PageRect(int c, int r) const {
    auto check = [](int v, int max) {
        if (v < 1 || v > max) {
            throw ERangeError(std::to_string(v) + " is not within the valid range of 1.." +
                              std::to_string(max));
        }
    };
    check(c, PageColumns());
    check(r, PageRows());
    const int64_t dx = int64_t(c - 1) * info_.PrintableWidthPx;
    const int64_t dy = int64_t(r - 1) * info_.PrintableHeightPx;
    return {clampToInt(printRect_.Left - dx), clampToInt(printRect_.Top - dy),
            clampToInt(printRect_.Right - dx), clampToInt(printRect_.Bottom - dy)};
}

double TPreviewLayout::XToMM(long double x) const {
    if (info_.PrinterDpiX <= 0) return info_.MarginLeftMM;
    return static_cast<double>(x / info_.PrinterDpiX * kMmPerInch * info_.PrinterScale / 100.0L +
                               info_.MarginLeftMM);
}

double TPreviewLayout::YToMM(long double y) const {
    if (info_.PrinterDpiY <= 0) return info_.MarginTopMM;
    return static_cast<double>(y / info_.PrinterDpiY * kMmPerInch * info_.PrinterScale / 100.0L +
                               info_.MarginTopMM);
}

int TPreviewLayout::MMToX(long double mm) const {
    if (info_.PrinterScale == 0) return 0;
    return RoundHalfEven((mm - info_.MarginLeftMM) / kMmPerInch * info_.PrinterDpiX /
                         info_.PrinterScale * 100.0L);
}

int TPreviewLayout::MMToY(long double mm) const {
    if (info_.PrinterScale == 0) return 0;
    return RoundHalfEven((mm - info_.MarginTopMM) / kMmPerInch * info_.PrinterDpiY /
                         info_.PrinterScale * 100.0L);
}

QSize TPreviewLayout::TileScreenSize() const {
    if (info_.PrinterDpiX <= 0 || info_.PrinterDpiY <= 0) return {0, 0};
    const QSize t = TilePrinterSize();
    const int64_t w = int64_t(t.width()) * info_.ScreenDpiX / info_.PrinterDpiX;
    const int64_t h = int64_t(t.height()) * info_.ScreenDpiY / info_.PrinterDpiY;
    return {static_cast<int>(w * info_.MetafileScaleX / 100 * previewRatio_ / 100),
            static_cast<int>(h * info_.MetafileScaleY / 100 * previewRatio_ / 100)};
}

QPoint TPreviewLayout::ClickedPoint(int x, int y) const {
    const int64_t sx = std::max(1, info_.ScreenDpiX), sy = std::max(1, info_.ScreenDpiY);
    const int64_t xp = int64_t(x) * 100 / previewRatio_ * info_.PrinterDpiX / sx;
    const int64_t yp = int64_t(y) * 100 / previewRatio_ * info_.PrinterDpiY / sy;
    const QSize t = TilePrinterSize();
    const int64_t tw = std::max(1, t.width()), th = std::max(1, t.height());
    const int64_t cx = xp / tw, cy = yp / th;
    const int64_t px = std::max<int64_t>(0, xp % tw - info_.MarginLeftPx - 50);
    const int64_t py = std::max<int64_t>(0, yp % th - info_.MarginTopPx - 50);
    return {clampToInt(cx * info_.PrintableWidthPx + px),
            clampToInt(cy * info_.PrintableHeightPx + py)};
}

void TPreviewLayout::MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x,
                               int y, bool doubleClick) {
    if (!mouseAction_) return;
    const QPoint clicked = ClickedPoint(x, y);
    const int px = clicked.x(), py = clicked.y();
    const bool ctrl = modifiers & Qt::ControlModifier;
    const bool shift = modifiers & Qt::ShiftModifier;
    const bool alt = modifiers & Qt::AltModifier;
    TPxRect r = printRect_;
    if (doubleClick) {
        SetPrintPos(QPoint(0, 0));
    } else if (button == Qt::LeftButton) {
        if (ctrl) {
            printMode_ = pmRatio;
            printRatio_ = std::max(printRatio_ - 10, 10);
            SetPrintMode(pmRatio);
        } else if (shift) {
            if (r.width() > 16 && r.height() > 16) {
                r.Right = r.Left + r.width() * 90 / 100 - 1;
                r.Bottom = r.Top + r.height() * 90 / 100 - 1;
            }
            SetPrintRect(r);
        } else if (alt) {
            SetPreviewRatio(std::max(previewRatio_ - 10, 10));
        } else if (printMode_ == pmRatio) {
            SetPrintPos(QPoint(px, py));
        } else {
            SetPrintRect({px, py, clampToInt(int64_t(px) + r.Right - r.Left),
                          clampToInt(int64_t(py) + r.Bottom - r.Top)});
        }
    } else if (button == Qt::RightButton) {
        if (ctrl) {
            printMode_ = pmRatio;
            printRatio_ = std::min(printRatio_ + 10, 1000);
            SetPrintMode(pmRatio);
        } else if (shift) {
            if (r.width() < 16000 && r.height() < 16000) {
                r.Right = r.Left + r.width() * 110 / 100 - 1;
                r.Bottom = r.Top + r.height() * 110 / 100 - 1;
            }
            SetPrintRect(r);
        } else if (alt) {
            SetPreviewRatio(std::min(previewRatio_ + 10, 100));
        } else {
            if (px < r.Left)
                r.Left = px;
            else
                r.Right = px;
            if (py < r.Top)
                r.Top = py;
            else
                r.Bottom = py;
            SetPrintRect(r);
        }
    }
}
