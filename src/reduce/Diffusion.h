// Mapping pictures onto a given palette with Floyd–Steinberg error diffusion, and the
// fixed 210-colour palette.
//
// BitmapFilter runs a per-pixel procedure over a 24-bit bitmap through a window of eleven
// private row copies (five rows above and below the current one, five pixels of zero
// margin on each side), so that procedures can read and change their neighbours without
// bounds tests and without touching the source. The templates take the procedure and the
// quantizer as types, so the per-pixel path has no indirect calls; the function-pointer
// and virtual forms remain for callers that choose the procedure at run time.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Palette.h"

// Colour-to-palette mapping. Color is R × 65536 + G × 256 + B (bits 24..31 ignored); the
// result pixel is written as three bytes blue, green, red.
class TQuantizeColor {
public:
    virtual ~TQuantizeColor() = default;
    virtual void Quantize(uint8_t* Pixel, uint32_t Color) const = 0;
};

inline constexpr int ClampByte(int V) {
    return V < 0 ? 0 : (V > 255 ? 255 : V);
}

// Level tables of the fixed palette: value → level index, and level index → value. The
// boundaries are the palette's own, not the nearest level (red 230 maps to 204).
extern const std::array<uint8_t, 256> RedLevel;
extern const std::array<uint8_t, 256> GreenLevel;
extern const std::array<uint8_t, 256> BlueLevel;
extern const std::array<uint8_t, 6> RedLevelValue;
extern const std::array<uint8_t, 7> GreenLevelValue;
extern const std::array<uint8_t, 5> BlueLevelValue;

// The 210 colours, entry r × 35 + g × 5 + b = (red level r, green level g, blue level b).
const Palette& StaticPalette();

// Fixed palette: each channel through its level table.
class TQuantizeToStaticColor final : public TQuantizeColor {
public:
    void Quantize(uint8_t* Pixel, uint32_t Color) const override { QuantizeInline(Pixel, Color); }
    void QuantizeInline(uint8_t* Pixel, uint32_t Color) const {
        Pixel[0] = BlueLevelValue[BlueLevel[Color & 0xFF]];
        Pixel[1] = GreenLevelValue[GreenLevel[(Color >> 8) & 0xFF]];
        Pixel[2] = RedLevelValue[RedLevel[(Color >> 16) & 0xFF]];
    }
    // Palette index of a colour whose channels are level values.
    static int IndexOf(const uint8_t* Pixel) {
        return RedLevel[Pixel[2]] * 35 + GreenLevel[Pixel[1]] * 5 + BlueLevel[Pixel[0]];
    }
};

// Per-pixel procedure of BitmapFilter in its run-time form. Rows[k] + 15 + 3 × dx addresses
// the window pixel (X + dx, Y − 5 + k), dx = −5..5.
using TPixelProc = void (*)(int X, int Y, uint8_t* const* Rows, uint8_t* Pixel, void* Data);

