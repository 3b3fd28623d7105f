#include "preview/PaperInfo.h"

#include <cmath>

#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "preview/PrintLayout.h"

namespace {

QString f2(double v) {
    return QString::asprintf("%.2f", v);
}

QString u8(const char* text) {
    return QString::fromUtf8(text);
}

const char* kSampleLatin = "ABCDEFGHIJ";
const char* kSampleKanji = "漢字の練習";

} // namespace

QStringList PaperInfoLines(const TPrinterInfo& in, const TPaperInfoFont& font) {
    const double scale = in.PrinterScale / 100.0;
    const double dx = in.PrinterDpiX > 0 ? 25.4 / in.PrinterDpiX : 0;
    const double dy = in.PrinterDpiY > 0 ? 25.4 / in.PrinterDpiY : 0;
    const QString x = u8("×");
    auto pair = [&](int a, int b, const char* unit) {
        return QStringLiteral("      %1%2%3 %4").arg(a).arg(x).arg(b).arg(u8(unit));
    };
    auto pairF = [&](double a, double b) {
        return QStringLiteral("      %1%2%3 mm").arg(f2(a), x, f2(b));
    };
    const int right = in.MarginLeftPx + in.PrintableWidthPx;
    const int bottom = in.MarginTopPx + in.PrintableHeightPx;
    QStringList l;
    l << QString() << QString() << u8("    紙情報") << QString();
    l << u8("    印刷可能領域のサイズ");
    l << pair(in.PrintableWidthPx, in.PrintableHeightPx, "pixel");
    l << pairF(in.PrintableWidthMM, in.PrintableHeightMM);
    l << u8("    DPI 値");
    l << pair(in.PrinterDpiX, in.PrinterDpiY, "dot per inch");
    l << u8("    画面の DPI 値");
    l << pair(in.ScreenDpiX, in.ScreenDpiY, "dot per inch");
    l << u8("    スケールファクタ");
    l << QStringLiteral("      %1 %").arg(in.PrinterScale);
    l << u8("    メタファイルのスケールファクタ");
    l << pair(in.MetafileScaleX, in.MetafileScaleY, "%");
    l << u8("    紙サイズ");
    l << pair(in.PaperWidthPx, in.PaperHeightPx, "pixel");
    l << pairF(in.PaperWidthMM, in.PaperHeightMM);
    l << u8("    画面のサイズ");
    l << pair(in.ScreenWidthPx, in.ScreenHeightPx, "pixel");
    l << pairF(in.ScreenDpiX > 0 ? in.ScreenWidthPx * 25.4 / in.ScreenDpiX : 0,
               in.ScreenDpiY > 0 ? in.ScreenHeightPx * 25.4 / in.ScreenDpiY : 0);
    l << u8("    左余白, 上余白");
    l << QStringLiteral("      %1, %2 pixel").arg(in.MarginLeftPx).arg(in.MarginTopPx);
    l << QStringLiteral("      %1, %2 mm").arg(f2(in.MarginLeftMM), f2(in.MarginTopMM));
    l << u8("    右余白, 下余白");
    l << QStringLiteral("      %1, %2 pixel").arg(in.MarginRightPx).arg(in.MarginBottomPx);
    l << QStringLiteral("      %1, %2 mm").arg(f2(in.MarginRightMM), f2(in.MarginBottomMM));
    l << u8("    紙上での実際の印刷領域(Left, Top, Right, Bottom)");
    l << QStringLiteral("      (%1, %2, %3, %4) pixel")
             .arg(in.MarginLeftPx)
             .arg(in.MarginTopPx)
             .arg(right)
             .arg(bottom);
    l << QStringLiteral("      (%1, %2, %3, %4) mm")
             .arg(f2(in.MarginLeftPx * dx * scale), f2(in.MarginTopPx * dy * scale),
                  f2(right * dx * scale), f2(bottom * dy * scale));
    l << u8("    フォント名");
    l << QStringLiteral("      ") + font.name;
    l << u8("    フォントサイズ");
    l << QStringLiteral("      %1 point").arg(font.size);
    l << QStringLiteral("      %1 pixel").arg(f2(font.size * in.PrinterDpiY / 72.0));
    l << QStringLiteral("      %1 mm").arg(f2(font.size * 25.4 / 72.0 * scale));
    l << u8("    フォントの高さ");
    l << QStringLiteral("      %1").arg(-RoundHalfEven(font.size * in.PrinterDpiY / 72.0L));
    l << u8("    テキストの高さ( 例 :「ABCDEFGHIJ」,「漢字の練習」)");
    l << QStringLiteral("      %1, %2 pixel")
             .arg(font.sampleLatinHeight)
             .arg(font.sampleKanjiHeight);
    l << QStringLiteral("      %1, %2 mm")
             .arg(f2(font.sampleLatinHeight * dy * scale), f2(font.sampleKanjiHeight * dy * scale));
    l << u8("    テキストの幅( 例 :「ABCDEFGHIJ」,「漢字の練習」)");
    l << QStringLiteral("      %1, %2 pixel").arg(font.sampleLatinWidth).arg(font.sampleKanjiWidth);
    l << QStringLiteral("      %1, %2 mm")
             .arg(f2(font.sampleLatinWidth * dx * scale), f2(font.sampleKanjiWidth * dx * scale));
    l << u8("    参考");
    l << QStringLiteral("      1 point = 1/72 inch");
    l << QStringLiteral("      1 inch = 25.4 mm");
    return l;
}

