// Printing into PDF files, read back with poppler: sheet order, pixels at the right printer
// pixels, one stored copy of the picture, the paper listing, and failures.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <QColor>
#include <QPainter>
#include <QPrinter>
#include <QRandomGenerator>
#include <QRegularExpression>

#include "PreviewTestSupport.h"
#include "cli/Cli.h"
#include "platform/Bitmap.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"
#include "platform/Screen.h"
#include "preview/PagePainter.h"
#include "preview/PaperInfo.h"
#include "preview/PreviewPicture.h"
#include "support/TestSupport.h"

namespace {

// A 24-bit picture of random pixels: any misplacement or resampling shows.
Bitmap noisePicture(int w, int h, quint32 seed) {
    Bitmap b(w, h, pf24bit);
    QRandomGenerator rng(seed);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.scanLine(y);
        for (int x = 0; x < w * 3; ++x)
            row[x] = static_cast<uint8_t>(rng.bounded(256));
    }
    return b;
}

struct PdfPrint : ::testing::Test {
    pwtest::TempDir dir;
    QPrinter printer{QPrinter::HighResolution};
    TPreviewLayout layout;
    TPreviewPicture picture;

    // A4 at 96 dpi: one picture pixel is one printer pixel at PrintRatio 100.
    void setUpPrinter(int dpi, const std::string& name) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setResolution(dpi);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setOutputFileName(QString::fromStdString((dir / name).string()));
        layout.SetPrinterInfo(ReadPrinterInfo(printer, screenInfo()));
        layout.SetPrintPos(QPoint(0, 0));
    }
    void setPicture(const Graphic& g) {
        picture.Assign(&g);
        layout.SetGraphicSize(picture.width(), picture.height());
    }
};

TEST_F(PdfPrint, GeometryComesFromThePrintersPageAndPaper) {
    setUpPrinter(600, "a.pdf");
    const TPrinterInfo& in = layout.Info();
    EXPECT_EQ(in.PaperWidthPx, 4958);
    EXPECT_EQ(in.PaperHeightPx, 7017);
    EXPECT_EQ(in.PrintableWidthPx, 4792);
    EXPECT_EQ(in.PrintableHeightPx, 6851);
    EXPECT_EQ(in.MarginLeftPx, 83);
    EXPECT_EQ(in.MarginRightPx, 83);
    EXPECT_EQ(in.MarginBottomPx, 83);
    EXPECT_EQ(in.PrinterDpiX, 600);
    EXPECT_EQ(in.PrinterScale, 100);
    EXPECT_EQ(in.MetafileScaleX, 100); // our recordings report their size exactly
    EXPECT_EQ(in.MetafileScaleY, 100);
    EXPECT_EQ(MeasureScreenMetafileScale(screenInfo()), QPoint(100, 100));
}

TEST_F(PdfPrint, CopiesRepeatEverySheetInRowOrderWithTheRightPixels) {
    PV_REQUIRE_TOOL("pdftocairo");
    setUpPrinter(96, "copies.pdf");
    const TPrinterInfo& in = layout.Info();
    const int pw = in.PrintableWidthPx;
    const Bitmap bmp = noisePicture(pw + 100, 120, 7); // two sheets across
    setPicture(bmp);
    layout.SetPrintPos(QPoint(30, 40));
    ASSERT_EQ(layout.PageColumns(), 2);
    ASSERT_EQ(layout.PageRows(), 1);
    for (int mode : {gmGraphic, gmMetafile}) {
        SCOPED_TRACE(mode == gmGraphic ? "graphic" : "metafile");
        layout.SetGraphicMode(mode);
        PrintPicture(printer, layout, picture, 2);
        const auto pdf = dir / "copies.pdf";
        ASSERT_EQ(pvtest::pdfPages(pdf), 4);
        const QImage full = bmp.asQImage();
        const QImage left = full.copy(0, 0, pw - 30, 120);
        const QImage right = full.copy(pw - 30, 0, 130, 120);
        for (int page : {1, 3}) {
            const QImage p = pvtest::renderPdfPage(pdf, page, 96);
            EXPECT_TRUE(pvtest::sameRegion(p, in.MarginLeftPx + 30, in.MarginTopPx + 40, left))
                << "page " << page;
        }
        for (int page : {2, 4}) {
            const QImage p = pvtest::renderPdfPage(pdf, page, 96);
            EXPECT_TRUE(pvtest::sameRegion(p, in.MarginLeftPx, in.MarginTopPx + 40, right))
                << "page " << page;
            // Right of the picture the sheet stays white.
            EXPECT_EQ(p.pixel(in.MarginLeftPx + 140, in.MarginTopPx + 100) & 0xffffff, 0xffffffu);
        }
        // The picture's pixels are stored once for all sheets.
        const std::vector<int> objects = pvtest::pdfImageObjects(pdf);
        ASSERT_EQ(objects.size(), 4u);
        for (int o : objects)
            EXPECT_EQ(o, objects.front());
    }
}

