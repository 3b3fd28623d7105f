#include <gtest/gtest.h>

#include <vector>

#include "ReduceTestUtil.h"
#include "platform/Exceptions.h"
#include "reduce/Diffusion.h"
#include "reduce/Reduce.h"
#include "support/TestSupport.h"

using namespace reducetest;

namespace {

// Floyd–Steinberg over a whole-picture copy with one spare column on each side and one spare
// row below, in plain scan order: what the eleven-row window must reproduce.
Bitmap referenceDiffusion(const Bitmap& source, const TQuantizeColor& quantizer) {
    const int w = source.width(), h = source.height();
    const int stride = 3 * (w + 2);
    std::vector<uint8_t> work(static_cast<size_t>(stride) * static_cast<size_t>(h + 1), 0);
    auto at = [&](int x, int y) {
        return &work[static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(x + 1)];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int ch = 0; ch < 3; ++ch)
                at(x, y)[ch] = source.scanLine(y)[3 * x + ch];
    Bitmap out(w, h, pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* c = at(x, y);
            uint8_t q[3];
            quantizer.Quantize(q, static_cast<uint32_t>(c[2] << 16 | c[1] << 8 | c[0]));
            for (int ch = 0; ch < 3; ++ch) {
                const int e = q[ch] - c[ch];
                // Shares off the right edge go to the spare column and never come back.
                if (x + 1 < w)
                    at(x + 1, y)[ch] =
                        static_cast<uint8_t>(ClampByte(at(x + 1, y)[ch] - e * 7 / 16));
                at(x - 1, y + 1)[ch] =
                    static_cast<uint8_t>(ClampByte(at(x - 1, y + 1)[ch] - e * 3 / 16));
                at(x, y + 1)[ch] = static_cast<uint8_t>(ClampByte(at(x, y + 1)[ch] - e * 5 / 16));
                if (x + 1 < w)
                    at(x + 1, y + 1)[ch] =
                        static_cast<uint8_t>(ClampByte(at(x + 1, y + 1)[ch] - e / 16));
            }
            std::copy(q, q + 3, out.scanLine(y) + 3 * x);
        }
    return out;
}

} // namespace

TEST(FixedPalette, LevelTablesAndPalette) {
    EXPECT_EQ(RedLevelValue[RedLevel[25]], 0);
    EXPECT_EQ(RedLevelValue[RedLevel[26]], 51);
    EXPECT_EQ(RedLevelValue[RedLevel[230]], 204); // not the nearest level
    EXPECT_EQ(RedLevelValue[RedLevel[231]], 255);
    EXPECT_EQ(GreenLevelValue[GreenLevel[21]], 0);
    EXPECT_EQ(GreenLevelValue[GreenLevel[233]], 214);
    EXPECT_EQ(GreenLevelValue[GreenLevel[234]], 255);
    EXPECT_EQ(BlueLevelValue[BlueLevel[159]], 128);
    EXPECT_EQ(BlueLevelValue[BlueLevel[160]], 192);
    EXPECT_EQ(BlueLevel[255], 4);
    const Palette& p = StaticPalette();
    ASSERT_EQ(p.size(), 210);
    EXPECT_EQ(p[0], (Rgb{0, 0, 0}));
    EXPECT_EQ(p[3 * 35 + 2 * 5 + 4], (Rgb{153, 85, 255}));
    EXPECT_EQ(p[209], (Rgb{255, 255, 255}));
    // Every level value maps back to its own level.
    for (int i = 0; i < 210; ++i) {
        const uint8_t bgr[3] = {p[i].b, p[i].g, p[i].r};
        EXPECT_EQ(TQuantizeToStaticColor::IndexOf(bgr), i);
    }
}

TEST(FixedPalette, PaletteColoursPassUnchanged) {
    std::vector<Rgb> colors(StaticPalette().entries());
    const Bitmap source = pictureOf(21, 10, colors);
    const Bitmap result = ReduceByFixedPalette(source);
    ASSERT_EQ(result.palette(), StaticPalette());
    for (int i = 0; i < 210; ++i)
        EXPECT_EQ(indexAt(result, i % 21, i / 21), i);
}

TEST(FixedPalette, UniformGreyAlternatesRedLevels) {
    const Bitmap source = pictureOf(6, 3, {Rgb{128, 128, 128}});
    const Bitmap diffused = ErrorDiffusion(source, TQuantizeToStaticColor());
    // 128 → red 153: the error −25 pushes the next red to 128 − 175 / 16 = 118 → 102.
    EXPECT_EQ(pixelOf(diffused, 0, 0), (Rgb{153, 128, 128}));
    EXPECT_EQ(pixelOf(diffused, 1, 0).r, 102);
    const Bitmap result = ReduceByFixedPalette(source);
    ASSERT_EQ(result.palette().size(), 210);
    EXPECT_EQ(indexAt(result, 0, 0), 3 * 35 + 3 * 5 + 2);
    EXPECT_EQ(indexAt(result, 1, 0), 2 * 35 + 3 * 5 + 2);
}

