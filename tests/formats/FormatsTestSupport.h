// Helpers for the picture-format tests: running the independent tools (djpeg, cjpeg,
// giftext, ImageMagick, Pillow) and reading their raw outputs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "support/TestSupport.h"

namespace fmtest {

// True when a program of that name is on the PATH; see pwtest::haveTool (a missing tool
// fails the test under PW_REQUIRE_TOOLS=1).
bool haveTool(const std::string& name);
// True when /usr/bin/python3 can import PIL; see pwtest::havePillow.
bool havePillow();
// Runs a shell command; returns its exit status and stdout.
int run(const std::string& command, std::string* output = nullptr);

// A decoded PNM (P5 or P6) picture as packed RGB (P5 is expanded to grey RGB).
struct RgbImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};
RgbImage readPnm(const std::filesystem::path& path);
// Our bitmap as packed RGB.
RgbImage toRgb(const Bitmap& bmp);

std::string shellQuote(const std::filesystem::path& p);

} // namespace fmtest

#define SKIP_WITHOUT(tool)                                                                         \
    do {                                                                                           \
        PW_SKIP_WITHOUT(fmtest::haveTool(tool), tool);                                             \
    } while (0)