TEST_F(PdfPrint, AreaModeStretchesThePictureIntoTheRectangle) {
    PV_REQUIRE_TOOL("pdftocairo");
    setUpPrinter(96, "area.pdf");
    Bitmap red(50, 40, pf24bit);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 50; ++x)
            red.scanLine(y)[x * 3 + 2] = 255;
    setPicture(red);
    layout.SetGraphicMode(gmGraphic);
    layout.SetPrintRect({10, 20, 109, 99}); // twice the size, inclusive corners
    PrintPicture(printer, layout, picture, 1);
    const QImage p = pvtest::renderPdfPage(dir / "area.pdf", 1, 96);
    const int ox = layout.Info().MarginLeftPx, oy = layout.Info().MarginTopPx;
    QImage inside(98, 78, QImage::Format_RGB32);
    inside.fill(qRgb(255, 0, 0));
    EXPECT_TRUE(pvtest::sameRegion(p, ox + 11, oy + 21, inside));
    for (QPoint outside : {QPoint(9, 50), QPoint(110, 50), QPoint(50, 19), QPoint(50, 100)})
        EXPECT_EQ(p.pixel(ox + outside.x(), oy + outside.y()) & 0xffffff, 0xffffffu) << outside.x();
}

TEST_F(PdfPrint, NothingIsPrintedWithoutPictureOrWithABadCopyCount) {
    setUpPrinter(96, "none.pdf");
    PrintPicture(printer, layout, picture, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "none.pdf"));
    setPicture(noisePicture(10, 10, 1));
    PrintPicture(printer, layout, picture, 0);
    PrintPicture(printer, layout, picture, 1001);
    EXPECT_FALSE(std::filesystem::exists(dir / "none.pdf"));
}

TEST_F(PdfPrint, AFailedJobReportsItsReasonAndLeavesNoFile) {
    setUpPrinter(96, "missing-folder/out.pdf");
    setPicture(noisePicture(10, 10, 1));
    EXPECT_THROW(PrintPicture(printer, layout, picture, 1), EPrintError);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing-folder"));
    // The printer keeps the file name it had.
    EXPECT_EQ(printer.outputFileName().toStdString(), (dir / "missing-folder/out.pdf").string());
}

