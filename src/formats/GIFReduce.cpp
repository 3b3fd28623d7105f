// Reduction of true-colour bitmaps to GIF frames: target palettes, colour searches and the
// error-diffusion ditherers, all driven one row at a time in serpentine order.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "formats/GIFImage.h"
#include "formats/GIFReduce.h"

const Palette& webSafePalette() {
    static const Palette p = [] {
        std::vector<Rgb> e;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    e.push_back({static_cast<uint8_t>(51 * r), static_cast<uint8_t>(51 * g),
                                 static_cast<uint8_t>(51 * b)});
        return Palette(std::move(e));
    }();
    return p;
}

namespace {

inline int greyOf(int r, int g, int b) {
    return (b * 29 + g * 150 + r * 77) >> 8;
}

// ----- octree quantizer (reduction methods 7 and 8) -----

class OctreeQuantizer {
public:
    explicit OctreeQuantizer(int maxColors) : maxColors_(std::clamp(maxColors, 2, 256)) {
        nodes_.reserve(4096);
        nodes_.push_back(Node{});
    }
    void add(uint8_t r, uint8_t g, uint8_t b) {
        int node = 0;
        for (int level = 0; level < 8; ++level) {
            if (nodes_[static_cast<size_t>(node)].leaf) break;
            int i = childIndex(r, g, b, level);
            int child = nodes_[static_cast<size_t>(node)].child[i];
            if (child == 0) {
                child = static_cast<int>(nodes_.size());
                nodes_.push_back(Node{});
                nodes_[static_cast<size_t>(child)].level = level + 1;
                if (level + 1 == 8) {
                    nodes_[static_cast<size_t>(child)].leaf = true;
                    ++leaves_;
                }
                nodes_[static_cast<size_t>(node)].child[i] = child;
            }
            node = child;
        }
        Node& n = nodes_[static_cast<size_t>(node)];
        if (!n.leaf) {
            n.leaf = true;
            ++leaves_;
        }
        n.r += r;
        n.g += g;
        n.b += b;
        ++n.count;
        while (leaves_ > maxColors_)
            reduce();
    }
    std::vector<Rgb> colors() const {
        std::vector<Rgb> out;
        for (const Node& n : nodes_)
            if (n.leaf && n.count > 0)
                out.push_back({static_cast<uint8_t>(n.r / n.count),
                               static_cast<uint8_t>(n.g / n.count),
                               static_cast<uint8_t>(n.b / n.count)});
        return out;
    }

private:
    struct Node {
        uint64_t r = 0, g = 0, b = 0, count = 0;
        int child[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        int level = 0;
        bool leaf = false;
    };
    static int childIndex(int r, int g, int b, int level) {
        int shift = 7 - level;
        return (((r >> shift) & 1) << 2) | (((g >> shift) & 1) << 1) | ((b >> shift) & 1);
    }
    // Merges the children of the deepest node that has leaf children.
    void reduce() {
        int best = -1, bestLevel = -1;
        for (size_t i = 0; i < nodes_.size(); ++i) {
            const Node& n = nodes_[i];
            if (n.leaf) continue;
            bool hasLeafChild = false;
            for (int c : n.child)
                if (c && nodes_[static_cast<size_t>(c)].leaf) hasLeafChild = true;
            if (hasLeafChild && n.level > bestLevel) {
                best = static_cast<int>(i);
                bestLevel = n.level;
            }
        }
        if (best < 0) return;
        Node& n = nodes_[static_cast<size_t>(best)];
        for (int& c : n.child) {
            if (!c) continue;
            Node& k = nodes_[static_cast<size_t>(c)];
            if (k.leaf) {
                n.r += k.r;
                n.g += k.g;
                n.b += k.b;
                n.count += k.count;
                k.count = 0;
                k.leaf = false;
                --leaves_;
                c = 0;
            }
        }
        n.leaf = true;
        ++leaves_;
    }
    std::vector<Node> nodes_;
    int maxColors_;
    int leaves_ = 0;
};

} // namespace

// ----- colour searches -----

ColorSearch::ColorSearch(int method, const Palette& palette) : method_(method), palette_(palette) {}

int ColorSearch::find(int r, int g, int b) {
    switch (method_) {
    case 4:
        return greyOf(r, g, b) >= 128 ? 1 : 0;
    case 5:
        return greyOf(r, g, b);
    case 6:
        return ((r + 3) / 51) * 36 + ((g + 3) / 51) * 6 + (b + 3) / 51;
    case 7: {
        // Inverse table of 32 × 32 × 32 cells, filled on first use by the entry with the
        // smallest sum of absolute differences (the first on ties).
        if (inverse_.empty()) inverse_.assign(32 * 32 * 32, -1);
        int cell = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
        int& slot = inverse_[static_cast<size_t>(cell)];
        if (slot < 0) {
            int best = 0, bestDist = 1 << 30;
            for (int i = 0; i < palette_.size(); ++i) {
                const Rgb& c = palette_[i];
                int d = std::abs(c.r - r) + std::abs(c.g - g) + std::abs(c.b - b);
                if (d < bestDist) {
                    bestDist = d;
                    best = i;
                }
            }
            slot = best;
        }
        return slot;
    }
    default: {
        // Exact nearest entry, remembered per colour in a small direct-mapped cache.
        if (cache_.empty()) cache_.assign(4096, {0xFFFFFFFFu, 0});
        uint32_t key = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(g) << 8) |
                       static_cast<uint32_t>(b);
        auto& e = cache_[(key * 2654435761u) >> 20];
        if (e.first != key)
            e = {key, palette_.nearest(static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                                       static_cast<uint8_t>(b))};
        return e.second;
    }
    }
}

