// Placement arithmetic of the print preview: sheets, wrapping, conversions and mouse rules.
#include <gtest/gtest.h>

#include "PreviewTestSupport.h"
#include "platform/Exceptions.h"
#include "preview/PrintLayout.h"

namespace {

struct LayoutTest : ::testing::Test {
    TPreviewLayout layout;
    TPrinterInfo in = pvtest::A4At600();
    void SetUp() override {
        layout.SetPrinterInfo(in);
        layout.SetPrintPos(QPoint(0, 0));
        layout.SetGraphicSize(1200, 800);
    }
};

TEST_F(LayoutTest, RatioModeSizesThePictureFromItsScreenSize) {
    // 1200 x 800 screen pixels at 600 / 96 printer pixels each.
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{0, 0, 7499, 4999}));
    layout.SetPrintRatio(50);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{0, 0, 3749, 2499}));
    EXPECT_EQ(layout.PageColumns(), 1);
    EXPECT_EQ(layout.PageRows(), 1);
    // Integer steps in order: 3 * 600 * 7 / 96 = 131, then / 100 = 1.
    layout.SetGraphicSize(3, 3);
    layout.SetPrintRatio(7);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{0, 0, 0, 0}));
}

TEST_F(LayoutTest, ColumnsFollowTheTruncatingRule) {
    const int pw = in.PrintableWidthPx, ph = in.PrintableHeightPx;
    layout.SetPrintRect({0, 0, 2 * pw, ph});
    EXPECT_EQ(layout.PageColumns(), 2);
    EXPECT_EQ(layout.PageRows(), 1);
    layout.SetPrintRect({0, 0, 2 * pw + 1, ph + 1});
    EXPECT_EQ(layout.PageColumns(), 3);
    EXPECT_EQ(layout.PageRows(), 2);
    layout.SetPrintRect({0, 0, 0, 0});
    EXPECT_EQ(layout.PageColumns(), 0);
    layout.SetPrintRect({0, 0, 40 * pw, 40 * ph});
    EXPECT_EQ(layout.PageColumns(), 16);
    EXPECT_EQ(layout.PageRows(), 16);
    layout.SetGraphicSize(0, 0);
    EXPECT_EQ(layout.PageColumns(), 0);
    EXPECT_EQ(layout.PageRows(), 0);
}

TEST_F(LayoutTest, PositionsWrapOntoTheFirstSheet) {
    const int pw = in.PrintableWidthPx, ph = in.PrintableHeightPx;
    layout.SetPrintPos(QPoint(-10, 5));
    EXPECT_EQ(layout.GetPrintPos(), QPoint(pw - 10, 5));
    EXPECT_EQ(layout.PrintMode(), pmRatio);
    layout.SetPrintPos(QPoint(-3 * pw - 1, 2 * ph + 7));
    EXPECT_EQ(layout.GetPrintPos(), QPoint(pw - 1, 7));
    EXPECT_EQ(layout.GetPrintRect().Left, pw - 1);
    EXPECT_EQ(layout.GetPrintRect().width(), 7500);

    // A rectangle moves by whole sheets and keeps its size.
    layout.SetPrintRect({-pw - 5, 3 * ph + 2, -pw + 94, 3 * ph + 51});
    EXPECT_EQ(layout.PrintMode(), pmArea);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{pw - 5, 2, pw + 94, 51}));
    EXPECT_EQ(layout.GetPrintPos(), QPoint(pw - 5, 2));
}

TEST_F(LayoutTest, PageRectShiftsBySheetsAndRefusesOutsideTheGrid) {
    const int pw = in.PrintableWidthPx;
    layout.SetPrintPos(QPoint(100, 200)); // 7500 wide: two columns
    ASSERT_EQ(layout.PageColumns(), 2);
    EXPECT_EQ(layout.PageRect(2, 1), (TPxRect{100 - pw, 200, 7599 - pw, 5199}));
    try {
        layout.PageRect(3, 1);
        FAIL() << "no exception";
    } catch (const ERangeError& e) {
        EXPECT_STREQ(e.what(), "3 is not within the valid range of 1..2");
    }
    try {
        layout.PageRect(1, 0);
        FAIL() << "no exception";
    } catch (const ERangeError& e) {
        EXPECT_STREQ(e.what(), "0 is not within the valid range of 1..1");
    }
}

