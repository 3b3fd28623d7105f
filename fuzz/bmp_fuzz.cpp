// Feeds arbitrary bytes to the bitmap file and packed-DIB readers. A refusal is an
// exception; anything read must survive conversion and writing back.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

namespace {

void exercise(const Bitmap& bmp) {
    // Large pictures are legal but slow to push through every path.
    if (bmp.empty() || int64_t(bmp.width()) * bmp.height() > (int64_t(1) << 20)) return;
    Bitmap back;
    back.loadFromBytes(bmp.saveToBytes());
    Bitmap b8 = bmp;
    b8.setPixelFormat(pf8bit);
    b8.setPixelFormat(pf24bit);
    (void)bmp.toDisplayImage();
    (void)bmp.pixelColor(bmp.width() - 1, bmp.height() - 1);
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
