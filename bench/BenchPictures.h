// Test pictures shared by the benchmarks.
#pragma once

#include <cstdint>
#include <random>

#include "platform/Bitmap.h"

// A photograph-like 24-bit picture: blue rises across, green down, red follows redOf(x, y),
// each with the same small noise (-4..4, seeded with 1).
template <class RedOf> Bitmap gradientPhoto(int width, int height, RedOf redOf) {
    Bitmap b(width, height, pf24bit);
    std::mt19937 rng(1);
    auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.scanLine(y);
        for (int x = 0; x < width; ++x) {
            int n = static_cast<int>(rng() % 9) - 4;
            row[3 * x] = clamp(x * 255 / width + n);
            row[3 * x + 1] = clamp(y * 255 / height + n);
            row[3 * x + 2] = clamp(redOf(x, y) + n);
        }
    }
    return b;
}
