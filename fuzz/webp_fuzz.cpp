// Feeds arbitrary bytes to the WebP reader; whatever it accepts must write losslessly and
// read back to the same bitmap.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include <webp/decode.h>

#include "formats/Webp.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    // Large pictures are legal but slow to push through every path.
    int width = 0, height = 0;
    if (WebPGetInfo(data, size, &width, &height) && int64_t(width) * height > (int64_t(1) << 22))
        return 0;
    try {
        Bitmap bmp = decodeWebp(bytes);
        if (bmp.width() <= 0 || bmp.height() <= 0 || bmp.pixelFormat() != pf24bit) std::abort();
        if (int64_t(bmp.width()) * bmp.height() > (int64_t(1) << 16)) return 0;
        Bitmap back = decodeWebp(encodeWebp(bmp, 100));
        if (back.width() != bmp.width() || back.height() != bmp.height()) std::abort();
        for (int y = 0; y < bmp.height(); ++y)
            for (int x = 0; x < bmp.width(); ++x)
                if (back.pixelColor(x, y) != bmp.pixelColor(x, y)) std::abort();
    } catch (const Exception&) {
    }
    return 0;
}