TEST(ErrorDiffusion, WindowMatchesWholePictureDiffusion) {
    struct Case {
        const char* name;
        Bitmap source;
    };
    const Case cases[] = {
        {"photo-like", pwtest::makeTestBitmap(97, 41, 2)},
        {"noise", noise(33, 17, 4)},
        {"one pixel wide", pwtest::makeTestBitmap(1, 30, 6)},
        {"one row", pwtest::makeTestBitmap(50, 1, 7)},
        {"single pixel", noise(1, 1, 8)},
    };
    const TQuantizeToStaticColor fixed;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bitmap diffused = ErrorDiffusion(c.source, fixed);
        EXPECT_TRUE(pwtest::sameBitmap(diffused, referenceDiffusion(c.source, fixed)));
        // The reduction maps the same diffused colours onto the palette.
        const Bitmap result = ReduceByFixedPalette(c.source);
        for (int y = 0; y < c.source.height(); ++y)
            for (int x = 0; x < c.source.width(); ++x) {
                const uint8_t* p = diffused.scanLine(y) + 3 * x;
                ASSERT_EQ(indexAt(result, x, y), TQuantizeToStaticColor::IndexOf(p));
                ASSERT_LT(indexAt(result, x, y), 210);
            }
    }
}

TEST(BitmapFilter, WindowShowsFiveRowsAndColumnsAroundWithZeroOutside) {
    const Bitmap source = noise(13, 12, 9);
    auto expected = [&](int x, int y, int ch) -> int {
        if (x < 0 || y < 0 || x >= source.width() || y >= source.height()) return 0;
        return source.scanLine(y)[3 * x + ch];
    };
    int mismatches = 0;
    const Bitmap copy =
        BitmapFilter(source, [&](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
            for (int k = 0; k < 11; ++k)
                for (int dx = -5; dx <= 5; ++dx)
                    for (int ch = 0; ch < 3; ++ch)
                        if (rows[k][15 + 3 * dx + ch] != expected(x + dx, y - 5 + k, ch))
                            ++mismatches;
            std::copy(rows[5] + 15, rows[5] + 18, pixel);
        });
    EXPECT_EQ(mismatches, 0);
    EXPECT_TRUE(pwtest::sameBitmap(copy, source));
}

TEST(BitmapFilter, ChangesReachLaterPixelsButNotTheSource) {
    const Bitmap source = pictureOf(4, 3, {Rgb{10, 10, 10}});
    const Bitmap before = source;
    // Each pixel makes the blue below it one more than its own, so the increments add up
    // only if every row sees the changes made while the rows above were processed.
    const Bitmap result = BitmapFilter(source, [](int, int, uint8_t* const* rows, uint8_t* pixel) {
        std::copy(rows[5] + 15, rows[5] + 18, pixel);
        rows[6][15] = static_cast<uint8_t>(rows[5][15] + 1);
    });
    EXPECT_EQ(pixelOf(result, 2, 0).b, 10);
    EXPECT_EQ(pixelOf(result, 2, 2).b, 12);
    EXPECT_TRUE(pwtest::sameBitmap(source, before));
}

TEST(BitmapFilter, RefusesAnythingButTwentyFourBits) {
    for (PixelFormat format : {pf32bit, pf8bit, pf16bit}) {
        try {
            BitmapFilter(Bitmap(3, 3, format), [](int, int, uint8_t* const*, uint8_t*) {});
            ADD_FAILURE() << "accepted format " << int(format);
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), "BitmapFiletr accepts only 24Bit DIB");
        }
    }
    EXPECT_THROW(ReduceByFixedPalette(Bitmap(3, 3, pf32bit)), EInvalidGraphic);
    EXPECT_THROW(ErrorDiffusion(Bitmap(3, 3, pf32bit), TQuantizeToStaticColor()), EInvalidGraphic);
}

TEST(BitmapFilter, RunTimeProcedureFormMatchesTheTemplate) {
    const Bitmap source = pwtest::makeTestBitmap(40, 20, 3);
    const TQuantizeToStaticColor fixed;
    const Bitmap viaPointer = BitmapFilter(source, static_cast<TPixelProc>(FloydSteinbergPixel),
                                           const_cast<TQuantizeToStaticColor*>(&fixed));
    EXPECT_TRUE(pwtest::sameBitmap(viaPointer, ErrorDiffusion(source, fixed)));
}