namespace reduce_detail {

inline constexpr int kWindowRows = 11;
inline constexpr int kMargin = 15; // bytes of zero margin (five pixels) on each side of a row

inline void requireWorkingFormat(const Bitmap& bitmap) {
    if (bitmap.pixelFormat() != pf24bit)
        throw EInvalidGraphic("BitmapFiletr accepts only 24Bit DIB");
}

// Drives Proc over every pixel, rows from the top, pixels from the left, and hands each
// result pixel to Sink(x, y, pixel). The window is a ring of eleven rows: each source row is
// copied in once, five rows ahead of its turn, and rows outside the picture stay zero.
template <class Proc, class Sink> void RunFilter(const Bitmap& bitmap, Proc& proc, Sink& sink) {
    requireWorkingFormat(bitmap);
    const int width = bitmap.width();
    const int height = bitmap.height();
    if (width <= 0 || height <= 0) return;
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    const size_t bufferBytes = rowBytes + 2 * kMargin;
    std::vector<uint8_t> storage(bufferBytes * kWindowRows, 0);
    uint8_t* window[kWindowRows];
    for (int k = 0; k < kWindowRows; ++k) {
        window[k] = storage.data() + static_cast<size_t>(k) * bufferBytes;
        const int sourceRow = k - 5;
        if (sourceRow >= 0 && sourceRow < height)
            std::memcpy(window[k] + kMargin, bitmap.scanLine(sourceRow), rowBytes);
    }
    for (int y = 0; y < height; ++y) {
        uint8_t* rows[kWindowRows];
        for (int k = 0; k < kWindowRows; ++k)
            rows[k] = window[k];
        uint8_t pixel[3] = {0, 0, 0};
        for (int x = 0; x < width; ++x) {
            proc(x, y, static_cast<uint8_t* const*>(rows), pixel);
            sink(x, y, pixel);
            for (int k = 0; k < kWindowRows; ++k)
                rows[k] += 3;
        }
        // The row leaving the window is cleared and comes back as the lowest row.
        uint8_t* recycled = window[0];
        for (int k = 0; k + 1 < kWindowRows; ++k)
            window[k] = window[k + 1];
        window[kWindowRows - 1] = recycled;
        std::memset(recycled, 0, bufferBytes);
        if (y + 6 < height) std::memcpy(recycled + kMargin, bitmap.scanLine(y + 6), rowBytes);
    }
}

inline uint32_t colorAt(const uint8_t* p) {
    return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

} // namespace reduce_detail

// Runs Proc(X, Y, Rows, Pixel) over the picture; returns the new 24-bit picture of the
// results. Throws EInvalidGraphic("BitmapFiletr accepts only 24Bit DIB") for any other
// format, before allocating anything.
template <class Proc>
requires std::is_invocable_v<Proc&, int, int, uint8_t* const*, uint8_t*>
    Bitmap BitmapFilter(const Bitmap& bitmap, Proc&& proc) {
    reduce_detail::requireWorkingFormat(bitmap);
    Bitmap result(bitmap.width(), bitmap.height(), pf24bit);
    auto store = [&result](int x, int y, const uint8_t* pixel) {
        std::memcpy(result.scanLine(y) + 3 * static_cast<ptrdiff_t>(x), pixel, 3);
    };
    reduce_detail::RunFilter(bitmap, proc, store);
    return result;
}

Bitmap BitmapFilter(const Bitmap& bitmap, TPixelProc PixelProc, void* Data);

// Quantizes the current window pixel (which already holds the error diffused into it),
// writes the quantized colour to Pixel and spreads the truncated shares of the error
// 7/16 right, 3/16 below left, 5/16 below and 1/16 below right, clamping after each share.
// Shares that fall outside the picture land in the margins or in rows never output.
template <class Q>
inline void FloydSteinbergPixel(int /*X*/, int /*Y*/, uint8_t* const* Rows, uint8_t* Pixel,
                                const Q& quantizer) {
    uint8_t* c = Rows[5] + reduce_detail::kMargin;
    if constexpr (std::is_same_v<Q, TQuantizeColor>)
        quantizer.Quantize(Pixel, reduce_detail::colorAt(c));
    else
        quantizer.QuantizeInline(Pixel, reduce_detail::colorAt(c));
    uint8_t* right = c + 3;
    uint8_t* below = Rows[6] + reduce_detail::kMargin;
    for (int ch = 0; ch < 3; ++ch) {
        const int e = static_cast<int>(Pixel[ch]) - static_cast<int>(c[ch]);
        right[ch] = static_cast<uint8_t>(ClampByte(right[ch] - (e * 7) / 16));
        below[ch - 3] = static_cast<uint8_t>(ClampByte(below[ch - 3] - (e * 3) / 16));
        below[ch] = static_cast<uint8_t>(ClampByte(below[ch] - (e * 5) / 16));
        below[ch + 3] = static_cast<uint8_t>(ClampByte(below[ch + 3] - e / 16));
    }
}

// The run-time form: Data is a TQuantizeColor.
void FloydSteinbergPixel(int X, int Y, uint8_t* const* Rows, uint8_t* Pixel, void* Data);

// A new 24-bit picture in which every pixel is a colour the quantizer returned.
Bitmap ErrorDiffusion(const Bitmap& bitmap, const TQuantizeColor& Quantizer);

namespace reduce_detail {

// Error diffusion straight into an 8-bit result: Index(q) turns each quantized colour into
// the result byte, so no intermediate 24-bit picture is needed.
template <class Q, class IndexOf>
void DiffuseToIndices(const Bitmap& bitmap, const Q& quantizer, IndexOf indexOf, Bitmap& result) {
    auto proc = [&quantizer](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
        FloydSteinbergPixel(x, y, rows, pixel, quantizer);
    };
    auto store = [&result, &indexOf](int x, int y, const uint8_t* pixel) {
        result.scanLine(y)[x] = static_cast<uint8_t>(indexOf(pixel));
    };
    RunFilter(bitmap, proc, store);
}

} // namespace reduce_detail
