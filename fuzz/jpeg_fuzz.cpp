// Feeds arbitrary bytes to the JPEG picture class: header reading, decoding at the
// default and the fast settings, and encoding back what was decoded. Whatever decodes
// has the size its header declares.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "FuzzSupport.h"
#include "formats/Jpeg.h"
#include "platform/Exceptions.h"

namespace {

// Decodes the picture and checks the bitmap against the size read from the header
// (the picture reports its bitmap's size once decoded, so the header's is taken first).
const Bitmap& decodeChecked(const TJPEGImage& jpeg) {
    const int width = jpeg.width(), height = jpeg.height();
    const Bitmap& bmp = jpeg.bitmap();
    if (bmp.width() != width || bmp.height() != height) {
        std::fprintf(stderr, "jpeg fuzz: header says %d × %d, decoded %d × %d\n", width, height,
                     bmp.width(), bmp.height());
        std::abort();
    }
    return bmp;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    try {
        TJPEGImage jpeg;
        jpeg.loadFromBytes(bytes);
        // Large pictures are legal but slow to push through every path.
        if (int64_t(jpeg.width()) * jpeg.height() > (int64_t(1) << 22)) return 0;
        const Bitmap& bmp = decodeChecked(jpeg);
        pwfuzz::accepted = true;
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
        (void)decodeChecked(quantized);
    } catch (const Exception&) {
    }
    return 0;
}