// ----- ditherers -----

TDitherEngine::TDitherEngine(int width, ColorSearch& search, const Palette& palette)
    : width_(width), search_(search), palette_(palette) {}

void TDitherEngine::nextLine() {
    direction_ = -direction_;
    ++row_;
}

int TDitherEngine::dither(int r, int g, int b) {
    return search_.find(r, g, b);
}

TErrorDiffusionDitherer::TErrorDiffusionDitherer(int width, ColorSearch& search,
                                                 const Palette& palette, const Kernel& kernel)
    : TDitherEngine(width, search, palette), kernel_(kernel) {
    stride_ = width + 2 * kPad;
    for (auto& row : errors_)
        row.assign(static_cast<size_t>(stride_) * 3, 0);
}

const TErrorDiffusionDitherer::Kernel& TErrorDiffusionDitherer::floydSteinberg() {
    static const Kernel k{16, {{1, 0, 7}, {-1, 1, 3}, {0, 1, 5}, {1, 1, 1}}};
    return k;
}

int TErrorDiffusionDitherer::dither(int r, int g, int b) {
    int x = direction_ > 0 ? column_ : width_ - 1 - column_;
    ++column_;
    int* cur = errors_[0].data() + static_cast<size_t>(x + kPad) * 3;
    int value[3] = {r, g, b};
    const int half = kernel_.divisor / 2;
    for (int c = 0; c < 3; ++c) {
        int v = value[c] + (cur[c] + half) / kernel_.divisor;
        value[c] = std::clamp(v, 0, 255);
    }
    int index = search_.find(value[0], value[1], value[2]);
    Rgb chosen = index < palette_.size() ? palette_[index] : Rgb{};
    int err[3] = {value[0] - chosen.r, value[1] - chosen.g, value[2] - chosen.b};
    for (const auto& t : kernel_.taps) {
        int tx = x + t.dx * direction_;
        if (tx < -kPad || tx >= width_ + kPad) continue;
        int* dst = errors_[static_cast<size_t>(t.dy)].data() + static_cast<size_t>(tx + kPad) * 3;
        for (int c = 0; c < 3; ++c)
            dst[c] += err[c] * t.weight;
    }
    return index;
}

void TErrorDiffusionDitherer::nextLine() {
    // The row below becomes the current one; the freed row goes to the bottom, cleared.
    std::rotate(errors_.begin(), errors_.begin() + 1, errors_.end());
    std::fill(errors_.back().begin(), errors_.back().end(), 0);
    column_ = 0;
    TDitherEngine::nextLine();
}

std::unique_ptr<TDitherEngine> makeDitherer(int kind, int width, ColorSearch& search,
                                            const Palette& palette) {
    using K = TErrorDiffusionDitherer::Kernel;
    static const K stucki{42,
                          {{1, 0, 8},
                           {2, 0, 4},
                           {-2, 1, 2},
                           {-1, 1, 4},
                           {0, 1, 8},
                           {1, 1, 4},
                           {2, 1, 2},
                           {-2, 2, 1},
                           {-1, 2, 2},
                           {0, 2, 4},
                           {1, 2, 2},
                           {2, 2, 1}}};
    static const K sierra{32,
                          {{1, 0, 5},
                           {2, 0, 3},
                           {-2, 1, 2},
                           {-1, 1, 4},
                           {0, 1, 5},
                           {1, 1, 4},
                           {2, 1, 2},
                           {-1, 2, 2},
                           {0, 2, 3},
                           {1, 2, 2}}};
    static const K jajuni{48,
                          {{1, 0, 7},
                           {2, 0, 5},
                           {-2, 1, 3},
                           {-1, 1, 5},
                           {0, 1, 7},
                           {1, 1, 5},
                           {2, 1, 3},
                           {-2, 2, 1},
                           {-1, 2, 3},
                           {0, 2, 5},
                           {1, 2, 3},
                           {2, 2, 1}}};
    static const K steveArche{200,
                              {{2, 0, 32},
                               {-3, 1, 12},
                               {-1, 1, 26},
                               {1, 1, 30},
                               {3, 1, 16},
                               {-2, 2, 12},
                               {0, 2, 26},
                               {2, 2, 12},
                               {-3, 3, 5},
                               {-1, 3, 12},
                               {1, 3, 12},
                               {3, 3, 5}}};
    static const K burkes{
        32, {{1, 0, 8}, {2, 0, 4}, {-2, 1, 2}, {-1, 1, 4}, {0, 1, 8}, {1, 1, 4}, {2, 1, 2}}};
    switch (kind) {
    case 0:
        return std::make_unique<TDitherEngine>(width, search, palette);
    case 1:
        return std::make_unique<TFloydSteinbergDitherer>(width, search, palette);
    case 2:
        return std::make_unique<TErrorDiffusionDitherer>(width, search, palette, stucki);
    case 3:
        return std::make_unique<TErrorDiffusionDitherer>(width, search, palette, sierra);
    case 4:
        return std::make_unique<TErrorDiffusionDitherer>(width, search, palette, jajuni);
    case 5:
        return std::make_unique<TErrorDiffusionDitherer>(width, search, palette, steveArche);
    case 6:
        return std::make_unique<TErrorDiffusionDitherer>(width, search, palette, burkes);
    default:
        return nullptr;
    }
}

