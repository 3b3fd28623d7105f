#include <gtest/gtest.h>

#include "OctreeReference.h"
#include "ReduceTestUtil.h"
#include "platform/Exceptions.h"
#include "reduce/Octree.h"
#include "reduce/Reduce.h"
#include "support/TestSupport.h"

using namespace reducetest;

namespace {

uint32_t colorOf(int r, int g, int b) {
    return static_cast<uint32_t>(r << 16 | g << 8 | b);
}

} // namespace

TEST(Octree, SingleColourGivesOneEntryAndIndexZero) {
    const Bitmap source = pictureOf(7, 5, {Rgb{10, 200, 77}});
    const Bitmap result = ReduceByOctree(source, 256);
    ASSERT_EQ(result.pixelFormat(), pf8bit);
    ASSERT_EQ(result.palette().size(), 1);
    EXPECT_EQ(result.palette()[0], (Rgb{10, 200, 77}));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            EXPECT_EQ(indexAt(result, x, y), 0);

    TOctree tree;
    tree.AddBitmap(source);
    EXPECT_EQ(tree.NodeCount, 7); // root and one node per depth down to the leaf at depth 6
    EXPECT_EQ(tree.LeafCount, 1);
}

TEST(Octree, ColoursDifferingInLowBitsShareATruncatedAverage) {
    // Two pixels of the first colour, one of the second: (603/3, 302/3, 149/3).
    const Bitmap source =
        pictureOf(3, 1, {Rgb{200, 100, 50}, Rgb{203, 102, 49}, Rgb{200, 100, 50}});
    const Bitmap result = ReduceByOctree(source, 256);
    ASSERT_EQ(result.palette().size(), 1);
    EXPECT_EQ(result.palette()[0], (Rgb{201, 100, 49}));
}

TEST(Octree, FewPathsAreKeptInDepthFirstOrder) {
    // Four paths, each differing at a different depth; no merging, entries in child-index
    // order with the most significant bits first.
    const std::vector<Rgb> colors = {Rgb{255, 0, 0}, Rgb{0, 0, 4}, Rgb{0, 128, 0}, Rgb{0, 0, 0}};
    const Bitmap result = ReduceByOctree(pictureOf(4, 1, colors), 256);
    ASSERT_EQ(result.palette().size(), 4);
    EXPECT_EQ(result.palette()[0], (Rgb{0, 0, 0}));
    EXPECT_EQ(result.palette()[1], (Rgb{0, 0, 4}));
    EXPECT_EQ(result.palette()[2], (Rgb{0, 128, 0}));
    EXPECT_EQ(result.palette()[3], (Rgb{255, 0, 0}));
    EXPECT_EQ(indexAt(result, 0, 0), 3);
    EXPECT_EQ(indexAt(result, 1, 0), 1);
    EXPECT_EQ(indexAt(result, 2, 0), 2);
    EXPECT_EQ(indexAt(result, 3, 0), 0);
}

TEST(Octree, TwoHundredFiftySixPathsAreNotMerged) {
    std::vector<Rgb> colors;
    for (int i = 0; i < 256; ++i)
        colors.push_back(
            Rgb{static_cast<uint8_t>((i & 15) * 16), static_cast<uint8_t>((i >> 4) * 16), 8});
    const Bitmap result = ReduceByOctree(pictureOf(32, 8, colors), 256);
    ASSERT_EQ(result.palette().size(), 256);
    // Every colour is its own leaf and thus its own palette colour.
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(result.palette()[indexAt(result, i % 32, i / 32)],
                  colors[static_cast<size_t>(i)]);
}

TEST(Octree, SmallTargetsMergeDownToTheRoot) {
    const Bitmap source = pwtest::makeTestBitmap(64, 48, 3);
    for (int target : {1, 2, 3, 16}) {
        SCOPED_TRACE(target);
        const Bitmap result = ReduceByOctree(source, target);
        EXPECT_GE(result.palette().size(), 1);
        EXPECT_LE(result.palette().size(), target);
        EXPECT_TRUE(pwtest::sameBitmap(result, octree_reference::reduce(source, target)));
    }
    // Black and white halves with a target of 1: the root is the one leaf, its colour the
    // average of all pixels.
    const Bitmap halves = pictureOf(4, 1, {Rgb{0, 0, 0}, Rgb{255, 255, 255}});
    const Bitmap one = ReduceByOctree(halves, 1);
    ASSERT_EQ(one.palette().size(), 1);
    EXPECT_EQ(one.palette()[0], (Rgb{127, 127, 127}));
}

