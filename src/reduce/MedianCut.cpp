#include "reduce/MedianCut.h"

#include <algorithm>
#include <utility>

#include "platform/Exceptions.h"
#include "reduce/Reduce.h"

namespace {

void requireWorkingFormat(const Bitmap& bitmap, const char* who) {
    if (bitmap.pixelFormat() != pf24bit)
        throw EInvalidGraphic(std::string(who) + " accepts only 24Bit DIB");
}

using Channel = int32_t TMedianCut::Cell::*;

} // namespace

TMedianCut::TMedianCut() : Cells(kCellCount), Lookup(kCellCount, 0) {
    for (int i = 0; i < kCellCount; ++i)
        Cells[static_cast<size_t>(i)] = Cell{0, i, 0, 0, 0, 0};
}

void TMedianCut::AddBitmap(const Bitmap& bitmap) {
    requireWorkingFormat(bitmap, "TMedianCut");
    const int width = bitmap.width();
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* p = bitmap.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            Cell& cell =
                Cells[static_cast<size_t>((p[2] >> 2) << 11 | (p[1] >> 2) << 5 | (p[0] >> 3))];
            cell.Count += 1;
            cell.R += p[2] & 3;
            cell.G += p[1] & 3;
            cell.B += p[0] & 7;
        }
    }
}

void TMedianCut::Finalise() {
    for (Cell& cell : Cells) {
        const int r = cell.CellId >> 11;
        const int g = (cell.CellId >> 5) & 63;
        const int b = cell.CellId & 31;
        if (cell.Count > 0) {
            cell.R = cell.R / cell.Count + 4 * r;
            cell.G = cell.G / cell.Count + 4 * g;
            cell.B = cell.B / cell.Count + 8 * b;
        } else {
            cell.R = 4 * r + 2;
            cell.G = 4 * g + 2;
            cell.B = 8 * b + 4;
        }
    }
}

void TMedianCut::ReduceByRange(int MaxDepth, bool Compact) {
    Cut(Rule::Range, MaxDepth, Compact);
}

void TMedianCut::ReduceByVariance(int MaxDepth, bool Compact) {
    Cut(Rule::Variance, MaxDepth, Compact);
}

void TMedianCut::Cut(Rule rule, int MaxDepth, bool Compact) {
    if (MaxDepth < 0) throw ERangeError("MaxDepth must not be negative");
    if (cut_) throw ERangeError("TMedianCut can be cut only once");
    cut_ = true;
    Finalise();
    ColorCount = 0;
    int n = kCellCount;
    if (Compact) {
        // Cells that hold pixels move to the front in their order.
        int w = 0;
        for (int i = 0; i < kCellCount; ++i)
            if (Cells[static_cast<size_t>(i)].Count > 0) {
                if (w != i) std::swap(Cells[static_cast<size_t>(w)], Cells[static_cast<size_t>(i)]);
                ++w;
            }
        n = w;
    }
    if (rule == Rule::Range)
        Split<Rule::Range>(0, n, 0, MaxDepth);
    else
        Split<Rule::Variance>(0, n, 0, MaxDepth);
    std::fill(Lookup.begin(), Lookup.end(), uint8_t{0});
    for (int i = 0; i < n; ++i) {
        const Cell& cell = Cells[static_cast<size_t>(i)];
        Lookup[static_cast<size_t>(cell.CellId)] = static_cast<uint8_t>(cell.Index & 0xFF);
    }
}

void TMedianCut::MakeEntry(int Start, int End, int meanR, int meanG, int meanB) {
    // The colour table and the 8-bit result hold 256 colours; a deeper cut cannot be kept.
    if (ColorCount >= kMaxColors) throw ERangeError("The median cut made more than 256 colours");
    Colors[static_cast<size_t>(ColorCount)] = {
        static_cast<uint8_t>(meanB), static_cast<uint8_t>(meanG), static_cast<uint8_t>(meanR), 0};
    for (int i = Start; i < End; ++i)
        Cells[static_cast<size_t>(i)].Index = ColorCount;
    ColorCount += 1;
}

