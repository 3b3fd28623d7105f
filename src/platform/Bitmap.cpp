#include "platform/Bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <QPainter>
#include <sys/mman.h>

#include "platform/Exceptions.h"
#include "platform/Limits.h"

// Pixel memory: page-aligned, and for large pictures advised to use huge pages, which
// makes the first write to a fresh buffer several times cheaper.
struct Bitmap::Buffer {
    explicit Buffer(size_t bytes) : size(bytes) {
        if (bytes == 0) return;
        constexpr size_t kAlign = 2u << 20;
        size_t rounded = (bytes + 4095) / 4096 * 4096;
        void* p = nullptr;
        if (bytes >= kAlign) {
            rounded = (bytes + kAlign - 1) / kAlign * kAlign;
            p = std::aligned_alloc(kAlign, rounded);
            if (p) ::madvise(p, rounded, MADV_HUGEPAGE);
        } else {
            p = std::aligned_alloc(4096, rounded);
        }
        if (!p) throw EInvalidGraphic("画像のメモリを確保できません");
        data = static_cast<uint8_t*>(p);
    }
    ~Buffer() { std::free(data); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    uint8_t* data = nullptr;
    size_t size = 0;
};

int bitsPerPixelOf(PixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit:
    case pf16bit: return 16;
    case pf24bit: return 24;
    case pf32bit:
    case pfDevice: return 32;
    case pfCustom: return 0;
    }
    return 0;
}

namespace {

int strideFor(int width, int bpp) {
    return static_cast<int>(((static_cast<int64_t>(width) * bpp + 31) / 32) * 4);
}

const Palette& defaultPaletteFor(PixelFormat format) {
    switch (format) {
    case pf1bit: return Palette::monochrome();
    case pf4bit: return Palette::vga16();
    default: return Palette::halftone();
    }
}

// Expands one row of any format into 24-bit B,G,R.
void unpackRow(const uint8_t* src, PixelFormat format, const Palette& pal, int width, uint8_t* dst) {
    auto putIndex = [&](int x, int index) {
        Rgb c = index < pal.size() ? pal[index] : Rgb{};
        dst[3 * x] = c.b;
        dst[3 * x + 1] = c.g;
        dst[3 * x + 2] = c.r;
    };
    switch (format) {
    case pf1bit:
        for (int x = 0; x < width; ++x) putIndex(x, (src[x >> 3] >> (7 - (x & 7))) & 1);
        break;
    case pf4bit:
        for (int x = 0; x < width; ++x) putIndex(x, (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4));
        break;
    case pf8bit:
        for (int x = 0; x < width; ++x) putIndex(x, src[x]);
        break;
    case pf15bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
            unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
            dst[3 * x] = static_cast<uint8_t>((b << 3) | (b >> 2));
            dst[3 * x + 1] = static_cast<uint8_t>((g << 3) | (g >> 2));
            dst[3 * x + 2] = static_cast<uint8_t>((r << 3) | (r >> 2));
        }
        break;
    case pf16bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
            unsigned r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
            dst[3 * x] = static_cast<uint8_t>((b << 3) | (b >> 2));
            dst[3 * x + 1] = static_cast<uint8_t>((g << 2) | (g >> 4));
            dst[3 * x + 2] = static_cast<uint8_t>((r << 3) | (r >> 2));
        }
        break;
    case pf24bit: std::memcpy(dst, src, static_cast<size_t>(width) * 3); break;
    case pf32bit:
    case pfDevice:
        for (int x = 0; x < width; ++x) {
            dst[3 * x] = src[4 * x];
            dst[3 * x + 1] = src[4 * x + 1];
            dst[3 * x + 2] = src[4 * x + 2];
        }
        break;
    case pfCustom: break;
    }
}

