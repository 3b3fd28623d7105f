#include "reduce/Octree.h"

#include <algorithm>
#include <cstring>

#include "platform/Exceptions.h"
#include "reduce/Reduce.h"

namespace {

constexpr int kLeafDepth = 6;

int childOfKey(uint32_t key, int depth) {
    return static_cast<int>((key >> (3 * (5 - depth))) & 7);
}

// The first leaf below a node: lowest-numbered child at every level.
const TOctreeNode* firstLeaf(const TOctreeNode* node) {
    while (!node->IsLeaf) {
        const TOctreeNode* next = nullptr;
        for (const TOctreeNode* child : node->Children)
            if (child) {
                next = child;
                break;
            }
        if (!next) return nullptr;
        node = next;
    }
    return node;
}

int firstLeafIndex(const TOctreeNode* node) {
    const TOctreeNode* leaf = firstLeaf(node);
    return leaf ? leaf->ColorIndex : 0;
}

void fillLookup(const TOctreeNode* node, int depth, uint32_t base, std::vector<uint8_t>& lookup) {
    const uint32_t span = uint32_t{1} << (3 * (kLeafDepth - depth));
    if (node->IsLeaf) {
        std::memset(lookup.data() + base, static_cast<uint8_t>(node->ColorIndex), span);
        return;
    }
    const uint32_t sub = span / 8;
    for (int c = 0; c < 8; ++c) {
        if (const TOctreeNode* child = node->Children[c])
            fillLookup(child, depth + 1, base + static_cast<uint32_t>(c) * sub, lookup);
        else
            std::memset(lookup.data() + base + static_cast<uint32_t>(c) * sub,
                        static_cast<uint8_t>(firstLeafIndex(node)), sub);
    }
}

} // namespace

const std::array<uint32_t, 256> TOctree::spread_ = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t v = 0; v < 256; ++v) {
        uint32_t s = 0;
        for (int d = 0; d < kLeafDepth; ++d)
            s |= ((v >> (7 - d)) & 1) << (3 * (5 - d));
        table[v] = s;
    }
    return table;
}();

// ---- nodes ----

void TOctreeNode::AddColor(int Depth, uint32_t Color) {
    const int64_t r = (Color >> 16) & 0xFF, g = (Color >> 8) & 0xFF, b = Color & 0xFF;
    TOctreeNode* node = this;
    for (;;) {
        node->PixelCount += 1;
        node->SumR += r;
        node->SumG += g;
        node->SumB += b;
        if (node->IsLeaf) return;
        const int index = ChildIndex(Depth, Color);
        TOctreeNode* child = node->Children[index];
        if (!child) {
            child = node->Owner->newNode(node);
            node->Children[index] = child;
            if (Depth + 1 == kLeafDepth) child->SetLeaf();
        }
        node = child;
        ++Depth;
    }
}

int TOctreeNode::GetColorIndex(int Depth, uint32_t Color) const {
    const TOctreeNode* node = this;
    while (!node->IsLeaf) {
        const TOctreeNode* child = node->Children[ChildIndex(Depth, Color)];
        if (!child) return firstLeafIndex(node);
        node = child;
        ++Depth;
    }
    return node->ColorIndex;
}

bool TOctreeNode::Traverse(TOctreeNodeVisitor& Visitor, int Depth) {
    for (TOctreeNode* child : Children)
        if (child && !child->Traverse(Visitor, Depth + 1)) return false;
    bool Continue = true;
    Visitor.Visit(*this, Depth, Continue);
    return Continue;
}

void TOctreeNode::SetLeaf() {
    IsLeaf = true;
    Owner->LeafCount += 1;
    if (Parent) Parent->LeafChildCount += 1;
}

void TOctreeNode::DestroyChildren() {
    for (TOctreeNode*& child : Children)
        if (child) {
            Owner->destroyNode(child);
            child = nullptr;
        }
}

// ---- visitors ----

void TColorIndexVisitor::Visit(TOctreeNode& Node, int, bool&) {
    if (!Node.IsLeaf) return;
    Node.ColorIndex = Node.Owner->NextIndex;
    Node.Owner->NextIndex += 1;
}

void TTrimNodeVisitor::Visit(TOctreeNode& Node, int, bool&) {
    if (Node.IsLeaf || Node.PixelCount > Node.Owner->Threshold ||
        Node.ChildCount != Node.LeafChildCount)
        return;
    Node.DestroyChildren();
    Node.SetLeaf();
}

void TGetMinForkPixels::Visit(TOctreeNode& Node, int, bool&) {
    if (Node.IsLeaf || Node.ChildCount != Node.LeafChildCount) return;
    if (Node.PixelCount < Node.Owner->Threshold) Node.Owner->Threshold = Node.PixelCount;
}