std::unique_ptr<Metafile> MakePaperInfo(const TPrinterInfo& in) {
    ScreenInfo ref;
    ref.widthPx = std::max(1, in.PrintableWidthPx);
    ref.heightPx = std::max(1, in.PrintableHeightPx);
    ref.logPixelsX = std::max(1, in.PrinterDpiX);
    ref.logPixelsY = std::max(1, in.PrinterDpiY);
    ref.widthMm = std::max(1, RoundHalfEven(ref.widthPx * 25.4L / ref.logPixelsX));
    ref.heightMm = std::max(1, RoundHalfEven(ref.heightPx * 25.4L / ref.logPixelsY));

    auto listing = std::make_unique<Metafile>();
    listing->setWidth(ref.widthPx * 100 / std::max(1, in.MetafileScaleX));
    listing->setHeight(ref.heightPx * 100 / std::max(1, in.MetafileScaleY));
    {
        MetafileCanvas canvas(*listing, ref);
        canvas.font().size = 12;
        TPaperInfoFont font;
        font.name = canvas.font().family;
        font.size = canvas.font().size;
        const QString latin = QString::fromUtf8(kSampleLatin);
        const QString kanji = QString::fromUtf8(kSampleKanji);
        font.sampleLatinWidth = canvas.textWidth(latin);
        font.sampleLatinHeight = canvas.textHeight(latin);
        font.sampleKanjiWidth = canvas.textWidth(kanji);
        font.sampleKanjiHeight = canvas.textHeight(kanji);
        const int pitch = font.sampleKanjiHeight;
        const QStringList lines = PaperInfoLines(in, font);
        for (int k = 0; k < lines.size(); ++k)
            if (!lines[k].isEmpty()) canvas.textOut(0, k * pitch, lines[k]);
    }
    // Brought to the printable area's real size on the screen.
    const int realW =
        in.PrinterDpiX > 0
            ? static_cast<int>(int64_t(in.PrintableWidthPx) * in.ScreenDpiX / in.PrinterDpiX)
            : 0;
    const int realH =
        in.PrinterDpiY > 0
            ? static_cast<int>(int64_t(in.PrintableHeightPx) * in.ScreenDpiY / in.PrinterDpiY)
            : 0;
    listing->setWidth(realW * in.MetafileScaleX / 100);
    listing->setHeight(realH * in.MetafileScaleY / 100);
    return listing;
}
