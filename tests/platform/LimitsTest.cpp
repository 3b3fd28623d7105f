// The memory check every reader makes after its header: pictures declaring sizes that
// would not fit are refused before their pixels are allocated, with a message naming
// the size.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Icon.h"
#include "platform/Limits.h"
#include "support/TestSupport.h"

namespace {

// Sets the memory ceiling and the held copies for one test, restoring both after.
class MemoryLimits {
public:
    MemoryLimits(uint64_t ceiling, double heldBytesPerPixel)
        : ceiling_(limits::memoryCeiling()), held_(limits::heldBytesPerPixel()) {
        limits::setMemoryCeiling(ceiling);
        limits::setHeldBytesPerPixel(heldBytesPerPixel);
    }
    ~MemoryLimits() {
        limits::setMemoryCeiling(ceiling_);
        limits::setHeldBytesPerPixel(held_);
    }

private:
    uint64_t ceiling_;
    double held_;
};

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

// A 40-byte DIB header, a grey palette and a run-length body that ends at once.
std::vector<uint8_t> rle8Dib(int32_t width, int32_t height) {
    std::vector<uint8_t> d;
    put32(d, 40);
    put32(d, static_cast<uint32_t>(width));
    put32(d, static_cast<uint32_t>(height));
    put16(d, 1);
    put16(d, 8);
    put32(d, 1); // RLE8
    put32(d, 2);
    put32(d, 2835);
    put32(d, 2835);
    put32(d, 256);
    put32(d, 0);
    for (int i = 0; i < 256; ++i)
        d.insert(d.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    d.insert(d.end(), {0, 1});
    return d;
}

std::vector<uint8_t> rle8File(int32_t width, int32_t height) {
    std::vector<uint8_t> dib = rle8Dib(width, height);
    std::vector<uint8_t> f = {'B', 'M'};
    put32(f, static_cast<uint32_t>(14 + dib.size()));
    put32(f, 0);
    put32(f, 14 + 40 + 1024);
    f.insert(f.end(), dib.begin(), dib.end());
    return f;
}

std::vector<uint8_t> icoWith(const std::vector<uint8_t>& dib, int32_t width, int32_t height) {
    std::vector<uint8_t> f;
    put16(f, 0);
    put16(f, 1);
    put16(f, 1);
    f.insert(f.end(), {uint8_t(width), uint8_t(height), 0, 0});
    put16(f, 1);
    put16(f, 8);
    put32(f, static_cast<uint32_t>(dib.size()));
    put32(f, 22);
    f.insert(f.end(), dib.begin(), dib.end());
    return f;
}

std::vector<uint8_t> gifWithFrame(uint16_t width, uint16_t height) {
    std::vector<uint8_t> g = {'G',  'I', 'F', '8', '9', 'a', 1,   0,   1,  0,
                              0x80, 0,   0,   0,   0,   0,   255, 255, 255};
    g.push_back(',');
    put16(g, 0);
    put16(g, 0);
    put16(g, width);
    put16(g, height);
    g.insert(g.end(), {0, 2, 2, 0x44, 0x01, 0, ';'});
    return g;
}

// A real JPEG whose frame header then declares another size.
std::vector<uint8_t> jpegDeclaring(uint16_t width, uint16_t height) {
    TJPEGImage jpeg;
    jpeg.assign(pwtest::makeTestBitmap(16, 16));
    std::vector<uint8_t> bytes = jpeg.saveToBytes();
    for (size_t i = 0; i + 9 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && (bytes[i + 1] == 0xC0 || bytes[i + 1] == 0xC2)) {
            bytes[i + 5] = uint8_t(height >> 8);
            bytes[i + 6] = uint8_t(height);
            bytes[i + 7] = uint8_t(width >> 8);
            bytes[i + 8] = uint8_t(width);
            return bytes;
        }
    ADD_FAILURE() << "no frame header in the encoded JPEG";
    return bytes;
}

template <typename Load> std::string refusal(Load&& load) {
    try {
        load();
    } catch (const EInvalidGraphic& e) {
        return e.what();
    }
    return "(accepted)";
}

} // namespace

TEST(Limits, EveryReaderRefusesWhatWouldNotFitBeforeAllocating) {
    MemoryLimits small(64 << 20, 7);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<std::pair<const char*, std::function<void()>>> readers = {
        {"BMP file", [] { Bitmap().loadFromBytes(rle8File(16000, 16000)); }},
        {"packed DIB", [] { Bitmap().loadFromDib(rle8Dib(16000, 16000)); }},
        {"icon", [] { Icon().loadFromBytes(icoWith(rle8Dib(16000, 32000), 0, 0)); }},
        {"GIF frame", [] { TGIFImage().loadFromBytes(gifWithFrame(16000, 16000)); }},
        {"JPEG header", [] { TJPEGImage().loadFromBytes(jpegDeclaring(16000, 16000)); }},
    };
    for (const auto& [name, load] : readers) {
        SCOPED_TRACE(name);
        const std::string message = refusal(load);
        EXPECT_NE(message.find("16000 × 16000"), std::string::npos) << message;
        EXPECT_NE(message.find("MB"), std::string::npos) << message;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(Limits, TheCopiesAProgramHoldsCountTowardsTheEstimate) {
    // 2000 × 2000 at 8 bits is 4 MB as read; a program holding 7 more bytes a pixel
    // needs 32 MB in all.
    {
        MemoryLimits alone(16 << 20, 0);
        EXPECT_EQ(limits::estimatedPictureBytes(2000, 2000, 8), 4000000u);
        EXPECT_NO_THROW(limits::checkPictureToOpen(2000, 2000, 8));
        // Rows are padded to 4 bytes.
        EXPECT_EQ(limits::estimatedPictureBytes(3, 2, 24), 24u);
    }
    {
        MemoryLimits window(16 << 20, 7);
        EXPECT_EQ(limits::estimatedPictureBytes(2000, 2000, 8), 32000000u);
        EXPECT_THROW(limits::checkPictureToOpen(2000, 2000, 8), EPictureTooLarge);
        // Bytes a reader already holds (earlier frames) count as well.
        EXPECT_NO_THROW(limits::checkPictureToOpen(100, 100, 8));
        EXPECT_THROW(limits::checkPictureToOpen(100, 100, 8, false, 16 << 20), EPictureTooLarge);
    }
}

TEST(Limits, PicturesThatFitStillOpenAndTheMachineFigureIsSane) {
    const uint64_t machine = limits::availableMemory();
    EXPECT_GT(machine, uint64_t(16) << 20);
    {
        MemoryLimits capped(64 << 20, 7);
        EXPECT_EQ(limits::availableMemory(), uint64_t(64) << 20);
        Bitmap bmp;
        bmp.loadFromBytes(rle8File(300, 200));
        EXPECT_EQ(bmp.width(), 300);
        TGIFImage gif;
        gif.loadFromBytes(gifWithFrame(1, 1));
        EXPECT_EQ(gif.width(), 1);
    }
    EXPECT_EQ(limits::formatBytes(1536u << 20), "1.5 GB");
    EXPECT_EQ(limits::formatBytes(640u << 20), "640 MB");
    EXPECT_EQ(limits::formatBytes(12 << 10), "12 KB");
}
