// Feeds arbitrary bytes to the GIF reader; whatever it accepts must render, write back
// and read again to the same frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "FuzzSupport.h"
#include "formats/GIFImage.h"
#include "platform/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    TGIFImage gif;
    try {
        gif.loadFromBytes(bytes);
    } catch (const Exception&) {
        return 0;
    }
    pwfuzz::accepted = true;
    if (int64_t(gif.width()) * gif.height() <= (int64_t(1) << 20)) (void)gif.bitmap();
    std::vector<uint8_t> written;
    try {
        written = gif.saveToBytes();
    } catch (const GIFException&) {
        // Frames may hold indices outside their tables, or there may be no frame at all.
        return 0;
    }
    TGIFImage back;
    back.loadFromBytes(written);
    // Frames without pixels may vanish on writing (nothing of them is stored); every
    // frame with pixels must come back unchanged.
    auto pixels = [](const TGIFImage& g) {
        std::vector<const std::vector<uint8_t>*> out;
        for (const auto& f : g.Images)
            if (!f->empty()) out.push_back(&f->Data);
        return out;
    };
    auto a = pixels(gif), b = pixels(back);
    if (a.size() != b.size()) std::abort();
    for (size_t i = 0; i < a.size(); ++i)
        if (*a[i] != *b[i]) std::abort();
    return 0;
}
