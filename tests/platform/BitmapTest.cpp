#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/Palette.h"
#include "support/TestSupport.h"

namespace {

int bruteNearest(const Palette& pal, int r, int g, int b) {
    int best = 0, bestDist = INT_MAX;
    for (int i = 0; i < pal.size(); ++i) {
        int dr = pal[i].r - r, dg = pal[i].g - g, db = pal[i].b - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
        }
    }
    return best;
}

::testing::AssertionResult nearestMatchesBruteForce(const Palette& pal, int step) {
    for (int r = 0; r < 256; r += step)
        for (int g = 0; g < 256; g += step)
            for (int b = 0; b < 256; b += step) {
                int want = bruteNearest(pal, r, g, b);
                int got = pal.nearest(uint8_t(r), uint8_t(g), uint8_t(b));
                if (got != want)
                    return ::testing::AssertionFailure()
                           << "(" << r << "," << g << "," << b << "): " << got << " vs " << want;
            }
    return ::testing::AssertionSuccess();
}

const PixelFormat kAllFormats[] = {pfDevice, pf1bit,  pf4bit,  pf8bit,
                                   pf15bit,  pf16bit, pf24bit, pf32bit};

} // namespace

TEST(Palette, NearestIsExactForStandardAndRandomPalettes) {
    EXPECT_EQ(Palette::halftone().size(), 256);
    EXPECT_EQ(Palette::defaultPalette().size(), 20);
    // Step 3 visits colours on both sides of every cell boundary.
    EXPECT_TRUE(nearestMatchesBruteForce(Palette::halftone(), 3));
    EXPECT_TRUE(nearestMatchesBruteForce(Palette::defaultPalette(), 5));
    EXPECT_TRUE(nearestMatchesBruteForce(Palette::vga16(), 5));
    std::mt19937 rng(7);
    for (int n : {1, 2, 37, 256}) {
        SCOPED_TRACE(n);
        std::vector<Rgb> e;
        for (int i = 0; i < n; ++i)
            e.push_back({uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
        EXPECT_TRUE(nearestMatchesBruteForce(Palette(e), 7));
    }
    // Clustered entries make long candidate lists.
    std::vector<Rgb> clustered;
    for (int i = 0; i < 200; ++i)
        clustered.push_back(
            {uint8_t(100 + rng() % 16), uint8_t(100 + rng() % 16), uint8_t(rng() % 4)});
    EXPECT_TRUE(nearestMatchesBruteForce(Palette(clustered), 4));
}

TEST(Palette, TiesGoToTheLowestIndex) {
    // 0 and 2 are equal; 1 and 3 are equally far from (10, 10, 10) as 0.
    Palette pal({{0, 0, 0}, {20, 20, 20}, {0, 0, 0}, {20, 20, 20}});
    EXPECT_EQ(pal.nearest(10, 10, 10), 0);
    EXPECT_EQ(pal.nearest(11, 10, 10), 1);
    EXPECT_EQ(pal.nearest(0, 0, 0), 0);
    Palette copy = pal;
    copy.setEntries({{255, 255, 255}});
    EXPECT_EQ(copy.nearest(0, 0, 0), 0);
    EXPECT_EQ(pal.nearest(20, 20, 20), 1); // the copy's change did not touch the original
    EXPECT_EQ(Palette().nearest(1, 2, 3), 0);
}

TEST(Palette, RowSearchAgreesWithSingleSearch) {
    Bitmap src = pwtest::makeTestBitmap(300, 7, 3);
    std::vector<uint8_t> idx(300);
    const Palette& pal = Palette::halftone();
    for (int y = 0; y < src.height(); ++y) {
        pal.nearestRow(src.scanLine(y), 300, idx.data());
        const uint8_t* p = src.scanLine(y);
        for (int x = 0; x < 300; ++x)
            ASSERT_EQ(idx[x], bruteNearest(pal, p[3 * x + 2], p[3 * x + 1], p[3 * x]))
                << x << "," << y;
    }
}

TEST(Bitmap, EightBitConversionUsesNearestHalftoneEntry) {
    // Large enough to be split across threads.
    Bitmap src = pwtest::makeTestBitmap(1500, 800, 11);
    Bitmap b8 = src;
    b8.setPixelFormat(pf8bit);
    ASSERT_EQ(b8.pixelFormat(), pf8bit);
    EXPECT_EQ(b8.palette(), Palette::halftone());
    const Palette& pal = Palette::halftone();
    for (int y = 0; y < src.height(); y += 7) {
        const uint8_t* s = src.scanLine(y);
        const uint8_t* d = b8.scanLine(y);
        for (int x = 0; x < src.width(); ++x)
            ASSERT_EQ(d[x], bruteNearest(pal, s[3 * x + 2], s[3 * x + 1], s[3 * x]))
                << x << "," << y;
    }
    Bitmap back = b8;
    back.setPixelFormat(pf24bit);
    for (int y = 0; y < src.height(); y += 13)
        for (int x = 0; x < src.width(); x += 3) {
            const Rgb& c = pal[b8.scanLine(y)[x]];
            ASSERT_EQ(back.pixelColor(x, y), uint32_t(c.r | c.g << 8 | c.b << 16));
        }
}

TEST(Bitmap, SixteenAndFifteenBitLayouts) {
    Bitmap bmp(2, 1, pf24bit);
    uint8_t* p = bmp.scanLine(0);
    // Pixel 0: blue 0xFF, green 0x80, red 0x08. Pixel 1: white.
    p[0] = 0xFF, p[1] = 0x80, p[2] = 0x08, p[3] = p[4] = p[5] = 0xFF;
    Bitmap b16 = bmp;
    b16.setPixelFormat(pf16bit);
    auto word = [](const Bitmap& b, int x) {
        return b.scanLine(0)[2 * x] | b.scanLine(0)[2 * x + 1] << 8;
    };
    EXPECT_EQ(word(b16, 0), (1 << 11) | (32 << 5) | 31);
    EXPECT_EQ(word(b16, 1), 0xFFFF);
    Bitmap b15 = bmp;
    b15.setPixelFormat(pf15bit);
    EXPECT_EQ(word(b15, 0), (1 << 10) | (16 << 5) | 31);
    EXPECT_EQ(word(b15, 1), 0x7FFF);
    EXPECT_EQ(b15.bitsPerPixel(), 16);
    // Widening repeats the high bits: full scale stays full scale, 0 stays 0.
    b16.setPixelFormat(pf24bit);
    EXPECT_EQ(b16.pixelColor(0, 0), RGBColor(8, 130, 255));
    EXPECT_EQ(b16.pixelColor(1, 0), 0xFFFFFFu);
    b15.setPixelFormat(pf24bit);
    EXPECT_EQ(b15.pixelColor(0, 0), RGBColor(8, 132, 255));
}

TEST(Bitmap, EveryFormatPairKeepsColoursTheTargetCanHold) {
    // Black, white, pure red, green and blue survive every format but 1-bit; on 1-bit
    // black and white survive.
    Bitmap src(5, 3, pf24bit);
    const uint32_t colors[5] = {0x000000, 0xFFFFFF, 0x0000FF, 0x00FF00, 0xFF0000};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            uint8_t* p = src.scanLine(y) + 3 * x;
            uint32_t c = colors[(x + y) % 5];
            p[0] = uint8_t(c >> 16), p[1] = uint8_t(c >> 8), p[2] = uint8_t(c);
        }
    for (PixelFormat a : kAllFormats)
        for (PixelFormat b : kAllFormats) {
            SCOPED_TRACE(testing::Message() << "from " << int(a) << " to " << int(b));
            Bitmap bmp = src;
            bmp.setPixelFormat(a);
            bmp.setPixelFormat(b);
            EXPECT_EQ(bmp.pixelFormat(), b);
            EXPECT_EQ(bmp.handleType(), b == pfDevice ? bmDDB : bmDIB);
            EXPECT_EQ(bmp.width(), 5);
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 5; ++x) {
                    uint32_t c = colors[(x + y) % 5];
                    bool mono = a == pf1bit || b == pf1bit;
                    if (mono && c != 0 && c != 0xFFFFFF) continue;
                    ASSERT_EQ(bmp.pixelColor(x, y), c) << x << "," << y;
                }
            if (b == pf32bit || b == pfDevice) {
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < 5; ++x)
                        ASSERT_EQ(bmp.scanLine(y)[4 * x + 3], 255);
            }
        }
}

