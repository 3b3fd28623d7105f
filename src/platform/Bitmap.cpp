#include "platform/Bitmap.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include <QPainter>
#include <sys/mman.h>

#include "core/RowDriver.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"

// Pixel memory: page-aligned, and for large pictures advised to use huge pages, which
// makes the first write to a fresh buffer several times cheaper. Large buffers are mapped
// straight from the system, whose fresh pages read as zero, so they need no clearing pass.
//
// Operations that replace a picture allocate a result of the same size and then free the
// source, over and over. The last two large mappings freed are kept (of at most 1 GiB
// together) and handed to the next allocations of exactly their length, which then pay
// neither the system's page faults nor its clearing; an allocation of another length lets
// them go.
namespace {

constexpr size_t kHugePage = 2u << 20;
constexpr size_t kMaxSpare = size_t(1) << 30;

class SpareMappings {
public:
    // A kept mapping of exactly length wanted, or nullptr after letting all of them go.
    uint8_t* take(size_t wanted) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (Mapping& m : slots_)
                if (m.data && m.length == wanted) return std::exchange(m, Mapping{}).data;
        }
        releaseAll();
        return nullptr;
    }
    // Keeps mapping in place of the older one kept, letting go what no longer fits.
    void keep(uint8_t* data, size_t length) {
        if (length > kMaxSpare) return unmap({data, length});
        Mapping drop[kSlots];
        {
            std::lock_guard<std::mutex> hold(lock_);
            drop[0] = std::exchange(slots_[1], std::exchange(slots_[0], Mapping{data, length}));
            if (slots_[0].length + slots_[1].length > kMaxSpare)
                drop[1] = std::exchange(slots_[1], Mapping{});
        }
        for (const Mapping& m : drop)
            unmap(m);
    }
    // Lets every kept mapping go.
    void releaseAll() {
        Mapping drop[kSlots];
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (size_t i = 0; i < kSlots; ++i)
                drop[i] = std::exchange(slots_[i], Mapping{});
        }
        for (const Mapping& m : drop)
            unmap(m);
    }

private:
    struct Mapping {
        uint8_t* data = nullptr;
        size_t length = 0;
    };
    static constexpr size_t kSlots = 2;
    static void unmap(const Mapping& m) {
        if (m.data) ::munmap(m.data, m.length);
    }
    std::mutex lock_;
    Mapping slots_[kSlots];
};

// Never destroyed: bitmaps that outlive the other statics still hand their memory here on
// the way out, and the system takes the kept mappings back with the process.
SpareMappings& spareMappings() {
    static SpareMappings* const spare = new SpareMappings;
    return *spare;
}

} // namespace

