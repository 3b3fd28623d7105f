#include "platform/Icon.h"

#include <algorithm>
#include <cstring>
#include <string>

#include <QPainter>

#include "core/ByteIO.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"

namespace {

// How many of the best-ranked images are tried before the file is refused: a file whose
// best images are all damaged is not worth decoding every one of its entries.
constexpr size_t kMaxAttempts = 16;

[[noreturn]] void fail(const std::string& what) {
    throw EInvalidGraphic("アイコン ファイルが不正です: " + what);
}

using core::loadBE32;
using core::loadLE16;
using core::loadLE32;

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct Entry {
    std::span<const uint8_t> data;
    int64_t width = 0;
    int64_t height = 0;
    // width × height: both sides lie in 0 … 2^32 - 1, so the product always fits 64
    // unsigned bits, where a signed product of two PNG sides can overflow.
    uint64_t area = 0;
    int bits = 0;
    bool png = false;
    size_t index = 0;
};

// Size and depth of an image from its own header (the directory's numbers are only hints,
// and 0 there means 256). Returns false when the image has no readable header.
bool describe(Entry& e) {
    const uint8_t* p = e.data.data();
    size_t n = e.data.size();
    if (n >= 8 && std::memcmp(p, kPngSignature, 8) == 0) {
        // The IHDR chunk comes first: length, "IHDR", width, height, depth, colour type.
        if (n < 26 || std::memcmp(p + 12, "IHDR", 4) != 0) return false;
        e.png = true;
        e.width = loadBE32(p + 16);
        e.height = loadBE32(p + 20);
        int channels = 1;
        switch (p[25]) {
        case 2:
            channels = 3;
            break;
        case 4:
            channels = 2;
            break;
        case 6:
            channels = 4;
            break;
        default:
            channels = 1;
            break;
        }
        e.bits = p[24] * channels;
        e.area = uint64_t(e.width) * uint64_t(e.height);
        return true;
    }
    if (n < 16) return false;
    uint32_t header = loadLE32(p);
    if (header == 12) {
        e.width = loadLE16(p + 4);
        e.height = loadLE16(p + 6) / 2;
        e.bits = loadLE16(p + 10);
    } else if (header >= 40 && header <= 124 && n >= 16) {
        e.width = static_cast<int32_t>(loadLE32(p + 4));
        e.height = static_cast<int32_t>(loadLE32(p + 8)) / 2;
        e.bits = loadLE16(p + 14);
    } else {
        return false;
    }
    if (e.width <= 0 || e.height <= 0) return false;
    e.area = uint64_t(e.width) * uint64_t(e.height);
    return true;
}

QImage decodePng(const Entry& e) {
    limits::checkPictureToOpen(e.width, e.height, 32);
    QImage img;
    if (!img.loadFromData(e.data.data(),
                          static_cast<int>(std::min<size_t>(e.data.size(), INT32_MAX)), "PNG"))
        fail("PNG 画像を読めません");
    if (img.width() != e.width || img.height() != e.height) fail("PNG 画像の大きさが合いません");
    return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The colour image with its transparency: from the fourth bytes of a 32-bit image that
// uses them, otherwise from the AND mask (a set bit is a see-through pixel). A mask that
// the data does not hold leaves the image opaque.
QImage decodeDib(const Entry& e) {
    limits::checkPictureToOpen(e.width, e.height, 32);
    size_t maskOffset = 0;
    Bitmap colors = Bitmap::decodeIconDib(e.data, &maskOffset);
    if (colors.empty()) fail("画像が空です");
    const int w = colors.width(), h = colors.height();
    QImage img = colors.toDisplayImage().convertToFormat(QImage::Format_ARGB32);
    if (img.isNull()) throw EInvalidGraphic("画像のメモリを確保できません");

    bool alpha = false;
    if (colors.bitsPerPixel() == 32)
        for (int y = 0; y < h && !alpha; ++y)
            for (int x = 0; x < w && !alpha; ++x)
                alpha = colors.scanLine(y)[4 * x + 3] != 0;
    const uint64_t maskStride = ((uint64_t(w) + 31) / 32) * 4;
    const bool haveMask =
        maskOffset <= e.data.size() && e.data.size() - maskOffset >= maskStride * uint64_t(h);
    for (int y = 0; y < h; ++y) {
        auto* out = reinterpret_cast<QRgb*>(img.scanLine(y));
        if (alpha) {
            const uint8_t* src = colors.scanLine(y);
            for (int x = 0; x < w; ++x)
                out[x] = (out[x] & 0x00FFFFFFu) | (QRgb(src[4 * x + 3]) << 24);
        } else if (haveMask) {
            // Mask rows run from the bottom, like the colour rows.
            const uint8_t* mask = e.data.data() + maskOffset + size_t(h - 1 - y) * maskStride;
            for (int x = 0; x < w; ++x)
                if ((mask[x >> 3] >> (7 - (x & 7))) & 1) out[x] &= 0x00FFFFFFu;
        }
    }
    return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

void Icon::setWidth(int) {
    throw EInvalidGraphicOperation("アイコンの大きさは変えられません");
}
void Icon::setHeight(int) {
    throw EInvalidGraphicOperation("アイコンの大きさは変えられません");
}

void Icon::paint(QPainter& painter, const QRectF& dest) const {
    if (image_.isNull()) return;
    painter.drawImage(dest, image_, QRectF(0, 0, image_.width(), image_.height()));
}

std::unique_ptr<Graphic> Icon::clone() const {
    return std::make_unique<Icon>(*this);
}

void Icon::assign(const Graphic& source) {
    auto* icon = dynamic_cast<const Icon*>(&source);
    if (!icon) throw EConvertError(std::string(source.className()) + " を TIcon に代入できません");
    if (icon != this) *this = *icon;
}

void Icon::loadFromBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < 6 || loadLE16(bytes.data()) != 0 ||
        (loadLE16(bytes.data() + 2) != 1 && loadLE16(bytes.data() + 2) != 2))
        fail("アイコンの見出しがありません");
    const size_t count = loadLE16(bytes.data() + 4);
    if (count == 0) fail("画像がありません");
    if (bytes.size() < 6 + 16 * count) fail("画像の一覧が途中で切れています");

    std::vector<Entry> entries;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* d = bytes.data() + 6 + 16 * i;
        uint64_t size = loadLE32(d + 8), offset = loadLE32(d + 12);
        if (offset >= bytes.size()) continue;
        // A size reaching past the end keeps the bytes present.
        size = std::min<uint64_t>(size, bytes.size() - offset);
        Entry e;
        e.data = bytes.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
        e.index = i;
        if (describe(e)) entries.push_back(e);
    }
    if (entries.empty()) fail("読める画像がありません");
    // Largest first, then deepest, then in file order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.area != b.area) return a.area > b.area;
        return a.bits > b.bits;
    });

    std::string firstError;
    for (size_t k = 0; k < entries.size() && k < kMaxAttempts; ++k) {
        try {
            QImage img = entries[k].png ? decodePng(entries[k]) : decodeDib(entries[k]);
            bytes_.assign(bytes.begin(), bytes.end());
            image_ = std::move(img);
            imageCount_ = static_cast<int>(count);
            bitsPerPixel_ = entries[k].bits;
            return;
        } catch (const EInvalidGraphic& e) {
            if (firstError.empty()) firstError = e.what();
        }
    }
    throw EInvalidGraphic(firstError);
}

std::vector<uint8_t> Icon::saveToBytes() const {
    if (bytes_.empty()) throw EInvalidGraphic("保存するアイコンがありません");
    return bytes_;
}