TEST(Bitmap, SubByteFormatsPackMostSignificantFirst) {
    Bitmap bmp(9, 1, pf24bit);
    for (int x = 0; x < 9; x += 2)
        std::fill_n(bmp.scanLine(0) + 3 * x, 3, uint8_t(255));
    Bitmap b1 = bmp;
    b1.setPixelFormat(pf1bit);
    EXPECT_EQ(b1.stride(), 4);
    EXPECT_EQ(b1.scanLine(0)[0], 0xAA);
    EXPECT_EQ(b1.scanLine(0)[1], 0x80);
    Bitmap b4 = bmp;
    b4.setPixelFormat(pf4bit);
    EXPECT_EQ(b4.scanLine(0)[0], 0xF0); // white is entry 15 of the 16 VGA colours
    EXPECT_EQ(b4.scanLine(0)[4], 0xF0);
    EXPECT_EQ(b4.palette(), Palette::vga16());
}

TEST(Bitmap, CustomFormatIsRefusedAndDeviceIsDependent) {
    Bitmap bmp(4, 4, pf24bit);
    try {
        bmp.setPixelFormat(pfCustom);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "画像フォーマットが不正です");
    }
    EXPECT_EQ(bmp.pixelFormat(), pf24bit);
    EXPECT_THROW(Bitmap(2, 2, pfCustom), EInvalidGraphic);
    bmp.setHandleType(bmDDB);
    EXPECT_EQ(bmp.pixelFormat(), pfDevice);
    EXPECT_EQ(bmp.bitsPerPixel(), 32);
    bmp.setHandleType(bmDIB);
    EXPECT_EQ(bmp.pixelFormat(), pf32bit);
}

