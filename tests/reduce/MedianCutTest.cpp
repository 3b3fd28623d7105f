#include <gtest/gtest.h>

#include "ReduceTestUtil.h"
#include "platform/Exceptions.h"
#include "reduce/MedianCut.h"
#include "reduce/Reduce.h"
#include "support/TestSupport.h"

using namespace reducetest;

namespace {

using Reducer = Bitmap (*)(const Bitmap&, int);

struct Method {
    const char* name;
    Reducer reduce;
    bool diffused;
};

const Method kMethods[] = {
    {"range", ReduceByMedianCut, false},
    {"variance", ReduceByMedianCutVariance, false},
    {"range + diffusion", ReduceByMedianCutDiffusion, true},
    {"variance + diffusion", ReduceByMedianCutVarianceDiffusion, true},
};

uint32_t colorOf(const Rgb& c) {
    return static_cast<uint32_t>(c.r << 16 | c.g << 8 | c.b);
}

// The palette of a compacted cut of the given pixels, as the 8-bit result would carry it.
Palette cutPalette(const std::vector<Rgb>& pixels, int maxDepth, bool variance) {
    const Bitmap source = pictureOf(static_cast<int>(pixels.size()), 1, pixels);
    return (variance ? ReduceByMedianCutVariance : ReduceByMedianCut)(source, maxDepth).palette();
}

} // namespace

TEST(MedianCut, SingleColourKeepsItsExactColour) {
    const Bitmap source = pictureOf(5, 4, {Rgb{201, 99, 13}});
    for (const Method& m : kMethods) {
        SCOPED_TRACE(m.name);
        const Bitmap result = m.reduce(source, 8);
        ASSERT_EQ(result.pixelFormat(), pf8bit);
        if (!m.diffused) {
            ASSERT_EQ(result.palette().size(), 1);
        } else {
            // The empty cells are cut too and make colours that no pixel uses.
            EXPECT_GT(result.palette().size(), 1);
            EXPECT_LE(result.palette().size(), 256);
        }
        const int index = indexAt(result, 0, 0);
        EXPECT_EQ(result.palette()[index], (Rgb{201, 99, 13}));
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(indexAt(result, x, y), index);
    }
}

TEST(MedianCut, CellKeepsTheTruncatedAverageOfItsPixels) {
    // (0, 0, 0) and (3, 3, 7) share a cell: averages 3/2, 3/2, 7/2.
    const Palette p = cutPalette({Rgb{0, 0, 0}, Rgb{3, 3, 7}}, 8, false);
    ASSERT_EQ(p.size(), 1);
    EXPECT_EQ(p[0], (Rgb{1, 1, 3}));
}

TEST(MedianCut, RangeRuleWeighsRedGreenBlueAsTwelveFourteenTen) {
    // Red range 100, blue 120, green 86: 1.4 × 86 = 120.4 beats 120, so green is cut.
    EXPECT_EQ(cutPalette({Rgb{0, 0, 0}, Rgb{100, 86, 120}, Rgb{100, 0, 120}}, 1, false).entries(),
              (std::vector<Rgb>{Rgb{100, 86, 120}, Rgb{50, 0, 60}}));
    // Green 85 gives 119: red ties with blue (120 each) and wins.
    EXPECT_EQ(cutPalette({Rgb{0, 0, 0}, Rgb{100, 85, 120}, Rgb{100, 0, 120}}, 1, false).entries(),
              (std::vector<Rgb>{Rgb{100, 42, 120}, Rgb{0, 0, 0}}));
    // Green 45 against blue 63 (1.4 × 45 = 63 exactly): the tie goes to green. In binary
    // floating point 45 × 1.4 comes out below 63 and blue would be cut.
    EXPECT_EQ(cutPalette({Rgb{0, 0, 0}, Rgb{0, 45, 63}, Rgb{0, 0, 63}}, 1, false).entries(),
              (std::vector<Rgb>{Rgb{0, 45, 63}, Rgb{0, 0, 31}}));
    EXPECT_EQ(cutPalette({Rgb{0, 0, 0}, Rgb{0, 90, 126}, Rgb{0, 0, 126}}, 1, false).entries(),
              (std::vector<Rgb>{Rgb{0, 90, 126}, Rgb{0, 0, 63}}));
}

TEST(MedianCut, VarianceRuleWeighsTheSpreadOfPixels) {
    // Red has the widest range (250 × 1.2 = 300 against 200 × 1.4 = 280) but one pixel only;
    // green's variance, weighted 4 against 3, is far larger.
    std::vector<Rgb> pixels(10, Rgb{0, 0, 0});
    pixels.insert(pixels.end(), 10, Rgb{0, 200, 0});
    pixels.push_back(Rgb{250, 0, 0});
    EXPECT_EQ(cutPalette(pixels, 1, false).entries(),
              (std::vector<Rgb>{Rgb{250, 0, 0}, Rgb{0, 100, 0}}));
    EXPECT_EQ(cutPalette(pixels, 1, true).entries(),
              (std::vector<Rgb>{Rgb{0, 200, 0}, Rgb{22, 0, 0}}));
}