template <TMedianCut::Rule rule>
void TMedianCut::Split(int Start, int End, int Depth, int MaxDepth) {
    if (Start == End) return;

    int64_t total = 0;
    int minV[3] = {255, 255, 255}, maxV[3] = {0, 0, 0};
    int64_t weighted[3] = {0, 0, 0}, plain[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
    for (int i = Start; i < End; ++i) {
        const Cell& cell = Cells[static_cast<size_t>(i)];
        const int v[3] = {cell.R, cell.G, cell.B};
        total += cell.Count;
        for (int ch = 0; ch < 3; ++ch) {
            minV[ch] = std::min(minV[ch], v[ch]);
            maxV[ch] = std::max(maxV[ch], v[ch]);
            weighted[ch] += static_cast<int64_t>(cell.Count) * v[ch];
            plain[ch] += v[ch];
            if constexpr (rule == Rule::Variance)
                squares[ch] += static_cast<int64_t>(cell.Count) * v[ch] * v[ch];
        }
    }
    int mean[3];
    for (int ch = 0; ch < 3; ++ch)
        mean[ch] = static_cast<int>(total > 0 ? weighted[ch] / total : plain[ch] / (End - Start));

    if (Depth == MaxDepth || total == 0) {
        MakeEntry(Start, End, mean[0], mean[1], mean[2]);
        return;
    }

    int channel;
    if constexpr (rule == Rule::Range) {
        // Weights 1.2, 1.4 and 1.0 compared exactly, in tenths: in binary floating point
        // ties such as green 45 against blue 63 would go the wrong way.
        const int64_t wR = int64_t{12} * (maxV[0] - minV[0]);
        const int64_t wG = int64_t{14} * (maxV[1] - minV[1]);
        const int64_t wB = int64_t{10} * (maxV[2] - minV[2]);
        channel = (wR >= wG && wR >= wB) ? 0 : (wG >= wB ? 1 : 2);
    } else {
        // Squares are summed exactly (they stay below 2^45); the variance itself is taken
        // in extended precision with the truncated integer mean.
        long double w[3];
        const long double weights[3] = {3.0L, 4.0L, 2.0L};
        for (int ch = 0; ch < 3; ++ch) {
            const long double var =
                static_cast<long double>(squares[ch]) / static_cast<long double>(total) -
                static_cast<long double>(mean[ch] * mean[ch]);
            w[ch] = weights[ch] * var;
        }
        channel = (w[0] >= w[1] && w[0] >= w[2]) ? 0 : (w[1] >= w[2] ? 1 : 2);
    }

    static constexpr Channel channels[3] = {&Cell::R, &Cell::G, &Cell::B};
    const Channel value = channels[channel];
    const int m = mean[channel];
    int i = Start, j = End;
    do {
        while (i < j && Cells[static_cast<size_t>(i)].*value <= m)
            ++i;
        while (i < j && Cells[static_cast<size_t>(j - 1)].*value > m)
            --j;
        if (i != j) std::swap(Cells[static_cast<size_t>(i)], Cells[static_cast<size_t>(j - 1)]);
    } while (i != j);

    if (i == End) {
        // Nothing lies above the mean: the range goes down unchanged, and every deeper split
        // sees the same cells and statistics, so it ends as one entry with these means.
        MakeEntry(Start, End, mean[0], mean[1], mean[2]);
        return;
    }
    // Each real split adds a colour, so a chain this deep would end past 256 colours; stopping
    // here keeps the recursion shallow.
    if (Depth >= kMaxColors) throw ERangeError("The median cut made more than 256 colours");
    Split<rule>(i, End, Depth + 1, MaxDepth);
    Split<rule>(Start, i, Depth + 1, MaxDepth);
}

Palette TMedianCut::GetPalette() const {
    std::vector<Rgb> entries;
    entries.reserve(static_cast<size_t>(ColorCount));
    for (int i = 0; i < ColorCount; ++i) {
        const auto& c = Colors[static_cast<size_t>(i)];
        entries.push_back(Rgb{c[2], c[1], c[0]});
    }
    return Palette(std::move(entries));
}

TMedianCutQuantizeColor::TMedianCutQuantizeColor(const TMedianCut& MedianCut)
    : MedianCut_(MedianCut) {
    const Palette palette = MedianCut.GetPalette();
    for (int i = 0; i < palette.size() && i < 256; ++i)
        Table[static_cast<size_t>(i)] = palette[i];
}

namespace {

enum class CutRule { Range, Variance };

void cut(TMedianCut& mc, CutRule rule, int MaxDepth, bool Compact) {
    if (rule == CutRule::Range)
        mc.ReduceByRange(MaxDepth, Compact);
    else
        mc.ReduceByVariance(MaxDepth, Compact);
}

Bitmap reducePlain(const Bitmap& bitmap, int MaxDepth, CutRule rule, const char* who) {
    requireWorkingFormat(bitmap, who);
    if (MaxDepth < 0) throw ERangeError("MaxDepth must not be negative");
    TMedianCut mc;
    mc.AddBitmap(bitmap);
    cut(mc, rule, MaxDepth, true);
    Bitmap result(bitmap.width(), bitmap.height(), pf8bit);
    result.setPalette(mc.GetPalette());
    const int width = bitmap.width();
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* p = bitmap.scanLine(y);
        uint8_t* out = result.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3)
            out[x] = mc.GetColorIndex(reduce_detail::colorAt(p));
    }
    return result;
}

Bitmap reduceDiffused(const Bitmap& bitmap, int MaxDepth, CutRule rule, const char* who) {
    requireWorkingFormat(bitmap, who);
    if (MaxDepth < 0) throw ERangeError("MaxDepth must not be negative");
    TMedianCut mc;
    mc.AddBitmap(bitmap);
    // Every cell, empty or not, is cut, so that any colour the diffusion produces has an index.
    cut(mc, rule, MaxDepth, false);
    const TMedianCutQuantizeColor quantizer(mc);
    Bitmap result(bitmap.width(), bitmap.height(), pf8bit);
    result.setPalette(mc.GetPalette());
    reduce_detail::DiffuseToIndices(
        bitmap, quantizer,
        [&mc](const uint8_t* pixel) { return mc.GetColorIndex(reduce_detail::colorAt(pixel)); },
        result);
    return result;
}

} // namespace

Bitmap ReduceByMedianCut(const Bitmap& bitmap, int MaxDepth) {
    return reducePlain(bitmap, MaxDepth, CutRule::Range, "ReduceByMedianCut");
}

Bitmap ReduceByMedianCutVariance(const Bitmap& bitmap, int MaxDepth) {
    return reducePlain(bitmap, MaxDepth, CutRule::Variance, "ReduceByMedianCutVariance");
}

Bitmap ReduceByMedianCutDiffusion(const Bitmap& bitmap, int MaxDepth) {
    return reduceDiffused(bitmap, MaxDepth, CutRule::Range, "ReduceByMedianCutDiffusion");
}

Bitmap ReduceByMedianCutVarianceDiffusion(const Bitmap& bitmap, int MaxDepth) {
    return reduceDiffused(bitmap, MaxDepth, CutRule::Variance,
                          "ReduceByMedianCutVarianceDiffusion");
}
