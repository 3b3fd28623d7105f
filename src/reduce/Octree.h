// Octree quantizer.
//
// Every pixel is counted in each node on its path from the root to a leaf; fresh leaves sit
// at depth 6, so pixels agreeing in the six high bits of each channel share one. While
// pixels are added the tree is pruned back below 99000 nodes whenever it passes 100000; the
// reduction then merges sparse forks until no more leaves remain than wanted, and each leaf's
// colour is the truncated average of its pixels.
//
// Nodes come from a pool owned by the tree: once the tree has its nodes, adding and looking
// up colours allocate nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Palette.h"

class TOctree;
class TOctreeNodeVisitor;

class TOctreeNode {
public:
    bool IsLeaf = false;
    TOctree* Owner = nullptr;
    TOctreeNode* Parent = nullptr;
    // Child index at depth d: (R bit) × 4 + (G bit) × 2 + (B bit), bits of value 128 shr d.
    TOctreeNode* Children[8] = {};
    int32_t PixelCount = 0;
    int64_t SumR = 0, SumG = 0, SumB = 0;
    int32_t ColorIndex = 0;
    int32_t ChildCount = 0;
    int32_t LeafChildCount = 0;

    static int ChildIndex(int Depth, uint32_t Color) {
        const int shift = 7 - Depth;
        return static_cast<int>(((Color >> (16 + shift)) & 1) << 2 |
                                ((Color >> (8 + shift)) & 1) << 1 | ((Color >> shift) & 1));
    }

    // Counts one pixel here and below, creating the missing nodes of its path.
    void AddColor(int Depth, uint32_t Color);
    // The leaf's palette index. A colour whose path meets a missing child (one that was never
    // added) continues into the lowest-numbered child present, which gives the first leaf of
    // that subtree.
    int GetColorIndex(int Depth, uint32_t Color) const;
    // Post-order, children in index order; stops when a visit clears Continue.
    bool Traverse(TOctreeNodeVisitor& Visitor, int Depth);
    void SetLeaf();
    // Destroys every child (with the node bookkeeping of a destroy) and clears the slots.
    void DestroyChildren();

private:
    friend class TOctree;
    bool alive_ = false;
    TOctreeNode* nextFree_ = nullptr;
};

class TOctreeNodeVisitor {
public:
    virtual ~TOctreeNodeVisitor() = default;
    virtual void Visit(TOctreeNode& Node, int Depth, bool& Continue) = 0;
};

// Numbers the leaves in traversal order.
class TColorIndexVisitor final : public TOctreeNodeVisitor {
public:
    void Visit(TOctreeNode& Node, int Depth, bool& Continue) override;
};

// Merges a fork (a non-leaf whose children are all leaves) of at most Threshold pixels.
class TTrimNodeVisitor final : public TOctreeNodeVisitor {
public:
    void Visit(TOctreeNode& Node, int Depth, bool& Continue) override;
};

// Lowers Threshold to the smallest pixel count among the forks.
class TGetMinForkPixels final : public TOctreeNodeVisitor {
public:
    void Visit(TOctreeNode& Node, int Depth, bool& Continue) override;
};

// Sums PixelCount − 1 over the non-leaf nodes within Threshold, +2, +4 and +8.
class TCountSmallForkNodes final : public TOctreeNodeVisitor {
public:
    void Visit(TOctreeNode& Node, int Depth, bool& Continue) override;
};

// Writes each leaf's average colour into the palette record in traversal order.
class TGetColorEntry final : public TOctreeNodeVisitor {
public:
    void Visit(TOctreeNode& Node, int Depth, bool& Continue) override;
};

class TOctree {
public:
    static constexpr int32_t kPruneAbove = 100000;
    static constexpr int32_t kPruneTo = 99000;
    // Keys of the six-level colour paths: the child indices of depths 0..5, three bits each.
    static constexpr int kPathCount = 1 << 18;

    struct PaletteEntry {
        uint8_t Red, Green, Blue, Flags;
    };

    // Pruning counts the nodes of fewer than pruneHistogramCounts pixels in a histogram and
    // sorts the others, which are rarely needed; tests lower it to reach the sorting.
    explicit TOctree(int32_t pruneHistogramCounts = 4096);
    ~TOctree();
    TOctree(const TOctree&) = delete;
    TOctree& operator=(const TOctree&) = delete;

    // Counts one pixel, then prunes when the tree has grown past 100000 nodes.
    void AddColor(uint32_t Color);
    // Counts every pixel of a 24-bit picture, rows from the top, pixels from the left, with
    // the same result as AddColor for each: the counting of pixels whose path already exists
    // is gathered per path and brought into the tree before the next pruning and at the end.
    void AddBitmap(const Bitmap& bitmap);
    // Merges until LeafCount ≤ MaxColors (1..256), then numbers the leaves.
    void Reduce(int MaxColors);
    // The same reduction by literal trim passes and visitor walks over the whole tree (one
    // pass per threshold step); slower, kept as the definition Reduce must agree with.
    void ReduceStepwise(int MaxColors);
    // Throws ERangeError unless 1 ≤ MaxColors ≤ 256.
    static void checkMaxColors(int MaxColors);
    int GetColorIndex(uint32_t Color) const;
    // LeafCount entries, entry i belonging to the leaf numbered i.
    Palette GetPalette();
    // Palette index for every six-bit path key (see PathKey), as GetColorIndex gives it.
    std::vector<uint8_t> BuildLookup() const;

    static uint32_t PathKey(uint8_t r, uint8_t g, uint8_t b) {
        return spread_[r] << 2 | spread_[g] << 1 | spread_[b];
    }

    TOctreeNode* Root = nullptr;
    int32_t NodeCount = 0;
    int32_t LeafCount = 0;
    struct {
        uint16_t Version = 0x300;
        uint16_t Count = 0;
        std::array<PaletteEntry, 256> Entries{};
    } PaletteRecord;
    int32_t NextIndex = 0;
    int32_t Threshold = 0;
    std::array<int64_t, 4> SmallForkSums{};

private:
    friend class TOctreeNode;
    struct PendingPath {
        uint32_t Count, LowR, LowG, LowB;
    };
    static const std::array<uint32_t, 256> spread_;

    TOctreeNode* newNode(TOctreeNode* parent);
    void destroyNode(TOctreeNode* node);
    void prune();
    void stepThreshold(int MaxColors);
    void flushPending();
    // Walks (and completes) the path of a colour whose path was never walked.
    void walkNewPath(uint32_t key);
    template <class Fn> void forEachNode(Fn&& fn);

    static constexpr int kChunkNodes = 4096;
    std::vector<std::unique_ptr<TOctreeNode[]>> chunks_;
    int usedInLastChunk_ = kChunkNodes;
    TOctreeNode* freeList_ = nullptr;

    // Gathered counts of AddBitmap, by path key.
    std::vector<PendingPath> pending_;
    std::vector<uint32_t> pendingKeys_;
    std::vector<uint8_t> knownPath_;
    // Pixel-count histogram of the non-leaf nodes, reused by every pruning.
    int32_t pruneHistogramCounts_;
    std::vector<int64_t> pruneHistogram_;
    std::vector<std::pair<int32_t, int32_t>> pruneLarge_;
};

// The octree reduction to at most MaxColors colours (see Reduce.h).
Bitmap ReduceByOctree(const Bitmap& bitmap, int MaxColors);
