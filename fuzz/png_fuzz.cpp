// Feeds arbitrary bytes to the PNG reader; whatever it accepts must write and read back to
// the same bitmap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "formats/Png.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    // Large pictures are legal but slow to push through every path: look at the header's
    // size first (width and height follow the signature and the IHDR chunk's head).
    if (size >= 24) {
        auto be32 = [&](size_t at) {
            return uint64_t(data[at]) << 24 | uint64_t(data[at + 1]) << 16 |
                   uint64_t(data[at + 2]) << 8 | data[at + 3];
        };
        if (be32(16) * be32(20) > (uint64_t(1) << 22)) return 0;
    }
    try {
        PngFacts facts;
        Bitmap bmp = decodePng(bytes, &facts);
        if (bmp.width() <= 0 || bmp.height() <= 0) std::abort();
        Bitmap back = decodePng(encodePng(bmp));
        if (back.width() != bmp.width() || back.height() != bmp.height() ||
            back.pixelFormat() != bmp.pixelFormat())
            std::abort();
        for (int y = 0; y < bmp.height(); ++y)
            for (int x = 0; x < bmp.width(); ++x)
                if (back.pixelColor(x, y) != bmp.pixelColor(x, y)) std::abort();
    } catch (const Exception&) {
    }
    return 0;
}
