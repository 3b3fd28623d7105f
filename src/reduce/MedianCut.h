// Median-cut quantizer over a 6-6-5-bit colour histogram.
//
// Each of the 131072 cells counts its pixels and keeps the sum of the low bits its index
// drops, so that after finalising every cell holds the true (truncated) average colour of
// its pixels. The cut splits boxes of cells at the pixel-weighted mean of one channel,
// chosen by weighted range or by weighted variance, upper half first, down to MaxDepth.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/Palette.h"
#include "reduce/Diffusion.h"

class TMedianCut {
public:
    static constexpr int kCellCount = 64 * 64 * 32;
    // Colours beyond this cannot be told apart by an 8-bit result.
    static constexpr int kMaxColors = 256;

    struct Cell {
        int32_t Index;  // palette index given by the cut
        int32_t CellId; // the cell's own histogram position, kept when cells are reordered
        int32_t Count;  // pixels that fell into the cell
        int32_t R;      // low-bit sums while counting; the cell's colour after finalising
        int32_t G;
        int32_t B;
    };

    TMedianCut();

    static int CellOf(uint32_t Color) {
        return static_cast<int>(((Color >> 18) & 0x3F) << 11 | ((Color >> 10) & 0x3F) << 5 |
                                ((Color >> 3) & 0x1F));
    }

    void AddColor(uint32_t Color) {
        Cell& cell = Cells[static_cast<size_t>(CellOf(Color))];
        cell.Count += 1;
        cell.R += static_cast<int32_t>((Color >> 16) & 3);
        cell.G += static_cast<int32_t>((Color >> 8) & 3);
        cell.B += static_cast<int32_t>(Color & 7);
    }
    // Counts every pixel of a 24-bit picture, rows from the top.
    void AddBitmap(const Bitmap& bitmap);

    // Finalise, cut and fill the lookup; each is called once per object. Throw ERangeError
    // for a negative MaxDepth (the cut would never end) and when the cut would make more
    // than 256 colours (possible only with MaxDepth above 8).
    void ReduceByRange(int MaxDepth, bool Compact);
    void ReduceByVariance(int MaxDepth, bool Compact);

    uint8_t GetColorIndex(uint32_t Color) const {
        return Lookup[static_cast<size_t>(CellOf(Color))];
    }
    // ColorCount entries.
    Palette GetPalette() const;

    std::vector<Cell> Cells;
    std::vector<uint8_t> Lookup;
    int32_t ColorCount = 0;
    // Blue, green, red, 0 per entry.
    std::array<std::array<uint8_t, 4>, kMaxColors> Colors{};

private:
    enum class Rule { Range, Variance };
    void Cut(Rule rule, int MaxDepth, bool Compact);
    void Finalise();
    template <Rule rule> void Split(int Start, int End, int Depth, int MaxDepth);
    void MakeEntry(int Start, int End, int meanR, int meanG, int meanB);
    bool cut_ = false;
};

// Diffusion onto a cut's palette: the colour of the cell's palette entry.
class TMedianCutQuantizeColor final : public TQuantizeColor {
public:
    explicit TMedianCutQuantizeColor(const TMedianCut& MedianCut);
    void Quantize(uint8_t* Pixel, uint32_t Color) const override { QuantizeInline(Pixel, Color); }
    void QuantizeInline(uint8_t* Pixel, uint32_t Color) const {
        const Rgb& entry = Table[MedianCut_.GetColorIndex(Color)];
        Pixel[0] = entry.b;
        Pixel[1] = entry.g;
        Pixel[2] = entry.r;
    }

private:
    const TMedianCut& MedianCut_;
    // Entries past the cut's ColorCount stay black and are never reached.
    std::array<Rgb, 256> Table{};
};
