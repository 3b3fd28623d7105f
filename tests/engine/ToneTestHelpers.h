// Helpers shared by the engine's tone, core and histogram tests.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FastPicture.h"
#include "platform/Bitmap.h"

namespace tonetest {

// Records every OnAmend/OnAmended of an engine as "Amend <Kind>" / "Amended <Kind>".
struct EventLog {
    std::vector<std::string> events;
    int invalidations = 0;
    explicit EventLog(TFastPicture& fp) {
        fp.OnAmend = [this](TFastPicture*, std::string kind) { events.push_back("Amend " + kind); };
        fp.OnAmended = [this](TFastPicture*, std::string kind) {
            events.push_back("Amended " + kind);
        };
        fp.OnInvalidate = [this] { ++invalidations; };
    }
    void clear() {
        events.clear();
        invalidations = 0;
    }
};

// A 24-bit picture in which every byte value appears in every channel, with the three
// channels out of step so that a mix-up of blue, green and red shows.
inline Bitmap makeRamp(int rows = 3) {
    Bitmap bmp(256, rows, pf24bit);
    for (int y = 0; y < rows; ++y) {
        uint8_t* p = bmp.scanLine(y);
        for (int x = 0; x < 256; ++x) {
            p[3 * x] = static_cast<uint8_t>(x + y);
            p[3 * x + 1] = static_cast<uint8_t>(x + 85 + y);
            p[3 * x + 2] = static_cast<uint8_t>(x + 170 + y);
        }
    }
    return bmp;
}

inline Bitmap uniform(int w, int h, uint8_t b, uint8_t g, uint8_t r, PixelFormat f = pf24bit) {
    Bitmap bmp(w, h, pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = bmp.scanLine(y) + 3 * x;
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    if (f != pf24bit) bmp.setPixelFormat(f);
    return bmp;
}

// Every byte of after is table[byte of before] (24-bit pictures of the same size).
template <class Table>
::testing::AssertionResult mappedBy(const Bitmap& before, const Bitmap& after, const Table& table) {
    if (before.width() != after.width() || before.height() != after.height())
        return ::testing::AssertionFailure() << "size differs";
    if (after.pixelFormat() != pf24bit) return ::testing::AssertionFailure() << "not 24-bit";
    for (int y = 0; y < before.height(); ++y)
        for (int i = 0; i < before.width() * 3; ++i) {
            int in = before.scanLine(y)[i], out = after.scanLine(y)[i];
            if (out != static_cast<int>(table[in]))
                return ::testing::AssertionFailure()
                       << "byte " << i << " of row " << y << ": " << in << " -> " << out
                       << ", expected " << static_cast<int>(table[in]);
        }
    return ::testing::AssertionSuccess();
}

inline Bitmap& held(TFastPicture& fp) {
    return *fp.picture().as<Bitmap>();
}

} // namespace tonetest