TEST_F(LayoutTest, MillimetresAndPixelsRoundTrip) {
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(3.5L), 4);
    EXPECT_EQ(RoundHalfEven(-2.5L), -2);
    EXPECT_EQ(RoundHalfEven(-3.5L), -4);
    EXPECT_EQ(RoundHalfEven(1e30L), INT_MAX);
    for (int x = -5000; x <= 20000; x += 7) {
        ASSERT_EQ(layout.MMToX(layout.XToMM(x)), x) << x;
        ASSERT_EQ(layout.MMToY(layout.YToMM(x)), x) << x;
    }
    // Ties: at 254 dpi without margins a pixel is exactly 0.1 mm, so 0.25 mm is 2.5 px.
    TPrinterInfo tie = in;
    tie.PrinterDpiX = tie.PrinterDpiY = 254;
    tie.MarginLeftPx = tie.MarginTopPx = 0;
    tie.Derive();
    layout.SetPrinterInfo(tie);
    EXPECT_EQ(layout.MMToX(0.25L), 2);
    EXPECT_EQ(layout.MMToX(0.75L), 8);
    EXPECT_EQ(layout.MMToY(-0.25L), -2);
    // The margin offsets the millimetres.
    EXPECT_NEAR(layout.XToMM(0), 0.0, 1e-12);
    EXPECT_NEAR(pvtest::A4At600().MarginLeftMM, 83 * 25.4 / 600, 1e-9);
}

TEST_F(LayoutTest, ModeIsRebuiltFromMillimetresAfterAPrinterChange) {
    layout.SetPrintRectMM(TMMRect{20, 30, 120, 80});
    const TMMRect mm = layout.GetPrintRectMM();
    TPrinterInfo half = in;
    half.PrintableWidthPx /= 2;
    half.PrintableHeightPx /= 2;
    half.PaperWidthPx /= 2;
    half.PaperHeightPx /= 2;
    half.MarginLeftPx = half.MarginTopPx = 41;
    half.PrinterDpiX = half.PrinterDpiY = 300;
    half.Derive();
    layout.SetPrinterInfo(half);
    layout.SetPrintMode(layout.PrintMode());
    EXPECT_EQ(layout.PrintMode(), pmArea);
    EXPECT_NEAR(layout.GetPrintRectMM().Left, mm.Left, 0.1);
    EXPECT_NEAR(layout.GetPrintRectMM().Bottom, mm.Bottom, 0.1);
    EXPECT_EQ(layout.GetPrintRect().Left, layout.MMToX(20));
}

TEST_F(LayoutTest, OutOfRangeSettingsAreIgnored) {
    int rebuilds = 0;
    layout.OnChanged = [&] { ++rebuilds; };
    for (int bad : {0, 10001, -5})
        layout.SetPrintRatio(bad);
    for (int bad : {9, 101})
        layout.SetPreviewRatio(bad);
    for (int bad : {-1, 2})
        layout.SetGraphicMode(bad);
    EXPECT_EQ(rebuilds, 0);
    EXPECT_EQ(layout.PrintRatio(), 100);
    EXPECT_EQ(layout.PreviewRatio(), 20);
    EXPECT_EQ(layout.GraphicMode(), gmMetafile);
    layout.SetPrintRatio(10000);
    layout.SetPreviewRatio(100);
    layout.SetGraphicMode(gmGraphic);
    EXPECT_EQ(rebuilds, 3);
    EXPECT_EQ(layout.GraphicMode(), gmGraphic);
}

TEST_F(LayoutTest, TileSizeFollowsPaperScreenAndPreviewRatio) {
    TPrinterInfo sheet = in;
    sheet.PaperWidthPx = 4960;
    sheet.PaperHeightPx = 7014;
    layout.SetPrinterInfo(sheet);
    EXPECT_EQ(layout.TileScreenSize(), QSize(163, 229));
    layout.SetPrinterInfo(in);
    EXPECT_EQ(layout.TileScreenSize(), QSize(163, 229));
    layout.SetPreviewRatio(100);
    EXPECT_EQ(layout.TileScreenSize(), QSize(817, 1146));
}

struct MouseTest : LayoutTest {
    void SetUp() override {
        LayoutTest::SetUp();
        layout.SetMouseAction(true);
    }
    // Screen position (at PreviewRatio 20, 96 dpi) of a printable-area pixel of sheet
    // (1, 1); exact for multiples of 125.
    static QPoint at(int px, int py) {
        return {(px + 83 + 50) * 96 / 600 * 20 / 100, (py + 83 + 50) * 96 / 600 * 20 / 100};
    }
};

TEST_F(MouseTest, ClickedPointCountsSheetsAndClampsIntoThePrintableArea) {
    EXPECT_EQ(layout.ClickedPoint(0, 0), QPoint(0, 0)); // in the surround: raised to 0
    // Xp = 40 * 100 / 20 * 600 / 96 = 1250; minus margin and surround.
    EXPECT_EQ(layout.ClickedPoint(40, 40), QPoint(1250 - 133, 1250 - 133));
    // The second column starts after one tile of 5108 printer pixels.
    const int x = 5108 * 96 / 600 * 20 / 100 + 40; // 163 + 40 screen pixels
    const QPoint p = layout.ClickedPoint(x, 0);
    EXPECT_EQ(p.x(), 4792 + ((x * 100 / 20 * 600 / 96) % 5108) - 133);
}

