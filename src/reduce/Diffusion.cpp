#include "reduce/Diffusion.h"

#include "reduce/MedianCut.h"
#include "reduce/Reduce.h"

namespace {

// Builds a value → level table from the first value of every level after the first.
template <size_t N>
constexpr std::array<uint8_t, 256> levelTable(const std::array<int, N>& levelStarts) {
    std::array<uint8_t, 256> table{};
    size_t level = 0;
    for (int v = 0; v < 256; ++v) {
        while (level < N && v >= levelStarts[level])
            ++level;
        table[static_cast<size_t>(v)] = static_cast<uint8_t>(level);
    }
    return table;
}

} // namespace

const std::array<uint8_t, 256> RedLevel = levelTable(std::array<int, 5>{26, 77, 128, 179, 231});
const std::array<uint8_t, 256> GreenLevel =
    levelTable(std::array<int, 6>{22, 64, 107, 150, 193, 234});
const std::array<uint8_t, 256> BlueLevel = levelTable(std::array<int, 4>{32, 96, 160, 224});
const std::array<uint8_t, 6> RedLevelValue = {0, 51, 102, 153, 204, 255};
const std::array<uint8_t, 7> GreenLevelValue = {0, 43, 85, 128, 171, 214, 255};
const std::array<uint8_t, 5> BlueLevelValue = {0, 64, 128, 192, 255};

const Palette& StaticPalette() {
    static const Palette palette = [] {
        std::vector<Rgb> entries;
        entries.reserve(210);
        for (uint8_t r : RedLevelValue)
            for (uint8_t g : GreenLevelValue)
                for (uint8_t b : BlueLevelValue)
                    entries.push_back(Rgb{r, g, b});
        return Palette(std::move(entries));
    }();
    return palette;
}

Bitmap BitmapFilter(const Bitmap& bitmap, TPixelProc PixelProc, void* Data) {
    return BitmapFilter(bitmap,
                        [PixelProc, Data](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
                            PixelProc(x, y, rows, pixel, Data);
                        });
}

void FloydSteinbergPixel(int X, int Y, uint8_t* const* Rows, uint8_t* Pixel, void* Data) {
    FloydSteinbergPixel(X, Y, Rows, Pixel, *static_cast<const TQuantizeColor*>(Data));
}

Bitmap ErrorDiffusion(const Bitmap& bitmap, const TQuantizeColor& Quantizer) {
    // The quantizers of this unit are diffused without a virtual call per pixel.
    if (auto* fixed = dynamic_cast<const TQuantizeToStaticColor*>(&Quantizer))
        return BitmapFilter(bitmap, [fixed](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
            FloydSteinbergPixel(x, y, rows, pixel, *fixed);
        });
    if (auto* cut = dynamic_cast<const TMedianCutQuantizeColor*>(&Quantizer))
        return BitmapFilter(bitmap, [cut](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
            FloydSteinbergPixel(x, y, rows, pixel, *cut);
        });
    return BitmapFilter(bitmap, [&Quantizer](int x, int y, uint8_t* const* rows, uint8_t* pixel) {
        FloydSteinbergPixel(x, y, rows, pixel, Quantizer);
    });
}

Bitmap ReduceByFixedPalette(const Bitmap& bitmap) {
    reduce_detail::requireWorkingFormat(bitmap);
    const TQuantizeToStaticColor quantizer;
    Bitmap result(bitmap.width(), bitmap.height(), pf8bit);
    result.setPalette(StaticPalette());
    reduce_detail::DiffuseToIndices(
        bitmap, quantizer,
        [](const uint8_t* pixel) { return TQuantizeToStaticColor::IndexOf(pixel); }, result);
    return result;
}