TEST(Octree, PruningWhileAddingMatchesStepwiseTrimPasses) {
    // Noise makes new paths with nearly every pixel, so the tree passes 100000 nodes many
    // times while the pixels are added.
    const Bitmap source = noise(500, 400, 11);
    octree_reference::Tree reference;
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const Rgb c = pixelOf(source, x, y);
            reference.add(c.r, c.g, c.b);
        }
    TOctree gathered;
    gathered.AddBitmap(source);
    // Nodes of more pixels than the pruning's histogram holds take the sorted path.
    TOctree sorted(1);
    sorted.AddBitmap(source);
    TOctree single;
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const Rgb c = pixelOf(source, x, y);
            single.AddColor(colorOf(c.r, c.g, c.b));
            ASSERT_LE(single.NodeCount, TOctree::kPruneAbove);
        }
    EXPECT_GE(reference.prunes, 5);
    EXPECT_LE(reference.nodeCount, 100000);
    EXPECT_EQ(gathered.NodeCount, reference.nodeCount);
    EXPECT_EQ(gathered.LeafCount, reference.leafCount);
    EXPECT_EQ(sorted.NodeCount, reference.nodeCount);
    EXPECT_EQ(sorted.LeafCount, reference.leafCount);
    EXPECT_EQ(single.NodeCount, reference.nodeCount);
    EXPECT_EQ(single.LeafCount, reference.leafCount);
    EXPECT_EQ(gathered.Root->PixelCount, 200000);
    EXPECT_EQ(gathered.Root->SumR, reference.root->sumR);
    EXPECT_EQ(gathered.Root->SumB, reference.root->sumB);

    gathered.Reduce(256);
    sorted.Reduce(256);
    reference.reduce(256);
    EXPECT_EQ(gathered.GetPalette().entries(), reference.palette);
    EXPECT_EQ(sorted.GetPalette().entries(), reference.palette);
    EXPECT_EQ(gathered.Threshold, reference.threshold);
}

TEST(Octree, WholeReductionMatchesReference) {
    struct Case {
        const char* name;
        Bitmap source;
        int target;
    };
    const Case cases[] = {
        {"photo-like", pwtest::makeTestBitmap(320, 240, 5), 256},
        {"noise", noise(400, 300, 2), 256},
        {"noise to 17", noise(100, 90, 3), 17},
        {"one row", pwtest::makeTestBitmap(1000, 1, 9), 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bitmap result = ReduceByOctree(c.source, c.target);
        EXPECT_LE(result.palette().size(), c.target);
        EXPECT_TRUE(pwtest::sameBitmap(result, octree_reference::reduce(c.source, c.target)));
    }
}

TEST(Octree, ColoursNeverAddedFollowTheFirstChild) {
    TOctree tree;
    tree.AddColor(colorOf(0, 0, 0));
    tree.AddColor(colorOf(255, 255, 255));
    tree.Reduce(256);
    EXPECT_EQ(tree.GetColorIndex(colorOf(0, 0, 0)), 0);
    EXPECT_EQ(tree.GetColorIndex(colorOf(255, 255, 255)), 1);
    // (255, 0, 0) needs a child the root lacks and goes to its first child present: black's.
    EXPECT_EQ(tree.GetColorIndex(colorOf(255, 0, 0)), 0);
    // Blue 250 leaves white's path only at depth 5 and ends at that branch's first leaf.
    EXPECT_EQ(tree.GetColorIndex(colorOf(255, 255, 250)), 1);
    const std::vector<uint8_t> lookup = tree.BuildLookup();
    for (uint32_t color :
         {colorOf(255, 0, 0), colorOf(255, 255, 250), colorOf(0, 1, 2), colorOf(3, 3, 3)}) {
        const int r = color >> 16, g = (color >> 8) & 255, b = color & 255;
        EXPECT_EQ(lookup[TOctree::PathKey(r, g, b)], tree.GetColorIndex(color))
            << std::hex << color;
    }
}

TEST(Octree, RefusesWhatWouldHangOrOverflow) {
    const Bitmap source = pictureOf(2, 2, {Rgb{1, 2, 3}});
    EXPECT_THROW(ReduceByOctree(source, 0), ERangeError);
    EXPECT_THROW(ReduceByOctree(source, 257), ERangeError);
    Bitmap wide(2, 2, pf32bit);
    EXPECT_THROW(ReduceByOctree(wide, 256), EInvalidGraphic);
    // More than 256 leaves cannot be written into the palette record.
    TOctree tree;
    tree.AddBitmap(noise(40, 40, 1));
    ASSERT_GT(tree.LeafCount, 256);
    EXPECT_THROW(tree.GetPalette(), ERangeError);
}

TEST(Octree, EmptyPictureGivesEmptyPalette) {
    const Bitmap result = ReduceByOctree(Bitmap(0, 0, pf24bit), 256);
    EXPECT_EQ(result.width(), 0);
    EXPECT_EQ(result.pixelFormat(), pf8bit);
    EXPECT_EQ(result.palette().size(), 0);
}

// Slow (a literal octree over 24 megapixels); run by hand after changing the pruning.
TEST(Octree, DISABLED_LargePhotoMatchesReference) {
    const Bitmap source = pwtest::makeTestBitmap(6000, 4000, 7);
    EXPECT_TRUE(
        pwtest::sameBitmap(ReduceByOctree(source, 256), octree_reference::reduce(source, 256)));
}

TEST(Octree, SortedMergingAgreesWithVisitorPasses) {
    const Bitmap sources[] = {pwtest::makeTestBitmap(400, 300, 12), noise(200, 200, 13),
                              noise(30, 30, 14)};
    for (const Bitmap& source : sources)
        for (int target : {256, 100, 7, 1}) {
            SCOPED_TRACE(testing::Message()
                         << source.width() << "x" << source.height() << " to " << target);
            TOctree fast, stepwise;
            fast.AddBitmap(source);
            stepwise.AddBitmap(source);
            fast.Reduce(target);
            stepwise.ReduceStepwise(target);
            EXPECT_EQ(fast.NodeCount, stepwise.NodeCount);
            EXPECT_EQ(fast.LeafCount, stepwise.LeafCount);
            EXPECT_EQ(fast.Threshold, stepwise.Threshold);
            EXPECT_EQ(fast.SmallForkSums, stepwise.SmallForkSums);
            EXPECT_EQ(fast.GetPalette(), stepwise.GetPalette());
        }
}