// ----- reduction -----

Palette reductionPalette(const Bitmap& source, int method, int quantizeBits,
                         const Palette& customPalette) {
    switch (method) {
    case 1:
        return Palette::defaultPalette();
    case 2:
        return Palette::halftone();
    case 3:
        return Palette({{0, 0, 0}, {128, 128, 128}, {192, 192, 192}, {255, 255, 255}});
    case 4:
        return Palette::monochrome();
    case 5: {
        std::vector<Rgb> e(256);
        for (int i = 0; i < 256; ++i)
            e[static_cast<size_t>(i)] = {uint8_t(i), uint8_t(i), uint8_t(i)};
        return Palette(std::move(e));
    }
    case 6:
        return webSafePalette();
    case 7:
    case 8: {
        int colors = method == 7 ? (1 << std::clamp(quantizeBits, 1, 8)) : 256;
        // Method 8 keeps room for the 20 system colours, which are always included.
        OctreeQuantizer octree(method == 8 ? colors - 20 : colors);
        Bitmap rows(source);
        rows.setPixelFormat(pf24bit);
        for (int y = 0; y < rows.height(); ++y) {
            const uint8_t* p = rows.scanLine(y);
            for (int x = 0; x < rows.width(); ++x)
                octree.add(p[3 * x + 2], p[3 * x + 1], p[3 * x]);
        }
        auto colorsFound = octree.colors();
        if (method == 8) {
            const auto& sys = Palette::defaultPalette().entries();
            colorsFound.insert(colorsFound.begin(), sys.begin(), sys.end());
        }
        if (colorsFound.empty()) colorsFound.push_back({0, 0, 0});
        return Palette(std::move(colorsFound));
    }
    case 9:
        return customPalette;
    default:
        return Palette();
    }
}

Bitmap ReduceColors(const Bitmap& source, int reductionMethod, int ditherKind, int quantizeBits,
                    const Palette& customPalette, const std::function<void(int)>& rowsDone) {
    if (reductionMethod < 1 || reductionMethod > 9 || ditherKind < 0 || ditherKind > 6 ||
        source.empty())
        return Bitmap();
    Palette palette = reductionPalette(source, reductionMethod, quantizeBits, customPalette);
    if (palette.empty()) return Bitmap();
    ColorSearch search(reductionMethod, palette);
    auto ditherer = makeDitherer(ditherKind, source.width(), search, palette);
    if (!ditherer) return Bitmap();

    const int w = source.width(), h = source.height();
    Bitmap result(w, h, pf8bit);
    result.setPalette(palette);
    std::optional<Bitmap> converted;
    const Bitmap* rows = &source;
    if (source.pixelFormat() != pf24bit) {
        converted.emplace(source);
        converted->setPixelFormat(pf24bit);
        rows = &*converted;
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = rows->scanLine(y);
        uint8_t* dst = result.scanLine(y);
        if (ditherKind == 0 && reductionMethod == 6) {
            // The common case: web-safe levels by arithmetic, no diffusion.
            static const auto level = [] {
                std::array<uint8_t, 256> t{};
                for (int c = 0; c < 256; ++c)
                    t[static_cast<size_t>(c)] = static_cast<uint8_t>((c + 3) / 51);
                return t;
            }();
            for (int x = 0; x < w; ++x)
                dst[x] = static_cast<uint8_t>(level[src[3 * x + 2]] * 36 +
                                              level[src[3 * x + 1]] * 6 + level[src[3 * x]]);
        } else {
            bool forward = ditherer->direction() > 0;
            for (int i = 0; i < w; ++i) {
                int x = forward ? i : w - 1 - i;
                dst[x] = static_cast<uint8_t>(
                    ditherer->dither(src[3 * x + 2], src[3 * x + 1], src[3 * x]));
            }
        }
        ditherer->nextLine();
        if (rowsDone && (y + 1) % 32 == 0) rowsDone((y + 1) * 100 / h);
    }
    return result;
}
