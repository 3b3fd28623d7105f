// A deliberately plain octree written straight from the algorithm's description: pointer
// children, immediate counting, pruning by repeated trim passes with the threshold rising by
// one. The quantizer's shortcuts (pooled nodes, gathered counting, one-step pruning, lookup
// table) must give the same palette and indices.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Bitmap.h"

namespace octree_reference {

struct Node {
    bool leaf = false;
    Node* parent = nullptr;
    std::unique_ptr<Node> kids[8];
    int64_t count = 0;
    int64_t sumR = 0, sumG = 0, sumB = 0;
    int colorIndex = 0;
    int childCount = 0;
    int leafChildCount = 0;
};

struct Tree {
    std::unique_ptr<Node> root;
    int64_t nodeCount = 0;
    int64_t leafCount = 0;
    int64_t threshold = 0;
    int nextIndex = 0;
    int prunes = 0;
    std::vector<Rgb> palette;

    Tree() { root = make(nullptr); }

    std::unique_ptr<Node> make(Node* parent) {
        auto n = std::make_unique<Node>();
        n->parent = parent;
        ++nodeCount;
        if (parent) ++parent->childCount;
        return n;
    }
    void setLeaf(Node* n) {
        n->leaf = true;
        ++leafCount;
        if (n->parent) ++n->parent->leafChildCount;
    }
    void destroy(std::unique_ptr<Node>& n) {
        --nodeCount;
        if (n->leaf) --leafCount;
        if (n->parent) {
            --n->parent->childCount;
            if (n->leaf) --n->parent->leafChildCount;
        }
        for (auto& k : n->kids)
            if (k) destroy(k);
        n.reset();
    }
    static int childIndex(int depth, int r, int g, int b) {
        const int bit = 7 - depth;
        return ((r >> bit) & 1) * 4 + ((g >> bit) & 1) * 2 + ((b >> bit) & 1);
    }
    void add(int r, int g, int b) {
        Node* n = root.get();
        int depth = 0;
        for (;;) {
            ++n->count;
            n->sumR += r;
            n->sumG += g;
            n->sumB += b;
            if (n->leaf) break;
            const int i = childIndex(depth, r, g, b);
            if (!n->kids[i]) {
                n->kids[i] = make(n);
                if (depth == 5) setLeaf(n->kids[i].get());
            }
            n = n->kids[i].get();
            ++depth;
        }
        if (nodeCount > 100000) {
            ++prunes;
            threshold = 1;
            while (nodeCount > 99000) {
                trim(root.get());
                ++threshold;
            }
        }
    }
    void trim(Node* n) {
        for (auto& k : n->kids)
            if (k) trim(k.get());
        if (!n->leaf && n->count <= threshold && n->childCount == n->leafChildCount) {
            for (auto& k : n->kids)
                if (k) destroy(k);
            setLeaf(n);
        }
    }
    void minFork(Node* n) {
        for (auto& k : n->kids)
            if (k) minFork(k.get());
        if (!n->leaf && n->childCount == n->leafChildCount && n->count < threshold)
            threshold = n->count;
    }
    void smallSums(Node* n, int64_t* sums) {
        for (auto& k : n->kids)
            if (k) smallSums(k.get(), sums);
        if (n->leaf) return;
        const int64_t p = n->count;
        if (p <= threshold) sums[0] += p - 1;
        if (p <= threshold + 2) sums[1] += p - 1;
        if (p <= threshold + 4) sums[2] += p - 1;
        if (p <= threshold + 8) sums[3] += p - 1;
    }
    void leaves(Node* n) {
        for (auto& k : n->kids)
            if (k) leaves(k.get());
        if (!n->leaf) return;
        n->colorIndex = nextIndex++;
        if (n->count > 0)
            palette.push_back(Rgb{static_cast<uint8_t>(n->sumR / n->count),
                                  static_cast<uint8_t>(n->sumG / n->count),
                                  static_cast<uint8_t>(n->sumB / n->count)});
        else
            palette.push_back(Rgb{0, 0, 0});
    }
    void reduce(int maxColors) {
        threshold = 1;
        while (leafCount > maxColors) {
            trim(root.get());
            threshold = 999999999;
            minFork(root.get());
            int64_t sums[4] = {0, 0, 0, 0};
            smallSums(root.get(), sums);
            const int64_t need = nodeCount - maxColors;
            if (sums[3] < need)
                threshold += 8;
            else if (sums[2] < need)
                threshold += 4;
            else if (sums[1] < need)
                threshold += 2;
        }
        nextIndex = 0;
        palette.clear();
        leaves(root.get());
    }
    int index(int r, int g, int b) const {
        const Node* n = root.get();
        for (int depth = 0; !n->leaf; ++depth)
            n = n->kids[childIndex(depth, r, g, b)].get();
        return n->colorIndex;
    }
};

// The whole reduction, for comparison with ReduceByOctree.
inline Bitmap reduce(const Bitmap& source, int maxColors) {
    Tree tree;
    for (int y = 0; y < source.height(); ++y) {
        const uint8_t* p = source.scanLine(y);
        for (int x = 0; x < source.width(); ++x, p += 3)
            tree.add(p[2], p[1], p[0]);
    }
    tree.reduce(maxColors);
    Bitmap result(source.width(), source.height(), pf8bit);
    result.setPalette(Palette(tree.palette));
    for (int y = 0; y < source.height(); ++y) {
        const uint8_t* p = source.scanLine(y);
        for (int x = 0; x < source.width(); ++x, p += 3)
            result.scanLine(y)[x] = static_cast<uint8_t>(tree.index(p[2], p[1], p[0]));
    }
    return result;
}

} // namespace octree_reference