TEST(MedianCut, UpperHalfGetsTheLowerIndices) {
    const Bitmap source = pictureOf(4, 3, {Rgb{0, 0, 0}, Rgb{255, 255, 255}});
    for (const Method& m : {kMethods[0], kMethods[1]}) {
        SCOPED_TRACE(m.name);
        const Bitmap result = m.reduce(source, 8);
        ASSERT_EQ(result.palette().size(), 2);
        EXPECT_EQ(result.palette()[0], (Rgb{255, 255, 255}));
        EXPECT_EQ(result.palette()[1], (Rgb{0, 0, 0}));
        EXPECT_EQ(indexAt(result, 0, 0), 1);
        EXPECT_EQ(indexAt(result, 1, 0), 0);
    }
}

TEST(MedianCut, PaletteHoldsExactlyTheColoursOfTheCut) {
    const Bitmap photo = pwtest::makeTestBitmap(200, 150, 4);
    for (const Method& m : kMethods) {
        SCOPED_TRACE(m.name);
        TMedianCut cut;
        cut.AddBitmap(photo);
        if (std::string(m.name).find("variance") != std::string::npos)
            cut.ReduceByVariance(8, !m.diffused);
        else
            cut.ReduceByRange(8, !m.diffused);
        const Bitmap result = m.reduce(photo, 8);
        EXPECT_EQ(result.palette().size(), cut.ColorCount);
        EXPECT_LE(cut.ColorCount, 256);
        EXPECT_EQ(result.palette(), cut.GetPalette());
        if (!m.diffused) {
            // Each pixel's index is its cell's.
            for (int y = 0; y < photo.height(); y += 7)
                for (int x = 0; x < photo.width(); x += 5)
                    ASSERT_EQ(indexAt(result, x, y),
                              cut.GetColorIndex(colorOf(pixelOf(photo, x, y))));
        }
    }
    // A shallower cut: at most 2^MaxDepth colours.
    EXPECT_LE(ReduceByMedianCut(photo, 3).palette().size(), 8);
    EXPECT_EQ(ReduceByMedianCutVariance(photo, 0).palette().size(), 1);
}

TEST(MedianCut, DiffusionUsesTheWholeHistogramAndMapsBackThroughIt) {
    const Bitmap photo = pwtest::makeTestBitmap(120, 90, 8);
    TMedianCut cut;
    cut.AddBitmap(photo);
    cut.ReduceByRange(8, false);
    // Every cell, empty or not, has an entry, so every colour the diffusion produces has an
    // index.
    EXPECT_GT(cut.ColorCount, 16);
    EXPECT_LE(cut.ColorCount, 256);
    const TMedianCutQuantizeColor quantizer(cut);
    const Bitmap diffused = ErrorDiffusion(photo, quantizer);
    const Bitmap result = ReduceByMedianCutDiffusion(photo, 8);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            ASSERT_EQ(indexAt(result, x, y), cut.GetColorIndex(colorOf(pixelOf(diffused, x, y))))
                << x << "," << y;
    // The quantizer returns the palette colour of the colour's cell.
    uint8_t pixel[3];
    quantizer.Quantize(pixel, 0x123456);
    const Rgb expected = cut.GetPalette()[cut.GetColorIndex(0x123456)];
    EXPECT_EQ((Rgb{pixel[2], pixel[1], pixel[0]}), expected);
}

TEST(MedianCut, RefusesDepthsThatWouldRunAwayOrOverflow) {
    const Bitmap one = pictureOf(2, 2, {Rgb{5, 6, 7}});
    EXPECT_THROW(ReduceByMedianCut(one, -1), ERangeError);
    EXPECT_THROW(ReduceByMedianCutVarianceDiffusion(one, -1), ERangeError);
    // Deeper than 8 works while the colours fit the palette ...
    EXPECT_EQ(ReduceByMedianCut(one, 1000000).palette().size(), 1);
    EXPECT_EQ(ReduceByMedianCutVariance(pictureOf(2, 1, {Rgb{0, 0, 0}, Rgb{9, 9, 9}}), 20)
                  .palette()
                  .size(),
              2);
    // ... and is refused, rather than writing past the 256-entry table, when they do not.
    const Bitmap rich = noise(64, 64, 5);
    EXPECT_THROW(ReduceByMedianCut(rich, 9), ERangeError);
    EXPECT_THROW(ReduceByMedianCutDiffusion(rich, 9), ERangeError);
    EXPECT_THROW(ReduceByMedianCut(Bitmap(2, 2, pf32bit), 8), EInvalidGraphic);
}

TEST(MedianCut, EmptyPicture) {
    EXPECT_EQ(ReduceByMedianCut(Bitmap(0, 0, pf24bit), 8).palette().size(), 0);
    // Without compaction the empty histogram still makes one colour, the mean cell centre.
    EXPECT_EQ(ReduceByMedianCutDiffusion(Bitmap(0, 0, pf24bit), 8).palette().size(), 1);
}