// Packs one 24-bit row into another format (palette formats by nearest entry).
void packRow(const uint8_t* src, PixelFormat format, const Palette& pal, int width, uint8_t* dst) {
    switch (format) {
    case pf1bit:
    case pf4bit: {
        int bpp = format == pf1bit ? 1 : 4;
        std::memset(dst, 0, static_cast<size_t>((width * bpp + 7) / 8));
        for (int x = 0; x < width; ++x) {
            int i = pal.nearest(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
            if (bpp == 1) dst[x >> 3] |= static_cast<uint8_t>((i & 1) << (7 - (x & 7)));
            else dst[x >> 1] |= static_cast<uint8_t>((i & 15) << ((x & 1) ? 0 : 4));
        }
        break;
    }
    case pf8bit:
        for (int x = 0; x < width; ++x)
            dst[x] = static_cast<uint8_t>(pal.nearest(src[3 * x + 2], src[3 * x + 1], src[3 * x]));
        break;
    case pf15bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = ((src[3 * x + 2] >> 3) << 10) | ((src[3 * x + 1] >> 3) << 5) | (src[3 * x] >> 3);
            dst[2 * x] = static_cast<uint8_t>(v);
            dst[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case pf16bit:
        for (int x = 0; x < width; ++x) {
            unsigned v = ((src[3 * x + 2] >> 3) << 11) | ((src[3 * x + 1] >> 2) << 5) | (src[3 * x] >> 3);
            dst[2 * x] = static_cast<uint8_t>(v);
            dst[2 * x + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case pf24bit: std::memcpy(dst, src, static_cast<size_t>(width) * 3); break;
    case pf32bit:
    case pfDevice:
        for (int x = 0; x < width; ++x) {
            dst[4 * x] = src[3 * x];
            dst[4 * x + 1] = src[3 * x + 1];
            dst[4 * x + 2] = src[3 * x + 2];
            dst[4 * x + 3] = 255;
        }
        break;
    case pfCustom: break;
    }
}

} // namespace

Bitmap::Bitmap() = default;

Bitmap::Bitmap(int width, int height, PixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphic("画像フォーマットが不正です");
    if (format == pfDevice) {
        format_ = pf32bit;
        handleType_ = bmDDB;
    } else {
        format_ = format;
    }
    if (format_ == pf1bit || format_ == pf4bit || format_ == pf8bit) palette_ = defaultPaletteFor(format_);
    allocate(width, height, bitsPerPixelOf(format_));
}

Bitmap::Bitmap(const Bitmap& other) : Graphic(other) { *this = other; }

Bitmap& Bitmap::operator=(const Bitmap& other) {
    if (this == &other) return *this;
    Bitmap copy;
    copy.format_ = other.format_;
    copy.handleType_ = other.handleType_;
    copy.palette_ = other.palette_;
    copy.allocate(other.width_, other.height_, bitsPerPixelOf(other.format_));
    if (other.data_ && copy.data_) std::memcpy(copy.data_, other.data_, other.byteSize());
    *this = std::move(copy);
    return *this;
}

Bitmap::Bitmap(Bitmap&& other) noexcept { *this = std::move(other); }

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

void Bitmap::allocate(int width, int height, int bpp) {
    if (width == 0 || height == 0) {
        width_ = height_ = stride_ = 0;
        buffer_.reset();
        data_ = nullptr;
        return;
    }
    limits::checkPictureSize(width, height);
    int stride = strideFor(width, bpp);
    auto buffer = std::make_unique<Buffer>(limits::checkedMul(static_cast<uint64_t>(stride), height));
    std::memset(buffer->data, 0, buffer->size);
    width_ = width;
    height_ = height;
    stride_ = stride;
    buffer_ = std::move(buffer);
    data_ = buffer_->data;
}

void Bitmap::setWidth(int width) { setSize(width, height_); }
void Bitmap::setHeight(int height) { setSize(width_, height); }

void Bitmap::setSize(int width, int height) {
    if (width == width_ && height == height_) return;
    if (width < 0 || height < 0) throw EInvalidGraphic("画像の大きさが不正です");
    Bitmap resized;
    resized.format_ = format_;
    resized.handleType_ = handleType_;
    resized.palette_ = palette_;
    resized.allocate(width, height, bitsPerPixelOf(format_));
    int rows = std::min(height, height_);
    size_t bytes = static_cast<size_t>((static_cast<int64_t>(std::min(width, width_)) * bitsPerPixelOf(format_) + 7) / 8);
    for (int y = 0; y < rows; ++y) std::memcpy(resized.scanLine(y), scanLine(y), bytes);
    *this = std::move(resized);
}

PixelFormat Bitmap::pixelFormat() const { return handleType_ == bmDDB ? pfDevice : format_; }

void Bitmap::setPixelFormat(PixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphic("画像フォーマットが不正です");
    if (format == pixelFormat()) return;
    PixelFormat target = format == pfDevice ? pf32bit : format;
    if (target != format_) {
        Bitmap converted;
        converted.format_ = target;
        if (target == pf1bit || target == pf4bit || target == pf8bit) converted.palette_ = defaultPaletteFor(target);
        converted.allocate(width_, height_, bitsPerPixelOf(target));
        std::vector<uint8_t> row(static_cast<size_t>(width_) * 3);
        for (int y = 0; y < height_; ++y) {
            unpackRow(scanLine(y), format_, palette_, width_, row.data());
            packRow(row.data(), target, converted.palette_, width_, converted.scanLine(y));
        }
        converted.handleType_ = handleType_;
        *this = std::move(converted);
    }
    handleType_ = format == pfDevice ? bmDDB : bmDIB;
}

void Bitmap::setHandleType(HandleType type) {
    if (type == handleType_) return;
    if (type == bmDDB) setPixelFormat(pfDevice);
    else handleType_ = bmDIB;
}

int Bitmap::bitsPerPixel() const { return empty() ? 0 : bitsPerPixelOf(format_); }

void Bitmap::setPalette(Palette palette) { palette_ = std::move(palette); }

QImage Bitmap::asQImage() const {
    if (empty()) return QImage();
    QImage::Format qf = QImage::Format_Invalid;
    switch (format_) {
    case pf1bit: qf = QImage::Format_Mono; break;
    case pf8bit: qf = QImage::Format_Indexed8; break;
    case pf15bit: qf = QImage::Format_RGB555; break;
    case pf16bit: qf = QImage::Format_RGB16; break;
    case pf24bit: qf = QImage::Format_BGR888; break;
    case pf32bit:
    case pfDevice: qf = QImage::Format_RGB32; break;
    case pf4bit: {
        QImage img(width_, height_, QImage::Format_Indexed8);
        for (int y = 0; y < height_; ++y) {
            const uint8_t* src = scanLine(y);
            uchar* dst = img.scanLine(y);
            for (int x = 0; x < width_; ++x) dst[x] = (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4);
        }
        QList<QRgb> table;
        for (const Rgb& c : palette_.entries()) table.push_back(qRgb(c.r, c.g, c.b));
        while (table.size() < 16) table.push_back(qRgb(0, 0, 0));
        img.setColorTable(table);
        return img;
    }
    case pfCustom: return QImage();
    }
    QImage img(data_, width_, height_, stride_, qf);
    if (format_ == pf1bit || format_ == pf8bit) {
        QList<QRgb> table;
        for (const Rgb& c : palette_.entries()) table.push_back(qRgb(c.r, c.g, c.b));
        int need = format_ == pf1bit ? 2 : 256;
        while (table.size() < need) table.push_back(qRgb(0, 0, 0));
        img.setColorTable(table);
    }
    return img;
}

QImage Bitmap::toDisplayImage() const {
    if (empty()) return QImage();
    QImage out(width_, height_, QImage::Format_RGB32);
    std::vector<uint8_t> row(static_cast<size_t>(width_) * 3);
    for (int y = 0; y < height_; ++y) {
        unpackRow(scanLine(y), format_, palette_, width_, row.data());
        packRow(row.data(), pf32bit, palette_, width_, out.scanLine(y));
    }
    return out;
}

Bitmap Bitmap::fromQImage(const QImage& image) {
    if (image.isNull()) return Bitmap();
    QImage src = image.convertToFormat(QImage::Format_BGR888);
    Bitmap bmp(src.width(), src.height(), pf24bit);
    size_t bytes = static_cast<size_t>(src.width()) * 3;
    for (int y = 0; y < src.height(); ++y) std::memcpy(bmp.scanLine(y), src.constScanLine(y), bytes);
    return bmp;
}

uint32_t Bitmap::pixelColor(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    uint8_t px[3];
    // Unpack just the one pixel: shift the row start so x lands at index 0 where the
    // format is byte-aligned; sub-byte formats unpack from the row start.
    std::vector<uint8_t> row(static_cast<size_t>(x + 1) * 3);
    unpackRow(scanLine(y), format_, palette_, x + 1, row.data());
    std::memcpy(px, row.data() + 3 * x, 3);
    return static_cast<uint32_t>(px[2]) | (static_cast<uint32_t>(px[1]) << 8) | (static_cast<uint32_t>(px[0]) << 16);
}

void Bitmap::paint(QPainter& painter, const QRectF& dest) const {
    if (empty()) return;
    QImage img = (format_ == pf32bit) ? toDisplayImage() : asQImage();
    bool smooth = painter.testRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(dest, img, QRectF(0, 0, width_, height_));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
}

std::unique_ptr<Graphic> Bitmap::clone() const { return std::make_unique<Bitmap>(*this); }

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