void TCountSmallForkNodes::Visit(TOctreeNode& Node, int, bool&) {
    if (Node.IsLeaf) return;
    TOctree& tree = *Node.Owner;
    const int64_t p = Node.PixelCount;
    const int64_t t = tree.Threshold;
    if (p <= t) tree.SmallForkSums[0] += p - 1;
    if (p <= t + 2) tree.SmallForkSums[1] += p - 1;
    if (p <= t + 4) tree.SmallForkSums[2] += p - 1;
    if (p <= t + 8) tree.SmallForkSums[3] += p - 1;
}

void TGetColorEntry::Visit(TOctreeNode& Node, int, bool&) {
    if (!Node.IsLeaf) return;
    TOctree& tree = *Node.Owner;
    TOctree::PaletteEntry entry{0, 0, 0, 0};
    if (Node.PixelCount > 0) {
        entry.Red = static_cast<uint8_t>(Node.SumR / Node.PixelCount);
        entry.Green = static_cast<uint8_t>(Node.SumG / Node.PixelCount);
        entry.Blue = static_cast<uint8_t>(Node.SumB / Node.PixelCount);
    }
    tree.PaletteRecord.Entries[static_cast<size_t>(tree.NextIndex)] = entry;
    tree.NextIndex += 1;
}

// ---- tree ----

TOctree::TOctree(int32_t pruneHistogramCounts)
    : pruneHistogramCounts_(std::max(pruneHistogramCounts, 1)) {
    Root = newNode(nullptr);
}

TOctree::~TOctree() = default; // the pool releases every node

TOctreeNode* TOctree::newNode(TOctreeNode* parent) {
    TOctreeNode* node = freeList_;
    if (node) {
        freeList_ = node->nextFree_;
    } else {
        if (usedInLastChunk_ == kChunkNodes) {
            chunks_.push_back(std::make_unique<TOctreeNode[]>(kChunkNodes));
            usedInLastChunk_ = 0;
        }
        node = &chunks_.back()[static_cast<size_t>(usedInLastChunk_++)];
    }
    *node = TOctreeNode{};
    node->Owner = this;
    node->Parent = parent;
    node->alive_ = true;
    NodeCount += 1;
    if (parent) parent->ChildCount += 1;
    return node;
}

void TOctree::destroyNode(TOctreeNode* node) {
    NodeCount -= 1;
    if (node->IsLeaf) LeafCount -= 1;
    if (TOctreeNode* parent = node->Parent) {
        parent->ChildCount -= 1;
        if (node->IsLeaf) parent->LeafChildCount -= 1;
    }
    for (TOctreeNode* child : node->Children)
        if (child) destroyNode(child);
    node->alive_ = false;
    node->nextFree_ = freeList_;
    freeList_ = node;
}

template <class Fn> void TOctree::forEachNode(Fn&& fn) {
    for (size_t c = 0; c < chunks_.size(); ++c) {
        const int used = c + 1 == chunks_.size() ? usedInLastChunk_ : kChunkNodes;
        TOctreeNode* nodes = chunks_[c].get();
        for (int i = 0; i < used; ++i)
            if (nodes[i].alive_) fn(nodes[i]);
    }
}

void TOctree::prune() {
    // Trim passes with the threshold 1, 2, 3, ... until at most 99000 nodes remain. After the
    // passes up to t, exactly the non-leaf nodes of at most t pixels have been merged (a
    // parent never has fewer pixels than its child, and children are trimmed first), which
    // removes the children of each such node. So the last threshold is the smallest t whose
    // removals reach the excess, and one pass with it leaves the same tree.
    const int64_t need = int64_t{NodeCount} - kPruneTo;
    pruneHistogram_.assign(static_cast<size_t>(pruneHistogramCounts_), 0);
    pruneLarge_.clear();
    forEachNode([this](TOctreeNode& node) {
        if (node.IsLeaf) return;
        if (node.PixelCount < pruneHistogramCounts_)
            pruneHistogram_[static_cast<size_t>(std::max(node.PixelCount, 0))] += node.ChildCount;
        else
            pruneLarge_.emplace_back(node.PixelCount, node.ChildCount);
    });
    int64_t removed = 0;
    int32_t last = -1;
    for (int32_t t = 0; t < pruneHistogramCounts_ && last < 0; ++t) {
        removed += pruneHistogram_[static_cast<size_t>(t)];
        if (removed >= need) last = std::max(t, 1);
    }
    if (last < 0) {
        std::sort(pruneLarge_.begin(), pruneLarge_.end());
        for (const auto& [pixels, children] : pruneLarge_) {
            removed += children;
            if (removed >= need) {
                last = pixels;
                break;
            }
        }
    }
    if (last < 0) last = Root->PixelCount; // unreachable: merging the root leaves one node
    // Merge the topmost nodes within the threshold; their subtrees go with them.
    forEachNode([last](TOctreeNode& node) {
        if (node.IsLeaf || node.PixelCount > last) return;
        if (node.Parent && node.Parent->PixelCount <= last) return;
        node.DestroyChildren();
        node.SetLeaf();
    });
    Threshold = last + 1;
}