struct Bitmap::Buffer {
    explicit Buffer(size_t bytes) : size(bytes) {
        if (bytes == 0) return;
        if (bytes >= kHugePage) {
            const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            if (rounded < bytes) throw EInvalidGraphic("画像のメモリを確保できません");
            if (uint8_t* reused = spareMappings().take(rounded)) {
                data = reused;
                mapped = rounded;
                return;
            }
            // Map one huge page more than needed and give back the unaligned ends.
            void* raw = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (raw == MAP_FAILED) throw EInvalidGraphic("画像のメモリを確保できません");
            const auto base = reinterpret_cast<uintptr_t>(raw);
            const uintptr_t start = (base + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
            const size_t head = start - base, tail = kHugePage - head;
            if (head) ::munmap(raw, head);
            if (tail) ::munmap(reinterpret_cast<void*>(start + rounded), tail);
            data = reinterpret_cast<uint8_t*>(start);
            mapped = rounded;
            zeroed = true;
            ::madvise(data, rounded, MADV_HUGEPAGE);
            return;
        }
        const size_t rounded = (bytes + 4095) / 4096 * 4096;
        void* p = std::aligned_alloc(4096, rounded);
        if (!p) throw EInvalidGraphic("画像のメモリを確保できません");
        data = static_cast<uint8_t*>(p);
    }
    ~Buffer() {
        if (mapped)
            spareMappings().keep(data, mapped);
        else
            std::free(data);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t mapped = 0;   // length of the mapping, 0 for memory from the allocator
    bool zeroed = false; // every byte reads as zero already
};

void releaseSparePixelMemory() {
    spareMappings().releaseAll();
}

int bitsPerPixelOf(PixelFormat format) {
    switch (format) {
    case pf1bit:
        return 1;
    case pf4bit:
        return 4;
    case pf8bit:
        return 8;
    case pf15bit:
    case pf16bit:
        return 16;
    case pf24bit:
        return 24;
    case pf32bit:
    case pfDevice:
        return 32;
    case pfCustom:
        return 0;
    }
    return 0;
}

namespace {

int strideFor(int width, int bpp) {
    return static_cast<int>(((static_cast<int64_t>(width) * bpp + 31) / 32) * 4);
}

const Palette& defaultPaletteFor(PixelFormat format) {
    switch (format) {
    case pf1bit:
        return Palette::monochrome();
    case pf4bit:
        return Palette::vga16();
    default:
        return Palette::halftone();
    }
}

bool isIndexed(PixelFormat format) {
    return format == pf1bit || format == pf4bit || format == pf8bit;
}

// Palette entries as blue, green, red, 0 for every possible index; indices the palette
// does not have read as black.
using ColorTable = std::array<uint8_t, 256 * 4>;

ColorTable colorTableOf(const Palette& pal) {
    ColorTable t{};
    for (int i = 0; i < pal.size() && i < 256; ++i) {
        t[4 * i] = pal[i].b;
        t[4 * i + 1] = pal[i].g;
        t[4 * i + 2] = pal[i].r;
    }
    return t;
}

// 5- and 6-bit channel values widened to 8 bits by repeating their high bits, so that 0
// stays 0 and the largest value becomes 255.
inline uint8_t widen5(unsigned v) {
    return static_cast<uint8_t>((v << 3) | (v >> 2));
}
inline uint8_t widen6(unsigned v) {
    return static_cast<uint8_t>((v << 2) | (v >> 4));
}

// ----- rows of any format to 24-bit blue, green, red -----

void unpack1(const uint8_t* src, const ColorTable& t, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3) {
        const uint8_t* c = &t[4 * ((src[x >> 3] >> (7 - (x & 7))) & 1)];
        dst[0] = c[0];
        dst[1] = c[1];
        dst[2] = c[2];
    }
}

void unpack4(const uint8_t* src, const ColorTable& t, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3) {
        unsigned i = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
        const uint8_t* c = &t[4 * i];
        dst[0] = c[0];
        dst[1] = c[1];
        dst[2] = c[2];
    }
}

void unpack8(const uint8_t* src, const ColorTable& t, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3) {
        const uint8_t* c = &t[4 * src[x]];
        dst[0] = c[0];
        dst[1] = c[1];
        dst[2] = c[2];
    }
}

void unpack15(const uint8_t* src, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3, src += 2) {
        unsigned v = src[0] | (src[1] << 8);
        dst[0] = widen5(v & 31);
        dst[1] = widen5((v >> 5) & 31);
        dst[2] = widen5((v >> 10) & 31);
    }
}

void unpack16(const uint8_t* src, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3, src += 2) {
        unsigned v = src[0] | (src[1] << 8);
        dst[0] = widen5(v & 31);
        dst[1] = widen6((v >> 5) & 63);
        dst[2] = widen5(v >> 11);
    }
}

