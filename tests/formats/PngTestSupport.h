// Helpers for the PNG, WebP and EXIF tests: independent tools as references, and building
// PNG files chunk by chunk.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FormatsTestSupport.h"

// Skips the test when an independent tool is missing; fails instead when PW_REQUIRE_TOOLS=1.
#define PW_NEED(available, what)                                                                   \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            const char* require = std::getenv("PW_REQUIRE_TOOLS");                                 \
            if (require && std::string(require) == "1") FAIL() << what << " is required";          \
            GTEST_SKIP() << what << " is not installed";                                           \
        }                                                                                          \
    } while (0)

namespace pngtest {

// ImageMagick's convert (the real program, not a wrapper that may stand in front of it).
std::string magick();
bool haveMagick();

// Runs a Python program with /usr/bin/python3 (Pillow imported by the caller); argv[1..]
// are args. Returns the exit status; output gets stdout and stderr.
int python(const std::string& program, const std::vector<std::string>& args,
           std::string* output = nullptr);

// The picture of a file as ImageMagick sees it, flattened over white at 8 bits per sample.
fmtest::RgbImage magickFlat(const std::filesystem::path& file);

// Largest difference of one sample between two pictures of the same size; -1 when their
// sizes differ.
int maxDifference(const fmtest::RgbImage& a, const fmtest::RgbImage& b);

// One PNG chunk: length, type, data, CRC.
std::vector<uint8_t> chunk(const char type[4], const std::vector<uint8_t>& data);
std::vector<uint8_t> ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType,
                          uint8_t interlace = 0);
// zlib-compressed bytes.
std::vector<uint8_t> deflate(const std::vector<uint8_t>& raw);
// Signature + the chunks + IEND.
std::vector<uint8_t> png(const std::vector<std::vector<uint8_t>>& chunks);

} // namespace pngtest