void TOctree::AddColor(uint32_t Color) {
    flushPending();
    Root->AddColor(0, Color);
    if (NodeCount > kPruneAbove) prune();
}

void TOctree::walkNewPath(uint32_t key) {
    TOctreeNode* node = Root;
    int depth = 0;
    while (!node->IsLeaf) {
        const int index = childOfKey(key, depth);
        TOctreeNode* child = node->Children[index];
        if (!child) {
            child = newNode(node);
            node->Children[index] = child;
            if (depth + 1 == kLeafDepth) child->SetLeaf();
        }
        node = child;
        ++depth;
    }
    // Merging only ever turns a node into a leaf, so this path ends in a leaf from now on.
    knownPath_[key] = 1;
}

void TOctree::flushPending() {
    for (uint32_t key : pendingKeys_) {
        PendingPath& p = pending_[key];
        uint32_t r = 0, g = 0, b = 0;
        for (int d = 0; d < kLeafDepth; ++d) {
            const int index = childOfKey(key, d);
            r |= static_cast<uint32_t>((index >> 2) & 1) << (7 - d);
            g |= static_cast<uint32_t>((index >> 1) & 1) << (7 - d);
            b |= static_cast<uint32_t>(index & 1) << (7 - d);
        }
        const int64_t count = p.Count;
        const int64_t sumR = count * r + p.LowR, sumG = count * g + p.LowG,
                      sumB = count * b + p.LowB;
        TOctreeNode* node = Root;
        for (int depth = 0;; ++depth) {
            node->PixelCount += static_cast<int32_t>(count);
            node->SumR += sumR;
            node->SumG += sumG;
            node->SumB += sumB;
            if (node->IsLeaf) break;
            node = node->Children[childOfKey(key, depth)];
        }
        p = PendingPath{0, 0, 0, 0};
    }
    pendingKeys_.clear();
}

void TOctree::AddBitmap(const Bitmap& bitmap) {
    if (bitmap.pixelFormat() != pf24bit)
        throw EInvalidGraphic("ReduceByOctree accepts only 24Bit DIB");
    if (pending_.empty()) {
        pending_.assign(kPathCount, PendingPath{0, 0, 0, 0});
        knownPath_.assign(kPathCount, 0);
        pendingKeys_.reserve(kPathCount);
    }
    const int width = bitmap.width();
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* p = bitmap.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            const uint8_t b = p[0], g = p[1], r = p[2];
            const uint32_t key = PathKey(r, g, b);
            const bool known = knownPath_[key] != 0;
            if (!known) walkNewPath(key);
            PendingPath& path = pending_[key];
            if (path.Count++ == 0) pendingKeys_.push_back(key);
            path.LowR += r & 3u;
            path.LowG += g & 3u;
            path.LowB += b & 3u;
            if (!known && NodeCount > kPruneAbove) {
                flushPending();
                prune();
            }
        }
    }
    flushPending();
}