TEST_F(PdfPrint, ListingLinesMatchThePdfPrinter) {
    PV_REQUIRE_TOOL("pdfinfo");
    setUpPrinter(600, "listing.pdf");
    const TPrinterInfo& in = layout.Info();
    TPaperInfoFont font{QStringLiteral("IPAPGothic"), 12, 612, 108, 497, 108};
    const QStringList l = PaperInfoLines(in, font);
    ASSERT_EQ(l.size(), 47);
    EXPECT_TRUE(l[0].isEmpty() && l[1].isEmpty() && l[3].isEmpty());
    EXPECT_EQ(l[2], QString::fromUtf8("    紙情報"));
    EXPECT_EQ(l[5], QString::fromUtf8("      4792×6851 pixel"));
    EXPECT_EQ(l[8], QString::fromUtf8("      600×600 dot per inch"));
    EXPECT_EQ(l[12], QStringLiteral("      100 %"));
    EXPECT_EQ(l[14], QString::fromUtf8("      100×100 %"));
    EXPECT_EQ(l[16], QString::fromUtf8("      4958×7017 pixel"));
    EXPECT_EQ(l[22], QStringLiteral("      83, 83 pixel"));
    EXPECT_EQ(l[28], QStringLiteral("      (83, 83, 4875, 6934) pixel"));
    EXPECT_EQ(l[31], QStringLiteral("      IPAPGothic"));
    EXPECT_EQ(l[34], QStringLiteral("      100.00 pixel"));
    EXPECT_EQ(l[37], QStringLiteral("      -100"));
    EXPECT_EQ(l[39], QStringLiteral("      612, 108 pixel")
                         .replace(QStringLiteral("612"), QStringLiteral("108")));
    EXPECT_EQ(l[42], QStringLiteral("      612, 497 pixel"));
    EXPECT_EQ(l[46], QStringLiteral("      1 inch = 25.4 mm"));

    // The paper size in millimetres agrees with what pdfinfo reads from a printed page.
    setPicture(noisePicture(10, 10, 1));
    PrintPicture(printer, layout, picture, 1);
    const std::string info = pvtest::runCommand("pdfinfo '" + (dir / "listing.pdf").string() + "'");
    const size_t at = info.find("Page size:");
    ASSERT_NE(at, std::string::npos);
    double wpt = 0, hpt = 0;
    ASSERT_EQ(std::sscanf(info.c_str() + at, "Page size: %lf x %lf", &wpt, &hpt), 2);
    EXPECT_NEAR(in.PaperWidthMM, wpt * 25.4 / 72, 0.1);
    EXPECT_NEAR(in.PaperHeightMM, hpt * 25.4 / 72, 0.1);
    EXPECT_EQ(l[17], QString::fromUtf8("      %1×%2 mm")
                         .arg(QString::asprintf("%.2f", in.PaperWidthMM),
                              QString::asprintf("%.2f", in.PaperHeightMM)));
}

TEST(PaperInfoLines, DriverScaleHalvesEveryMillimetreLineButTheScreens) {
    TPrinterInfo full = pvtest::A4At600();
    TPrinterInfo half = full;
    half.PrinterScale = 50;
    half.Derive();
    TPaperInfoFont font{QStringLiteral("F"), 12, 600, 100, 500, 100};
    const QStringList a = PaperInfoLines(full, font), b = PaperInfoLines(half, font);
    EXPECT_EQ(b[12], QStringLiteral("      50 %"));
    for (int k : {6, 17, 20, 23, 26, 29, 35, 40, 43}) {
        SCOPED_TRACE(k);
        const QRegularExpression number(QStringLiteral("-?\\d+\\.\\d\\d"));
        auto values = [&](const QString& s) {
            std::vector<double> v;
            for (auto it = number.globalMatch(s); it.hasNext();)
                v.push_back(it.next().captured().toDouble());
            return v;
        };
        const std::vector<double> va = values(a[k]), vb = values(b[k]);
        ASSERT_EQ(va.size(), vb.size());
        ASSERT_FALSE(va.empty());
        for (size_t i = 0; i < va.size(); ++i)
            EXPECT_NEAR(vb[i], k == 20 ? va[i] : va[i] / 2, 0.006);
    }
}

TEST_F(PdfPrint, ListingRecordingCoversThePrintableAreaAndPrintsAsText) {
    PV_REQUIRE_TOOL("pdftotext");
    setUpPrinter(300, "text.pdf");
    std::unique_ptr<Metafile> listing = MakePaperInfo(layout.Info());
    const TPrinterInfo& in = layout.Info();
    EXPECT_EQ(listing->width(), in.PrintableWidthPx * 96 / 300);
    setPicture(*listing);
    EXPECT_NEAR(layout.GetPrintRect().width(), in.PrintableWidthPx, 4);
    EXPECT_EQ(layout.PageColumns(), 1);
    EXPECT_EQ(layout.PageRows(), 1);
    for (int mode : {gmMetafile, gmGraphic}) {
        layout.SetGraphicMode(mode);
        PrintPicture(printer, layout, picture, 1);
        const std::string text =
            pvtest::runCommand("pdftotext '" + (dir / "text.pdf").string() + "' -");
        EXPECT_NE(text.find("紙情報"), std::string::npos) << text;
        const std::string paper = std::to_string(in.PaperWidthPx) + "×";
        EXPECT_NE(text.find(paper), std::string::npos) << text;
    }
}

