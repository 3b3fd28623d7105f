// The LZW encoder against a plain transcription of the encoder it replaced: the bytes
// written must not change, on pictures that exercise table clears, code widths, every
// minimum code size, interlacing and frames appended after earlier output.
#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

#include "formats/GIFCodec.h"

namespace {

// The earlier encoder: a map from prefix × 256 + pixel to code, LSB-first code packing
// into 255-byte sub-blocks, a Clear whenever the next free code would exceed 4094.
std::vector<uint8_t> referenceEncode(const uint8_t* pixels, int width, int height, bool interlaced,
                                     int minCodeSize) {
    std::vector<uint8_t> out{static_cast<uint8_t>(minCodeSize)};
    std::vector<uint8_t> block;
    uint32_t acc = 0;
    int pending = 0;
    auto flush = [&] {
        if (block.empty()) return;
        out.push_back(static_cast<uint8_t>(block.size()));
        out.insert(out.end(), block.begin(), block.end());
        block.clear();
    };
    auto put = [&](int code, int width) {
        acc |= static_cast<uint32_t>(code) << pending;
        pending += width;
        while (pending >= 8) {
            block.push_back(static_cast<uint8_t>(acc));
            acc >>= 8;
            pending -= 8;
            if (block.size() == 255) flush();
        }
    };
    const int clear = 1 << minCodeSize, eoi = clear + 1;
    int nextFree = eoi + 1, bits = minCodeSize + 1;
    std::unordered_map<uint32_t, int> table;
    auto output = [&](int code) {
        put(code, bits);
        if (nextFree >= (1 << bits) && bits < 12) ++bits;
    };
    put(clear, bits);
    int prefix = -1;
    std::vector<int> order;
    if (interlaced)
        order = interlacedRowOrder(height);
    else
        for (int y = 0; y < height; ++y)
            order.push_back(y);
    for (int y : order)
        for (int x = 0; x < width; ++x) {
            const int p = pixels[static_cast<size_t>(y) * width + x];
            if (prefix < 0) {
                prefix = p;
                continue;
            }
            const uint32_t key = (static_cast<uint32_t>(prefix) << 8) | static_cast<uint32_t>(p);
            auto it = table.find(key);
            if (it != table.end()) {
                prefix = it->second;
                continue;
            }
            output(prefix);
            prefix = p;
            if (nextFree > 4094) {
                output(clear);
                table.clear();
                nextFree = eoi + 1;
                bits = minCodeSize + 1;
            } else {
                table[key] = nextFree++;
            }
        }
    if (prefix >= 0) output(prefix);
    output(eoi);
    if (pending > 0) {
        block.push_back(static_cast<uint8_t>(acc));
        if (block.size() == 255) flush();
    }
    flush();
    out.push_back(0);
    return out;
}

} // namespace

TEST(LzwEncoder, WritesTheSameBytesAsTheReferenceEncoder) {
    std::mt19937 rng(11);
    struct Shape {
        int width, height, minCodeSize, colours;
        bool interlaced, smooth;
    };
    const std::vector<Shape> shapes = {
        {1, 1, 2, 1, false, false},       {0, 5, 2, 4, false, false},
        {7, 3, 2, 4, true, false},        {300, 200, 8, 256, false, false},
        {640, 480, 8, 256, false, true},  {333, 257, 4, 16, true, true},
        {1000, 100, 2, 2, false, false},  {511, 64, 3, 8, false, true},
        {2000, 300, 8, 256, true, false}, {97, 1, 5, 32, false, false},
    };
    for (const Shape& s : shapes) {
        std::vector<uint8_t> pixels(static_cast<size_t>(s.width) * static_cast<size_t>(s.height));
        int level = 0;
        for (auto& p : pixels) {
            // Smooth pictures make long strings (and so many table clears); noise makes
            // short ones.
            if (s.smooth && rng() % 8 != 0)
                p = static_cast<uint8_t>(level);
            else
                p = static_cast<uint8_t>(rng() % uint32_t(s.colours)), level = p;
        }
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
        const std::vector<uint8_t> expected =
            referenceEncode(pixels.data(), s.width, s.height, s.interlaced, s.minCodeSize);
        // Appended after earlier output, as frames of one file are.
        std::vector<uint8_t> out{1, 2, 3};
        GifWriter writer(out);
        TLZWEncoder::encode(writer, pixels.data(), s.width, s.height, s.interlaced, s.minCodeSize,
                            s.colours);
        ASSERT_EQ(out.size(), expected.size() + 3);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 3));
        EXPECT_EQ(out[0], 1);
    }
}