TEST(Bitmap, SizeLimitsAndResizeKeepTopLeft) {
    EXPECT_THROW(Bitmap(65536, 1), EPictureTooLarge);
    EXPECT_THROW(Bitmap(20000, 20000), EPictureTooLarge);
    Bitmap bmp = pwtest::makeTestBitmap(10, 10);
    uint32_t corner = bmp.pixelColor(3, 4);
    bmp.setSize(5, 20);
    EXPECT_EQ(bmp.pixelColor(3, 4), corner);
    EXPECT_EQ(bmp.pixelColor(4, 15), 0u);
    EXPECT_THROW(bmp.setSize(-1, 2), EInvalidGraphic);
}

TEST(Bitmap, DisplayImageIsOpaqueAndMatchesPixels) {
    for (PixelFormat f : kAllFormats) {
        SCOPED_TRACE(int(f));
        Bitmap bmp = pwtest::makeTestBitmap(33, 5, 4);
        bmp.setPixelFormat(f);
        if (f == pf32bit) bmp.scanLine(2)[4 * 3 + 3] = 0; // as a file may bring
        QImage img = bmp.toDisplayImage();
        ASSERT_EQ(img.format(), QImage::Format_RGB32);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 33; ++x) {
                QRgb c = img.pixel(x, y);
                ASSERT_EQ(qAlpha(c), 255);
                ASSERT_EQ(RGBColor(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))),
                          bmp.pixelColor(x, y));
            }
        EXPECT_EQ(bmp.opaqueRows(), f != pf32bit);
    }
}

TEST(Bitmap, FromQImageKeepsIndexedColours) {
    QImage img(3, 2, QImage::Format_Indexed8);
    img.setColorTable({qRgb(1, 2, 3), qRgb(200, 100, 50)});
    img.fill(1);
    Bitmap bmp = Bitmap::fromQImage(img);
    EXPECT_EQ(bmp.pixelFormat(), pf8bit);
    EXPECT_EQ(bmp.pixelColor(2, 1), RGBColor(200, 100, 50));
    QImage argb(2, 2, QImage::Format_ARGB32);
    argb.fill(qRgba(10, 20, 30, 255));
    Bitmap b24 = Bitmap::fromQImage(argb);
    EXPECT_EQ(b24.pixelFormat(), pf24bit);
    EXPECT_EQ(b24.pixelColor(1, 1), RGBColor(10, 20, 30));
}

// Pictures of several megabytes take their memory straight from the system: they must
// still start out black, and copies and resizes must keep their own pixels.
TEST(Bitmap, LargePicturesStartBlackAndCopyTheirPixels) {
    Bitmap big(1500, 1000, pf24bit);
    bool allZero = true;
    for (int y = 0; y < big.height() && allZero; ++y)
        for (int i = 0; i < big.stride(); ++i)
            allZero = allZero && big.scanLine(y)[i] == 0;
    EXPECT_TRUE(allZero);
    big.scanLine(999)[4499] = 7;
    big.scanLine(0)[0] = 9;
    Bitmap copy = big;
    big.scanLine(0)[0] = 1;
    EXPECT_EQ(copy.scanLine(0)[0], 9);
    EXPECT_EQ(copy.scanLine(999)[4499], 7);
    copy.setPixelFormat(pf32bit);
    EXPECT_EQ(copy.scanLine(999)[4 * 1499 + 2], 7);
    Bitmap again(1500, 1000, pf24bit); // may reuse the memory just given back
    EXPECT_EQ(again.scanLine(0)[0], 0);
    EXPECT_EQ(again.scanLine(999)[4499], 0);
}

// Large pixel memory is handed from a freed bitmap to the next one of the same size: a
// plain new bitmap must still read as zero, one made for a result that writes every pixel
// must still have zero row padding, and copies must carry every byte.
TEST(Bitmap, ReusedPixelMemoryIsClearedWhereItMustBe) {
    constexpr int w = 1001, h = 1000; // 3003 bytes of pixels in rows of 3004: one pad byte
    auto dirty = [] {
        Bitmap b(w, h, pf24bit);
        for (int y = 0; y < h; ++y)
            std::memset(b.scanLine(y), 0xAB, size_t(b.stride()));
    };
    dirty();
    {
        Bitmap fresh(w, h, pf24bit);
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = fresh.scanLine(y);
            ASSERT_TRUE(std::all_of(row, row + fresh.stride(), [](uint8_t v) { return v == 0; }))
                << "row " << y;
        }
    }
    dirty();
    {
        Bitmap result(w, h, pf24bit, Bitmap::Uninitialised::Pixels);
        for (int y = 0; y < h; ++y)
            ASSERT_EQ(result.scanLine(y)[3 * w], 0) << "row " << y;
    }
    Bitmap original(w, h, pf24bit);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < 3 * w; ++i)
            original.scanLine(y)[i] = uint8_t(y * 7 + i);
    dirty();
    dirty();
    const Bitmap copy = original;
    for (int y = 0; y < h; ++y)
        ASSERT_EQ(std::memcmp(copy.scanLine(y), original.scanLine(y), size_t(copy.stride())), 0)
            << "row " << y;
}