TEST(PageTile, DrawsSurroundShadowPaperAndPicture) {
    TPreviewLayout layout;
    layout.SetPrinterInfo(pvtest::A4At600());
    layout.SetPrintPos(QPoint(0, 0));
    Bitmap red(100, 100, pf24bit);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            uint8_t* p = red.scanLine(y) + x * 3;
            p[0] = 0;
            p[1] = 0;
            p[2] = 255;
        }
    TPreviewPicture picture;
    picture.Assign(&red);
    layout.SetGraphicSize(100, 100);
    layout.SetPrintRatio(1000); // 6250 printer pixels: two sheets each way
    ASSERT_EQ(layout.PageColumns(), 2);
    const QColor face(212, 208, 200);
    const QImage t11 = RenderPageTile(layout, 1, 1, picture, face);
    // 5108 x 7167 printer pixels at 96 / 600 x 20 %: 163 x 229, about 0.032 per pixel.
    ASSERT_EQ(t11.size(), QSize(163, 229));
    EXPECT_EQ(QColor(t11.pixel(0, 0)), face);                      // surround
    EXPECT_EQ(QColor(t11.pixel(162, 100)), face);                  // right of the shadow
    EXPECT_EQ(QColor(t11.pixel(160, 100)), QColor(128, 128, 128)); // shadow
    EXPECT_EQ(QColor(t11.pixel(100, 226)), QColor(128, 128, 128));
    EXPECT_EQ(QColor(t11.pixel(1, 100)), QColor(Qt::black));  // paper outline
    EXPECT_EQ(QColor(t11.pixel(3, 100)), QColor(Qt::white));  // left margin band
    EXPECT_EQ(QColor(t11.pixel(50, 50)), QColor(255, 0, 0));  // picture
    EXPECT_EQ(QColor(t11.pixel(50, 212)), QColor(Qt::white)); // below the picture (ends near 204)
    const QImage t21 = RenderPageTile(layout, 2, 1, picture, face);
    // The picture ends 6250 - 4792 = 1458 printer pixels into sheet (2, 1): about 51
    // screen pixels from the tile's left edge.
    EXPECT_EQ(QColor(t21.pixel(40, 40)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(t21.pixel(60, 40)), QColor(Qt::white));
    EXPECT_TRUE(RenderPageTile(layout, 1, 2, picture, face).isNull());
    EXPECT_TRUE(RenderPageTile(layout, 3, 1, picture, face).isNull());
}

TEST(PreviewPicture, ReducedCopyAveragesAndIsReused) {
    QImage src(4, 2, QImage::Format_RGB32);
    src.setPixel(0, 0, qRgb(0, 0, 0));
    src.setPixel(1, 0, qRgb(100, 100, 100));
    src.setPixel(0, 1, qRgb(200, 200, 200));
    src.setPixel(1, 1, qRgb(100, 100, 100));
    src.setPixel(2, 0, qRgb(10, 20, 30));
    src.setPixel(3, 0, qRgb(10, 20, 30));
    src.setPixel(2, 1, qRgb(10, 20, 30));
    src.setPixel(3, 1, qRgb(10, 20, 30));
    const QImage r = ReduceImage(src, QSize(2, 1));
    ASSERT_EQ(r.size(), QSize(2, 1));
    EXPECT_EQ(QColor(r.pixel(0, 0)), QColor(100, 100, 100));
    EXPECT_EQ(QColor(r.pixel(1, 0)), QColor(10, 20, 30));
    // Same picture and size: the same copy.
    Bitmap b = noisePicture(300, 200, 5);
    TPreviewPicture picture;
    picture.Assign(&b);
    const qint64 key = picture.Reduced(QSize(30, 20)).cacheKey();
    EXPECT_EQ(picture.Reduced(QSize(30, 20)).cacheKey(), key);
    EXPECT_NE(picture.Reduced(QSize(60, 40)).cacheKey(), key);
    // A 24-bit source samples to the same colours as its 32-bit form.
    EXPECT_EQ(ReduceImage(b.asQImage(), QSize(37, 23)),
              ReduceImage(b.asQImage().convertToFormat(QImage::Format_RGB32), QSize(37, 23)));
}

