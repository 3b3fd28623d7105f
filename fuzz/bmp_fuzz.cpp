// Feeds arbitrary bytes to the bitmap file and packed-DIB readers. A refusal is an
// exception; anything read must survive conversion, and writing it and reading it back
// must give the same pixels.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "FuzzSupport.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

namespace {

[[noreturn]] void fail(const char* what, int x = -1, int y = -1) {
    std::fprintf(stderr, "bmp fuzz: %s (%d, %d)\n", what, x, y);
    std::abort();
}

void exercise(const Bitmap& bmp) {
    pwfuzz::accepted = true;
    // Large pictures are legal but slow to push through every path (converting to 8 bits
    // searches the palette for every pixel).
    const int64_t pixels = int64_t(bmp.width()) * bmp.height();
    if (bmp.empty() || pixels > (int64_t(1) << 18)) return;
    Bitmap back;
    back.loadFromBytes(bmp.saveToBytes());
    if (back.width() != bmp.width() || back.height() != bmp.height()) fail("size changed");
    for (int y = 0; y < bmp.height(); ++y)
        for (int x = 0; x < bmp.width(); ++x)
            if (back.pixelColor(x, y) != bmp.pixelColor(x, y)) fail("pixel changed", x, y);
    if (pixels <= (int64_t(1) << 14)) {
        Bitmap b8 = bmp;
        b8.setPixelFormat(pf8bit);
        b8.setPixelFormat(pf24bit);
    }
    (void)bmp.toDisplayImage();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    try {
        Bitmap bmp;
        bmp.loadFromBytes(bytes);
        exercise(bmp);
    } catch (const Exception&) {
    }
    // The same bytes as a packed DIB (clipboard form), past the file header when present.
    try {
        Bitmap dib;
        dib.loadFromDib(size > 14 && data[0] == 'B' && data[1] == 'M' ? bytes.subspan(14) : bytes);
        exercise(dib);
    } catch (const Exception&) {
    }
    return 0;
}