void TOctree::Reduce(int MaxColors) {
    checkMaxColors(MaxColors);
    flushPending();
    Threshold = 1;
    if (LeafCount > MaxColors) {
        // Pixel counts do not change while merging, so the non-leaf nodes are sorted by count
        // once. A trim pass with threshold t merges exactly the non-leaf nodes of at most t
        // pixels (children are trimmed before their parent, and no child has more pixels than
        // its parent); the smallest fork then has the smallest count of all non-leaf nodes
        // left, and the small-fork sums take the nodes in a short window of the sorted list.
        std::vector<TOctreeNode*> nodes;
        nodes.reserve(static_cast<size_t>(NodeCount - LeafCount));
        forEachNode([&nodes](TOctreeNode& node) {
            if (!node.IsLeaf) nodes.push_back(&node);
        });
        std::sort(nodes.begin(), nodes.end(), [](const TOctreeNode* a, const TOctreeNode* b) {
            return a->PixelCount < b->PixelCount;
        });
        size_t next = 0;
        while (LeafCount > MaxColors) {
            for (; next < nodes.size() && nodes[next]->PixelCount <= Threshold; ++next) {
                TOctreeNode* node = nodes[next];
                if (!node->alive_ || node->IsLeaf) continue;
                node->DestroyChildren();
                node->SetLeaf();
            }
            Threshold = 999999999;
            SmallForkSums = {0, 0, 0, 0};
            size_t first = next;
            while (first < nodes.size() && (!nodes[first]->alive_ || nodes[first]->IsLeaf))
                ++first;
            if (first < nodes.size()) Threshold = nodes[first]->PixelCount;
            for (size_t i = first; i < nodes.size(); ++i) {
                const TOctreeNode* node = nodes[i];
                const int64_t p = node->PixelCount;
                if (p > int64_t{Threshold} + 8) break;
                if (!node->alive_ || node->IsLeaf) continue;
                if (p <= Threshold) SmallForkSums[0] += p - 1;
                if (p <= Threshold + 2) SmallForkSums[1] += p - 1;
                if (p <= Threshold + 4) SmallForkSums[2] += p - 1;
                SmallForkSums[3] += p - 1;
            }
            stepThreshold(MaxColors);
        }
    }
    NextIndex = 0;
    TColorIndexVisitor numbering;
    Root->Traverse(numbering, 0);
}

void TOctree::ReduceStepwise(int MaxColors) {
    checkMaxColors(MaxColors);
    flushPending();
    Threshold = 1;
    TTrimNodeVisitor trimmer;
    TGetMinForkPixels minFork;
    TCountSmallForkNodes smallForks;
    while (LeafCount > MaxColors) {
        Root->Traverse(trimmer, 0);
        Threshold = 999999999;
        Root->Traverse(minFork, 0);
        SmallForkSums = {0, 0, 0, 0};
        Root->Traverse(smallForks, 0);
        stepThreshold(MaxColors);
    }
    NextIndex = 0;
    TColorIndexVisitor numbering;
    Root->Traverse(numbering, 0);
}

void TOctree::stepThreshold(int MaxColors) {
    // The larger steps are taken while even the wider windows hold too few pixels to merge
    // away the excess of nodes; the first sum takes no part.
    const int64_t need = int64_t{NodeCount} - MaxColors;
    if (SmallForkSums[3] < need)
        Threshold += 8;
    else if (SmallForkSums[2] < need)
        Threshold += 4;
    else if (SmallForkSums[1] < need)
        Threshold += 2;
}

void TOctree::checkMaxColors(int MaxColors) {
    // Below one colour the loop would never end; above 256 the palette record overflows.
    if (MaxColors < 1 || MaxColors > 256) throw ERangeError("MaxColors must lie between 1 and 256");
}

int TOctree::GetColorIndex(uint32_t Color) const {
    return Root->GetColorIndex(0, Color);
}

Palette TOctree::GetPalette() {
    if (LeafCount > 256) throw ERangeError("The octree has more than 256 leaves");
    flushPending();
    NextIndex = 0;
    PaletteRecord.Version = 0x300;
    PaletteRecord.Count = static_cast<uint16_t>(LeafCount);
    TGetColorEntry entries;
    Root->Traverse(entries, 0);
    std::vector<Rgb> colors;
    colors.reserve(PaletteRecord.Count);
    for (int i = 0; i < PaletteRecord.Count; ++i) {
        const PaletteEntry& e = PaletteRecord.Entries[static_cast<size_t>(i)];
        colors.push_back(Rgb{e.Red, e.Green, e.Blue});
    }
    return Palette(std::move(colors));
}

std::vector<uint8_t> TOctree::BuildLookup() const {
    std::vector<uint8_t> lookup(kPathCount, 0);
    fillLookup(Root, 0, 0, lookup);
    return lookup;
}

Bitmap ReduceByOctree(const Bitmap& bitmap, int MaxColors) {
    if (bitmap.pixelFormat() != pf24bit)
        throw EInvalidGraphic("ReduceByOctree accepts only 24Bit DIB");
    TOctree::checkMaxColors(MaxColors);
    TOctree tree;
    tree.AddBitmap(bitmap);
    tree.Reduce(MaxColors);
    Bitmap result(bitmap.width(), bitmap.height(), pf8bit);
    result.setPalette(tree.GetPalette());
    const std::vector<uint8_t> lookup = tree.BuildLookup();
    const int width = bitmap.width();
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* p = bitmap.scanLine(y);
        uint8_t* out = result.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3)
            out[x] = lookup[TOctree::PathKey(p[2], p[1], p[0])];
    }
    return result;
}
