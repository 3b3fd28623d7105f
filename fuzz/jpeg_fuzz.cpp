// Feeds arbitrary bytes to the JPEG picture class: header reading, decoding at the
// default and the fast settings, and encoding back what was decoded.
#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/Jpeg.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    try {
        TJPEGImage jpeg;
        jpeg.loadFromBytes(bytes);
        // Large pictures are legal but slow to push through every path.
        if (int64_t(jpeg.width()) * jpeg.height() > (int64_t(1) << 22)) return 0;
        const Bitmap& bmp = jpeg.bitmap();
        if (!bmp.empty() && int64_t(bmp.width()) * bmp.height() <= (int64_t(1) << 16)) {
            TJPEGImage back;
            back.assign(bmp);
            (void)back.saveToBytes();
        }
        TJPEGImage quantized;
        quantized.OutputDepth = 1;
        quantized.FastDecode = 1;
        quantized.IncrementalDecode = true;
        quantized.loadFromBytes(bytes);
        (void)quantized.bitmap();
    } catch (const Exception&) {
    }
    return 0;
}