TEST_F(MouseTest, LeftClicksMoveZoomAndResize) {
    layout.MouseDown(Qt::LeftButton, Qt::NoModifier, 40, 40, false);
    EXPECT_EQ(layout.GetPrintPos(), QPoint(1117, 1117));
    EXPECT_EQ(layout.PrintMode(), pmRatio);

    layout.SetPrintRatio(15);
    layout.MouseDown(Qt::LeftButton, Qt::ControlModifier, 0, 0, false);
    EXPECT_EQ(layout.PrintRatio(), 10);
    layout.MouseDown(Qt::LeftButton, Qt::ControlModifier | Qt::ShiftModifier, 0, 0, false);
    EXPECT_EQ(layout.PrintRatio(), 10); // Ctrl wins over Shift, clamped at 10

    layout.SetPrintRect({10, 10, 109, 209});
    layout.MouseDown(Qt::LeftButton, Qt::ShiftModifier, 0, 0, false);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{10, 10, 99, 189}));

    // A picture 12 printer pixels square is too small to shrink: it keeps its size, but
    // the click still switches ratio mode to area mode.
    layout.SetGraphicSize(2, 2);
    layout.SetPrintRatio(100);
    layout.SetPrintPos(QPoint(10, 10));
    ASSERT_EQ(layout.PrintMode(), pmRatio);
    const TPxRect small = layout.GetPrintRect();
    ASSERT_EQ(small, (TPxRect{10, 10, 21, 21}));
    layout.MouseDown(Qt::LeftButton, Qt::ShiftModifier, 0, 0, false);
    EXPECT_EQ(layout.GetPrintRect(), small);
    EXPECT_EQ(layout.PrintMode(), pmArea);

    layout.MouseDown(Qt::LeftButton, Qt::AltModifier, 0, 0, false);
    EXPECT_EQ(layout.PreviewRatio(), 10);
    layout.MouseDown(Qt::LeftButton, Qt::AltModifier, 0, 0, false);
    EXPECT_EQ(layout.PreviewRatio(), 10);
}

TEST_F(MouseTest, AreaModeLeftClickMovesTheAreaKeepingItsSize) {
    layout.SetPrintRect({0, 0, 999, 499});
    layout.MouseDown(Qt::LeftButton, Qt::NoModifier, 40, 40, false);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{1117, 1117, 2116, 1616}));
    EXPECT_EQ(layout.PrintMode(), pmArea);
}

TEST_F(MouseTest, RightClicksGrowZoomAndDragTheNearerCorner) {
    layout.SetPrintRatio(995);
    layout.MouseDown(Qt::RightButton, Qt::ControlModifier, 0, 0, false);
    EXPECT_EQ(layout.PrintRatio(), 1000);
    layout.MouseDown(Qt::RightButton, Qt::ControlModifier, 0, 0, false);
    EXPECT_EQ(layout.PrintRatio(), 1000);
    EXPECT_EQ(layout.PrintMode(), pmRatio);

    layout.SetPrintRect({10, 10, 109, 209});
    layout.MouseDown(Qt::RightButton, Qt::ShiftModifier, 0, 0, false);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{10, 10, 119, 229}));

    layout.SetPreviewRatio(95);
    layout.MouseDown(Qt::RightButton, Qt::AltModifier, 0, 0, false);
    EXPECT_EQ(layout.PreviewRatio(), 100);
    layout.SetPreviewRatio(20);

    layout.SetPrintRect({2000, 2000, 2999, 2999});
    layout.MouseDown(Qt::RightButton, Qt::NoModifier, 40, 40, false); // (1117, 1117)
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{1117, 1117, 2999, 2999}));
    layout.SetPrintPos(QPoint(0, 0));
    layout.MouseDown(Qt::RightButton, Qt::NoModifier, 40, 40, false);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{0, 0, 1117, 1117}));
    EXPECT_EQ(layout.PrintMode(), pmArea);
}

TEST_F(MouseTest, DoubleClickResetsMiddleDoesNothingAndActionOffIgnoresAll) {
    layout.SetPrintRect({500, 500, 999, 999});
    layout.MouseDown(Qt::MiddleButton, Qt::NoModifier, 40, 40, false);
    EXPECT_EQ(layout.GetPrintRect(), (TPxRect{500, 500, 999, 999}));
    layout.MouseDown(Qt::RightButton, Qt::NoModifier, 40, 40, true);
    EXPECT_EQ(layout.GetPrintPos(), QPoint(0, 0));
    EXPECT_EQ(layout.PrintMode(), pmRatio);
    layout.SetMouseAction(false);
    layout.MouseDown(Qt::LeftButton, Qt::NoModifier, 40, 40, false);
    EXPECT_EQ(layout.GetPrintPos(), QPoint(0, 0));
}

} // namespace
