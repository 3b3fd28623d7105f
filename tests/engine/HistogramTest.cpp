#include <cstring>

#include <gtest/gtest.h>

#include "ToneTestHelpers.h"
#include "engine/FastPicture.h"
#include "engine/Histogram.h"
#include "engine/RowDriver.h"
#include "formats/Jpeg.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

using namespace tonetest;

namespace {

// 100 pixels: `busiest` of them black, the others at distinct levels 1, 2, 3, ...
Bitmap peaked(int busiest) {
    Bitmap b(100, 1, pf24bit);
    for (int x = busiest; x < 100; ++x)
        for (int c = 0; c < 3; ++c)
            b.scanLine(0)[3 * x + c] = static_cast<uint8_t>(x - busiest + 1);
    return b;
}

TColor at(const Bitmap& b, int x, int y) {
    return b.pixelColor(x, y);
}

constexpr TColor kFace = RGBColor(240, 240, 240);

} // namespace

TEST(Histogram, AutomaticVMaxRoundsUpToTwenty) {
    struct Case {
        int busiest, vmax;
    };
    for (Case c : {Case{37, 40}, Case{40, 40}, Case{41, 60}, Case{100, 100}, Case{1, 20}}) {
        SCOPED_TRACE(c.busiest);
        TFastPicture fp;
        Bitmap b = peaked(c.busiest);
        fp.picture().assign(&b);
        HistogramCounts h;
        ASSERT_TRUE(CountHistogram(fp, 0, 0, h));
        EXPECT_EQ(h.vmax, c.vmax);
        EXPECT_EQ(h.blue[0], c.busiest);
        EXPECT_EQ(h.red[0], c.busiest);
    }
}

TEST(Histogram, CountsBinsAndChannelsApart) {
    // Blue at 0..3, green at 4..7, red at 252..255: with Shift 2 every channel fills one bin.
    Bitmap b(4, 5, pf24bit);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 4; ++x) {
            uint8_t* p = b.scanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(4 + x);
            p[2] = static_cast<uint8_t>(252 + x);
        }
    TFastPicture fp;
    fp.picture().assign(&b);
    HistogramCounts h;
    ASSERT_TRUE(CountHistogram(fp, 2, 25, h));
    EXPECT_EQ(h.bins, 64);
    EXPECT_EQ(h.binWidth, 4);
    EXPECT_EQ(h.vmax, 26); // an odd VMax given by the caller is made even
    EXPECT_EQ(h.blue[0], 100);
    EXPECT_EQ(h.green[1], 100);
    EXPECT_EQ(h.red[63], 100);
    EXPECT_EQ(h.blue[1] + h.green[0] + h.red[0], 0);

    EXPECT_FALSE(CountHistogram(fp, 4, 0, h));
    EXPECT_FALSE(CountHistogram(fp, -1, 0, h));
    EXPECT_FALSE(CountHistogram(fp, 0, 101, h));
    EXPECT_FALSE(CountHistogram(fp, 0, -1, h));

    // Other formats are counted through a 24-bit copy; the held picture is not changed.
    Bitmap eight = b;
    eight.setPixelFormat(pf8bit);
    fp.picture().assign(&eight);
    ASSERT_TRUE(CountHistogram(fp, 0, 0, h));
    EXPECT_EQ(held(fp).pixelFormat(), pf8bit);
    int total = 0;
    for (int v : h.blue)
        total += v;
    EXPECT_GE(total, 96);
}

TEST(Histogram, ThreadedCountingMatchesTheSerialOne) {
    // The first half of the rows black, the second white: every row range of the threaded
    // count must be added exactly once.
    Bitmap b(9, 1000, pf24bit);
    for (int y = 500; y < 1000; ++y)
        std::memset(b.scanLine(y), 255, 9 * 3);
    std::memset(b.scanLine(999), 128, 9 * 3);
    const int saved = engine::threadCount();
    HistogramCounts counts[2];
    for (int t = 0; t < 2; ++t) {
        engine::setThreadCount(t == 0 ? 1 : 3);
        TFastPicture fp;
        fp.picture().assign(&b);
        ASSERT_TRUE(CountHistogram(fp, 0, 0, counts[t]));
    }
    engine::setThreadCount(saved);
    EXPECT_EQ(counts[0].blue[0], 50);
    EXPECT_EQ(counts[0].red[255], 49);
    EXPECT_EQ(counts[0].green[128], 0);
    EXPECT_EQ(counts[0].vmax, 60);
    for (int c = 0; c < 3; ++c) {
        const std::vector<int>* lists[2][3] = {{&counts[0].blue, &counts[0].green, &counts[0].red},
                                               {&counts[1].blue, &counts[1].green, &counts[1].red}};
        EXPECT_EQ(*lists[1][c], *lists[0][c]) << "channel " << c;
    }
}

