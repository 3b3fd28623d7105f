// Colour searches and ditherers used when a true-colour bitmap becomes a GIF frame.
#pragma once

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Palette.h"

// Finds a colour's index in the target palette of a reduction method: arithmetic for the
// grey, monochrome and web-safe palettes, a lazily filled 32 × 32 × 32 inverse table for
// the octree palette of method 7, the exact nearest entry otherwise.
class ColorSearch {
public:
    ColorSearch(int method, const Palette& palette);
    int find(int r, int g, int b);

private:
    int method_;
    const Palette& palette_;
    std::vector<int> inverse_;
    std::vector<std::pair<uint32_t, int>> cache_;
};

// Runs one row at a time in serpentine order: the first row left to right, each following
// row the other way. The base class maps each colour to its nearest entry (no diffusion).
class TDitherEngine {
public:
    TDitherEngine(int width, ColorSearch& search, const Palette& palette);
    virtual ~TDitherEngine() = default;
    // +1 while the current row runs left to right, -1 otherwise.
    int direction() const { return direction_; }
    // The palette index for the next pixel of the row in scanning order.
    virtual int dither(int r, int g, int b);
    virtual void nextLine();

protected:
    int width_;
    ColorSearch& search_;
    const Palette& palette_;
    int direction_ = 1;
    int row_ = 0;
};

// Error diffusion with a kernel of taps (dx in the scanning direction, dy rows below,
// weight) over a common divisor. The value looked up is the channel plus
// (accumulated error + divisor / 2) / divisor, limited to 0..255; the difference between
// it and the chosen colour is spread over the taps.
class TErrorDiffusionDitherer : public TDitherEngine {
public:
    struct Tap {
        int dx, dy, weight;
    };
    struct Kernel {
        int divisor;
        std::vector<Tap> taps;
    };
    TErrorDiffusionDitherer(int width, ColorSearch& search, const Palette& palette,
                            const Kernel& kernel);
    int dither(int r, int g, int b) override;
    void nextLine() override;
    static const Kernel& floydSteinberg();

private:
    static constexpr int kPad = 3;
    Kernel kernel_;
    int stride_;
    int column_ = 0;
    // Errors of the current row and the three below, per channel (r, g, b).
    std::array<std::vector<int>, 4> errors_;
};

// Floyd–Steinberg: 7/16 ahead, 3/16 below behind, 5/16 below, 1/16 below ahead.
class TFloydSteinbergDitherer : public TErrorDiffusionDitherer {
public:
    TFloydSteinbergDitherer(int width, ColorSearch& search, const Palette& palette)
        : TErrorDiffusionDitherer(width, search, palette, floydSteinberg()) {}
};

// Kinds 0 nearest, 1 Floyd–Steinberg, 2 Stucki, 3 Sierra, 4 Jarvis–Judice–Ninke,
// 5 Stevenson–Arce, 6 Burkes; nullptr for any other kind.
std::unique_ptr<TDitherEngine> makeDitherer(int kind, int width, ColorSearch& search,
                                            const Palette& palette);

// The target palette of a reduction method (empty for an unknown method).
Palette reductionPalette(const Bitmap& source, int method, int quantizeBits,
                         const Palette& customPalette);