// pwtool's printing commands, run in this process.
struct PwtoolPrint : ::testing::Test {
    pwtest::TempDir dir;
    int run(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
        std::ostringstream o, e;
        const int status = cli::run(args, o, e);
        if (out) *out = o.str();
        if (err) *err = e.str();
        return status;
    }
};

TEST_F(PwtoolPrint, LayoutPrintAndPaperInfo) {
    PV_REQUIRE_TOOL("pdfinfo");
    const auto in = dir / "pic.bmp";
    writeFileAtomically(in, noisePicture(1200, 800, 2).saveToBytes());
    std::string out, err;
    ASSERT_EQ(run({in.string(), "--layout"}, &out), 0);
    EXPECT_EQ(out, "PageColumns=2\nPageRows=1\nPrintRect=0,0,7499,4999\n"
                   "PrintRectMM=3.51,3.51,320.97,215.14\n");
    ASSERT_EQ(
        run({in.string(), "--layout", "--print-rect-mm", "10,10,200.5,100", "--dpi", "300"}, &out),
        0);
    // Millimetres come back through whole printer pixels (0.085 mm at 300 dpi).
    double l = 0, t = 0, r = 0, b = 0;
    const size_t at = out.find("PrintRectMM=");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "PrintRectMM=%lf,%lf,%lf,%lf", &l, &t, &r, &b), 4);
    EXPECT_NEAR(l, 10, 0.085);
    EXPECT_NEAR(t, 10, 0.085);
    EXPECT_NEAR(r, 200.5, 0.085);
    EXPECT_NEAR(b, 100, 0.085);

    const auto pdf = dir / "poster.pdf";
    ASSERT_EQ(run({in.string(), "Negative", "--print", pdf.string(), "--copies", "3",
                   "--graphic-mode", "graphic", "--paper", "a5"},
                  &out, &err),
              0)
        << err;
    // 7500 x 5000 printer pixels on A5 (3334 x 4792 printable): 3 x 2 sheets, 3 copies.
    EXPECT_EQ(pvtest::pdfPages(pdf), 3 * 3 * 2);
    ASSERT_EQ(run({"--paper-info", (dir / "info.pdf").string(), "--paper", "Letter"}), 0);
    EXPECT_EQ(pvtest::pdfPages(dir / "info.pdf"), 1);
}

TEST_F(PwtoolPrint, BadValuesAreUsageErrorsOrWarnings) {
    const auto in = dir / "pic.bmp";
    writeFileAtomically(in, noisePicture(20, 20, 2).saveToBytes());
    std::string out, err;
    EXPECT_EQ(run({in.string(), "--layout", "--dpi", "0"}, &out, &err), 2);
    EXPECT_EQ(run({in.string(), "--layout", "--paper", "Z9"}, &out, &err), 2);
    EXPECT_EQ(run({in.string(), "--layout", "--copies", "1001"}, &out, &err), 2);
    EXPECT_EQ(run({in.string(), "--layout", "--print-rect-mm", "1,2,3"}, &out, &err), 2);
    EXPECT_EQ(run({in.string(), "--layout", "--graphic-mode", "vector"}, &out, &err), 2);
    EXPECT_EQ(run({"--layout"}, &out, &err), 2);
    EXPECT_EQ(run({in.string(), "--print"}, &out, &err), 2);
    // The component ignores an out-of-range ratio; the tool says so and goes on.
    EXPECT_EQ(run({in.string(), "--layout", "--print-ratio", "0"}, &out, &err), 0);
    EXPECT_NE(err.find("ignored"), std::string::npos);
    EXPECT_NE(out.find("PrintRect=0,0,124,124"), std::string::npos) << out;
    EXPECT_EQ(run({in.string(), "--print", (dir / "no/such/folder.pdf").string()}, &out, &err), 1);
    EXPECT_NE(err.find("印刷を開始できません"), std::string::npos) << err;
    ASSERT_EQ(run({"--help"}, &out), 0);
    for (const char* option : {"--print ", "--paper-info ", "--layout", "--print-rect-mm ",
                               "--print-pos-mm ", "--copies ", "--graphic-mode ", "--dpi "})
        EXPECT_NE(out.find(option), std::string::npos) << option;
}

} // namespace