void unpack32(const uint8_t* src, int width, uint8_t* dst) {
    for (int x = 0; x < width; ++x, dst += 3, src += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

void unpackRow(const uint8_t* src, PixelFormat format, const ColorTable& t, int width,
               uint8_t* dst) {
    switch (format) {
    case pf1bit:
        unpack1(src, t, width, dst);
        break;
    case pf4bit:
        unpack4(src, t, width, dst);
        break;
    case pf8bit:
        unpack8(src, t, width, dst);
        break;
    case pf15bit:
        unpack15(src, width, dst);
        break;
    case pf16bit:
        unpack16(src, width, dst);
        break;
    case pf24bit:
        std::memcpy(dst, src, static_cast<size_t>(width) * 3);
        break;
    case pf32bit:
    case pfDevice:
        unpack32(src, width, dst);
        break;
    case pfCustom:
        break;
    }
}

// ----- 24-bit rows to any format -----

// indices: scratch of width bytes for the palette formats.
void packRow(const uint8_t* src, PixelFormat format, const Palette& pal, int width, uint8_t* dst,
             uint8_t* indices) {
    switch (format) {
    case pf1bit: {
        pal.nearestRow(src, width, indices);
        std::memset(dst, 0, static_cast<size_t>((width + 7) / 8));
        for (int x = 0; x < width; ++x)
            dst[x >> 3] |= static_cast<uint8_t>((indices[x] & 1) << (7 - (x & 7)));
        break;
    }
    case pf4bit: {
        pal.nearestRow(src, width, indices);
        std::memset(dst, 0, static_cast<size_t>((width + 1) / 2));
        for (int x = 0; x < width; ++x)
            dst[x >> 1] |= static_cast<uint8_t>((indices[x] & 15) << ((x & 1) ? 0 : 4));
        break;
    }
    case pf8bit:
        pal.nearestRow(src, width, dst);
        break;
    case pf15bit:
        for (int x = 0; x < width; ++x, src += 3, dst += 2) {
            unsigned v = ((src[2] >> 3) << 10) | ((src[1] >> 3) << 5) | (src[0] >> 3);
            dst[0] = static_cast<uint8_t>(v);
            dst[1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case pf16bit:
        for (int x = 0; x < width; ++x, src += 3, dst += 2) {
            unsigned v = ((src[2] >> 3) << 11) | ((src[1] >> 2) << 5) | (src[0] >> 3);
            dst[0] = static_cast<uint8_t>(v);
            dst[1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case pf24bit:
        std::memcpy(dst, src, static_cast<size_t>(width) * 3);
        break;
    case pf32bit:
    case pfDevice:
        for (int x = 0; x < width; ++x, src += 3, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = 255;
        }
        break;
    case pfCustom:
        break;
    }
}

// Any format to the opaque 32-bit layout (blue, green, red, 255).
void displayRow(const uint8_t* src, PixelFormat format, const ColorTable& t, int width,
                uint8_t* dst, uint8_t* scratch) {
    switch (format) {
    case pf8bit:
        for (int x = 0; x < width; ++x, dst += 4) {
            std::memcpy(dst, &t[4 * src[x]], 4);
            dst[3] = 255;
        }
        break;
    case pf32bit:
    case pfDevice:
        for (int x = 0; x < width; ++x, dst += 4, src += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = 255;
        }
        break;
    case pf24bit:
        packRow(src, pf32bit, Palette(), width, dst, nullptr);
        break;
    default:
        unpackRow(src, format, t, width, scratch);
        packRow(scratch, pf32bit, Palette(), width, dst, nullptr);
        break;
    }
}

// Runs fn(y0, y1) over row ranges covering [0, rows) on the shared row driver; every row
// is computed alone, so the result does not depend on the split.
template <class Fn> void forRowRanges(int rows, uint64_t pixels, Fn fn) {
    const int64_t perRow = rows > 0 ? static_cast<int64_t>(pixels / uint64_t(rows)) : 0;
    core::forEachRowRange(rows, perRow, fn);
}

} // namespace

Bitmap::Bitmap() = default;

Bitmap::Bitmap(int width, int height, PixelFormat format) {
    create(width, height, format, true);
}

Bitmap::Bitmap(int width, int height, PixelFormat format, Uninitialised) {
    create(width, height, format, false);
}

void Bitmap::create(int width, int height, PixelFormat format, bool clearPixels) {
    if (format == pfCustom) throw EInvalidGraphic("画像フォーマットが不正です");
    if (format == pfDevice) {
        format_ = pf32bit;
        handleType_ = bmDDB;
    } else {
        format_ = format;
    }
    if (format_ == pf1bit || format_ == pf4bit || format_ == pf8bit)
        palette_ = defaultPaletteFor(format_);
    allocate(width, height, bitsPerPixelOf(format_), clearPixels);
}

Bitmap::Bitmap(const Bitmap& other) : Graphic(other) {
    *this = other;
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
    if (this == &other) return *this;
    Bitmap copy;
    copy.format_ = other.format_;
    copy.handleType_ = other.handleType_;
    copy.palette_ = other.palette_;
    // Every byte, padding included, is copied below.
    copy.allocate(other.width_, other.height_, bitsPerPixelOf(other.format_), false);
    if (other.data_ && copy.data_) std::memcpy(copy.data_, other.data_, other.byteSize());
    *this = std::move(copy);
    return *this;
}

Bitmap::Bitmap(Bitmap&& other) noexcept {
    *this = std::move(other);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
    if (this == &other) return *this;
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    stride_ = std::exchange(other.stride_, 0);
    format_ = other.format_;
    handleType_ = other.handleType_;
    palette_ = std::move(other.palette_);
    buffer_ = std::move(other.buffer_);
    data_ = std::exchange(other.data_, nullptr);
    return *this;
}

Bitmap::~Bitmap() = default;

void Bitmap::allocate(int width, int height, int bpp, bool clearPixels) {
    if (width == 0 || height == 0) {
        width_ = height_ = stride_ = 0;
        buffer_.reset();
        data_ = nullptr;
        return;
    }
    limits::checkPictureSize(width, height);
    int stride = strideFor(width, bpp);
    auto buffer =
        std::make_unique<Buffer>(limits::checkedMul(static_cast<uint64_t>(stride), height));
    if (!buffer->zeroed) {
        if (clearPixels) {
            std::memset(buffer->data, 0, buffer->size);
        } else {
            // Whole bytes of pixels are left to the caller; the rest of each row is zero.
            const size_t used = size_t(width) * size_t(bpp) / 8;
            if (used < size_t(stride))
                for (int y = 0; y < height; ++y)
                    std::memset(buffer->data + size_t(y) * size_t(stride) + used, 0,
                                size_t(stride) - used);
        }
    }
    width_ = width;
    height_ = height;
    stride_ = stride;
    buffer_ = std::move(buffer);
    data_ = buffer_->data;
}

void Bitmap::setWidth(int width) {
    setSize(width, height_);
}
void Bitmap::setHeight(int height) {
    setSize(width_, height);
}

void Bitmap::setSize(int width, int height) {
    if (width == width_ && height == height_) return;
    if (width < 0 || height < 0) throw EInvalidGraphic("画像の大きさが不正です");
    Bitmap resized;
    resized.format_ = format_;
    resized.handleType_ = handleType_;
    resized.palette_ = palette_;
    resized.allocate(width, height, bitsPerPixelOf(format_));
    int rows = std::min(height, height_);
    size_t bytes = static_cast<size_t>(
        (static_cast<int64_t>(std::min(width, width_)) * bitsPerPixelOf(format_) + 7) / 8);
    for (int y = 0; y < rows; ++y)
        std::memcpy(resized.scanLine(y), scanLine(y), bytes);
    *this = std::move(resized);
}

PixelFormat Bitmap::pixelFormat() const {
    return handleType_ == bmDDB ? pfDevice : format_;
}

void Bitmap::setPixelFormat(PixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphic("画像フォーマットが不正です");
    if (format == pixelFormat()) return;
    PixelFormat target = format == pfDevice ? pf32bit : format;
    if (target != format_) {
        Bitmap converted;
        converted.format_ = target;
        if (isIndexed(target)) converted.palette_ = defaultPaletteFor(target);
        converted.allocate(width_, height_, bitsPerPixelOf(target));
        convertPixels(*this, converted);
        converted.handleType_ = handleType_;
        *this = std::move(converted);
    }
    handleType_ = format == pfDevice ? bmDDB : bmDIB;
}

void Bitmap::convertPixels(const Bitmap& from, Bitmap& to) {
    const int width = from.width_;
    const PixelFormat sf = from.format_, df = to.format_;
    const ColorTable table = colorTableOf(from.palette_);
    const Palette& pal = to.palette_;
    forRowRanges(from.height_, uint64_t(width) * uint64_t(from.height_), [&](int y0, int y1) {
        std::vector<uint8_t> row(sf == pf24bit ? 0 : static_cast<size_t>(width) * 3);
        std::vector<uint8_t> indices(isIndexed(df) ? static_cast<size_t>(width) : 0);
        for (int y = y0; y < y1; ++y) {
            const uint8_t* src = from.scanLine(y);
            uint8_t* dst = to.scanLine(y);
            if (df == pf24bit) {
                unpackRow(src, sf, table, width, dst);
            } else if (sf == pf24bit) {
                packRow(src, df, pal, width, dst, indices.data());
            } else {
                unpackRow(src, sf, table, width, row.data());
                packRow(row.data(), df, pal, width, dst, indices.data());
            }
        }
    });
}

void Bitmap::setHandleType(HandleType type) {
    if (type == handleType_) return;
    if (type == bmDDB)
        setPixelFormat(pfDevice);
    else
        handleType_ = bmDIB;
}

int Bitmap::bitsPerPixel() const {
    return empty() ? 0 : bitsPerPixelOf(format_);
}

void Bitmap::setPalette(Palette palette) {
    palette_ = std::move(palette);
}

QImage Bitmap::asQImage() const {
    if (empty()) return QImage();
    QImage::Format qf = QImage::Format_Invalid;
    switch (format_) {
    case pf1bit:
        qf = QImage::Format_Mono;
        break;
    case pf8bit:
        qf = QImage::Format_Indexed8;
        break;
    case pf15bit:
        qf = QImage::Format_RGB555;
        break;
    case pf16bit:
        qf = QImage::Format_RGB16;
        break;
    case pf24bit:
        qf = QImage::Format_BGR888;
        break;
    case pf32bit:
    case pfDevice:
        qf = QImage::Format_RGB32;
        break;
    case pf4bit: {
        QImage img(width_, height_, QImage::Format_Indexed8);
        for (int y = 0; y < height_; ++y) {
            const uint8_t* src = scanLine(y);
            uchar* dst = img.scanLine(y);
            for (int x = 0; x < width_; ++x)
                dst[x] = (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4);
        }
        QList<QRgb> table;
        for (const Rgb& c : palette_.entries())
            table.push_back(qRgb(c.r, c.g, c.b));
        while (table.size() < 16)
            table.push_back(qRgb(0, 0, 0));
        img.setColorTable(table);
        return img;
    }
    case pfCustom:
        return QImage();
    }
    QImage img(data_, width_, height_, stride_, qf);
    if (format_ == pf1bit || format_ == pf8bit) {
        QList<QRgb> table;
        for (const Rgb& c : palette_.entries())
            table.push_back(qRgb(c.r, c.g, c.b));
        int need = format_ == pf1bit ? 2 : 256;
        while (table.size() < need)
            table.push_back(qRgb(0, 0, 0));
        img.setColorTable(table);
    }
    return img;
}

QImage Bitmap::toDisplayImage() const {
    if (empty()) return QImage();
    QImage out(width_, height_, QImage::Format_RGB32);
    if (out.isNull()) throw EInvalidGraphic("画像のメモリを確保できません");
    const ColorTable table = colorTableOf(palette_);
    forRowRanges(height_, uint64_t(width_) * uint64_t(height_), [&](int y0, int y1) {
        std::vector<uint8_t> scratch(static_cast<size_t>(width_) * 3);
        for (int y = y0; y < y1; ++y)
            displayRow(scanLine(y), format_, table, width_, out.scanLine(y), scratch.data());
    });
    return out;
}

bool Bitmap::opaqueRows() const {
    if (format_ != pf32bit) return true;
    for (int y = 0; y < height_; ++y) {
        const uint8_t* row = scanLine(y);
        for (int x = 0; x < width_; ++x)
            if (row[4 * x + 3] != 255) return false;
    }
    return true;
}

Bitmap Bitmap::fromQImage(const QImage& image) {
    if (image.isNull()) return Bitmap();
    limits::checkPictureSize(image.width(), image.height());
    if (image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono ||
        image.format() == QImage::Format_MonoLSB) {
        QImage src = image.convertToFormat(QImage::Format_Indexed8);
        QList<QRgb> colors = src.colorTable();
        bool opaque = true;
        for (QRgb c : colors)
            opaque = opaque && qAlpha(c) == 255;
        if (opaque && !colors.isEmpty() && colors.size() <= 256) {
            Bitmap bmp(src.width(), src.height(), pf8bit);
            std::vector<Rgb> entries;
            for (QRgb c : colors)
                entries.push_back({static_cast<uint8_t>(qRed(c)), static_cast<uint8_t>(qGreen(c)),
                                   static_cast<uint8_t>(qBlue(c))});
            bmp.setPalette(Palette(std::move(entries)));
            for (int y = 0; y < src.height(); ++y)
                std::memcpy(bmp.scanLine(y), src.constScanLine(y),
                            static_cast<size_t>(src.width()));
            return bmp;
        }
    }
    QImage src = image.convertToFormat(QImage::Format_BGR888);
    Bitmap bmp(src.width(), src.height(), pf24bit);
    size_t bytes = static_cast<size_t>(src.width()) * 3;
    for (int y = 0; y < src.height(); ++y)
        std::memcpy(bmp.scanLine(y), src.constScanLine(y), bytes);
    return bmp;
}

uint32_t Bitmap::pixelColor(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    const uint8_t* row = scanLine(y);
    auto entry = [&](int i) -> uint32_t {
        if (i >= palette_.size()) return 0;
        const Rgb& c = palette_[i];
        return RGBColor(c.r, c.g, c.b);
    };
    uint8_t bgr[3] = {0, 0, 0};
    switch (format_) {
    case pf1bit:
        return entry((row[x >> 3] >> (7 - (x & 7))) & 1);
    case pf4bit:
        return entry((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    case pf8bit:
        return entry(row[x]);
    case pf15bit:
        unpack15(row + 2 * x, 1, bgr);
        break;
    case pf16bit:
        unpack16(row + 2 * x, 1, bgr);
        break;
    case pf24bit:
        std::memcpy(bgr, row + 3 * x, 3);
        break;
    case pf32bit:
    case pfDevice:
        std::memcpy(bgr, row + 4 * x, 3);
        break;
    case pfCustom:
        break;
    }
    return RGBColor(bgr[2], bgr[1], bgr[0]);
}

void Bitmap::paint(QPainter& painter, const QRectF& dest) const {
    if (empty()) return;
    // A 32-bit picture whose fourth bytes are not all 255 (as a file may bring) would be
    // painted see-through: it goes through an opaque copy.
    QImage img = opaqueRows() ? asQImage() : toDisplayImage();
    bool smooth = painter.testRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(dest, img, QRectF(0, 0, width_, height_));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
}

std::unique_ptr<Graphic> Bitmap::clone() const {
    return std::make_unique<Bitmap>(*this);
}

void Bitmap::assign(const Graphic& source) {
    if (auto* bmp = dynamic_cast<const Bitmap*>(&source)) {
        *this = *bmp;
        return;
    }
    Bitmap drawn(source.width(), source.height(), pfDevice);
    if (!drawn.empty()) {
        QImage img = drawn.asQImage();
        img.fill(Qt::white);
        QPainter p(&img);
        source.paint(p, QRectF(0, 0, source.width(), source.height()));
    }
    *this = std::move(drawn);
}

void Bitmap::clear() {
    width_ = height_ = stride_ = 0;
    buffer_.reset();
    data_ = nullptr;
}