TEST(Histogram, MetafileIsCountedAtItsNaturalSize) {
    Metafile m;
    m.setWidth(40);
    m.setHeight(10);
    {
        MetafileCanvas c(m);
        c.brush().color = clBlack;
        c.fillRect(QRect(0, 0, 10, 10)); // a quarter black
        c.brush().color = clWhite;
        c.fillRect(QRect(10, 0, 30, 10));
    }
    TFastPicture fp;
    fp.picture().assign(&m);
    fp.SetBounds(400, 100);
    HistogramCounts h;
    ASSERT_TRUE(CountHistogram(fp, 0, 0, h));
    EXPECT_EQ(h.green[0], 25);
    EXPECT_EQ(h.green[255], 75);
    EXPECT_EQ(h.vmax, 80);
}

TEST(Histogram, DrawingIntoABitmap) {
    TFastPicture fp;
    Bitmap target;
    fp.DrawHistogram(target, 6, 2, 0);
    fp.DrawHistogram(target, 2, 4, 0);
    fp.DrawHistogram(target, 2, 2, 101);
    fp.DrawHistogram(target, 0, 2, 0);
    EXPECT_TRUE(target.empty());

    // No picture: background, frame, ticks and labels, no curves.
    fp.DrawHistogram(target, 2, 2, 0);
    ASSERT_EQ(target.width(), 572);
    ASSERT_EQ(target.height(), 350);
    EXPECT_EQ(at(target, 100, 100), kFace);
    EXPECT_EQ(at(target, 30, 200), clBlack);          // left axis at x = 15·s
    EXPECT_EQ(at(target, 542, 200), clBlack);         // right axis at x = 271·s
    EXPECT_EQ(at(target, 300, 318), clBlack);         // base line at y = 159·s
    EXPECT_EQ(at(target, 30, 10), clBlack);           // the axes' top ends are at y = 10,
    EXPECT_EQ(at(target, 30, 9), kFace);              // not scaled
    EXPECT_EQ(at(target, 24, 170), clBlack);          // middle tick (11·s..14·s, 85·s)
    EXPECT_EQ(at(target, 30 + 32 * 4, 324), clBlack); // long tick below i = 4
    EXPECT_EQ(at(target, 30 + 32, 323), kFace);       // short tick below i = 1 ends at 161·s
    for (int y = 20; y < 316; ++y) {
        const TColor c = at(target, 200, y);
        ASSERT_TRUE(c == kFace) << "curve drawn without a picture at y " << y;
    }

    // A picture: flat blue 0 and green/red 255 give three curves at known heights.
    Bitmap b = uniform(10, 10, 0, 255, 255);
    fp.picture().assign(&b);
    fp.DrawHistogram(target, 1, 2, 0);
    ASSERT_EQ(target.width(), 286);
    // VMax 100; blue's first bin at (X0 = 17, 159 - 150 = 9), its other bins on y = 159.
    EXPECT_EQ(at(target, 17, 9), clBlue);
    EXPECT_EQ(at(target, 100, 158), kFace); // the zero line lies under the axis
    // Red is drawn last and covers green where they coincide; its peak is the last bin,
    // x = 17 + 63 × 4 = 269, reached by a steep line from (265, 159).
    EXPECT_EQ(at(target, 269, 9), clRed);
    bool redNearPeak = false;
    for (int x = 266; x <= 269; ++x)
        redNearPeak |= at(target, x, 40) == clRed;
    EXPECT_TRUE(redNearPeak);
}

TEST(Histogram, DrawingIntoAMetafile) {
    TFastPicture fp;
    Bitmap b = pwtest::makeTestBitmap(30, 20);
    fp.picture().assign(&b);
    Metafile m;
    fp.DrawHistogram(m, 2, 2, 0);
    EXPECT_TRUE(m.hasRecording());
    EXPECT_TRUE(m.logicalInch());
    EXPECT_EQ(m.width(), 572);
    EXPECT_EQ(m.height(), 350);
    // Played back into a bitmap, the frame shows where the bitmap drawing has it.
    Bitmap played;
    played.assign(m);
    EXPECT_EQ(played.pixelColor(30, 200), clBlack);
    EXPECT_EQ(fp.Kind, "");
}

// A JPEG is counted from its decoded pixels, which must give what drawing it gives: on
// 100 pixels every pixel is one per cent.
TEST(Histogram, JpegCountsAsItsDrawnPicture) {
    TJPEGImage jpeg;
    jpeg.assign(pwtest::makeTestBitmap(10, 10, 3));
    Bitmap drawn;
    drawn.assign(jpeg);
    drawn.setPixelFormat(pf24bit);
    TFastPicture fromJpeg, fromDrawn;
    fromJpeg.picture().assign(&jpeg);
    fromDrawn.picture().assign(&drawn);
    HistogramCounts a, b;
    ASSERT_TRUE(CountHistogram(fromJpeg, 0, 0, a));
    ASSERT_TRUE(CountHistogram(fromDrawn, 0, 0, b));
    EXPECT_EQ(a.blue, b.blue);
    EXPECT_EQ(a.green, b.green);
    EXPECT_EQ(a.red, b.red);
    EXPECT_EQ(a.vmax, b.vmax);
}
