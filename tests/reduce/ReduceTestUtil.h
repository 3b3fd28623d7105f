// Small picture builders for the quantizer tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "platform/Bitmap.h"

namespace reducetest {

// A 24-bit picture filled row by row from the given colours (repeated as needed).
inline Bitmap pictureOf(int width, int height, const std::vector<Rgb>& colors) {
    Bitmap bmp(width, height, pf24bit);
    size_t i = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, ++i) {
            const Rgb& c = colors[i % colors.size()];
            uint8_t* p = bmp.scanLine(y) + 3 * x;
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    return bmp;
}

// Independent uniform noise in every channel.
inline Bitmap noise(int width, int height, uint32_t seed) {
    Bitmap bmp(width, height, pf24bit);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x)
            bmp.scanLine(y)[x] = static_cast<uint8_t>(rng() >> 24);
    return bmp;
}

inline Rgb pixelOf(const Bitmap& bmp, int x, int y) {
    const uint8_t* p = bmp.scanLine(y) + 3 * x;
    return Rgb{p[2], p[1], p[0]};
}

inline int indexAt(const Bitmap& bmp, int x, int y) {
    return bmp.scanLine(y)[x];
}

} // namespace reducetest
