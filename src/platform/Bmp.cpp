// Windows bitmap files (.bmp) and packed device-independent bitmaps.
//
// Reading takes every header real programs write: the OS/2 core header (12 bytes, colour
// table of 3-byte entries), the OS/2 2.x header (16 to 64 bytes), the Windows INFO header
// (40 bytes, with its masks after it for BI_BITFIELDS), the 52- and 56-byte variants with
// the masks inside, and the V4 (108) and V5 (124) headers. Depths 1, 4, 8, 16, 24 and 32;
// BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS and BI_ALPHABITFIELDS; rows stored bottom-up
// (positive height) or top-down (negative height).
//
// The bitmap read keeps the file's layout where one of our formats matches it (1, 4, 8 bits
// with the colour table as palette; 16 bits 5-5-5 and 5-6-5; 24 bits; 32 bits with the
// blue, green, red byte order, whose fourth byte is kept as the file brought it). Other
// bit-field layouts become 24 bits (16-bit files) or 32 bits (32-bit files).
//
// Writing stores the bitmap in its own format, bottom-up, with the INFO header: a colour
// table for 1, 4 and 8 bits, BI_BITFIELDS masks for 5-6-5, plain BI_RGB otherwise.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "core/ByteIO.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"
#include "platform/Memory.h"

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiJpeg = 4;
constexpr uint32_t kBiPng = 5;
constexpr uint32_t kBiAlphaBitfields = 6;

constexpr size_t kFileHeaderSize = 14;

[[noreturn]] void fail(const std::string& what) {
    throw EInvalidGraphic("ビットマップ ファイルが不正です: " + what);
}

[[noreturn]] void truncated() {
    fail("データが途中で切れています");
}

using core::loadLE16;
using core::loadLE32;

// What the header of a DIB says, in a uniform shape.
struct DibHeader {
    uint32_t headerSize = 0;
    int64_t width = 0;
    int64_t height = 0; // the picture's, always positive
    bool topDown = false;
    int bitCount = 0;
    uint32_t compression = kBiRgb;
    uint32_t colorsUsed = 0;
    bool core = false;      // OS/2 core header: colour table entries of 3 bytes
    bool os2v2 = false;     // OS/2 2.x header: compression codes 3 and 4 mean other things
    uint32_t masks[4] = {}; // red, green, blue, alpha
    bool hasMasks = false;
    size_t tableOffset = 0; // where the colour table starts, from the start of the DIB
};

// One channel of a bit-field layout: where it sits and how to widen it to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
    uint8_t value(uint32_t px) const {
        if (bits == 0) return 0;
        uint32_t v = (px & mask) >> shift;
        if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
        // Repeat the high bits below the value, as 5-bit channels are widened elsewhere.
        uint32_t out = 0;
        int filled = 0;
        while (filled < 8) {
            out = (out << bits) | v;
            filled += bits;
        }
        return static_cast<uint8_t>(out >> (filled - 8));
    }
};

Channel channelOf(uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (mask == 0) return c;
    c.shift = std::countr_zero(mask);
    uint32_t m = mask >> c.shift;
    c.bits = std::countr_one(m);
    if (c.bits < 32 && (m >> c.bits) != 0) fail("ビット マスクが連続していません");
    return c;
}

// The header versions after the core header: OS/2 2.x (16 and 64 bytes), INFO (40),
// V2 (52), V3 (56), V4 (108) and V5 (124). Any other size is no header this reader knows.
bool isKnownInfoHeaderSize(uint32_t size) {
    switch (size) {
    case 16:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
        return true;
    default:
        return false;
    }
}

DibHeader parseHeader(std::span<const uint8_t> dib) {
    DibHeader h;
    if (dib.size() < 12) fail("ヘッダーが短すぎます");
    core::ByteReader in(dib, truncated);
    h.headerSize = in.u32At(0);
    if (h.headerSize == 12) {
        h.core = true;
        h.width = in.u16At(4);
        h.height = in.u16At(6);
        h.bitCount = in.u16At(10);
    } else if (isKnownInfoHeaderSize(h.headerSize)) {
        if (dib.size() < h.headerSize) fail("ヘッダーが短すぎます");
        // Fields the header is too short to carry read as zero (OS/2 2.x headers may stop
        // after any field).
        uint8_t padded[124] = {};
        std::memcpy(padded, dib.data(), h.headerSize);
        const core::ByteReader full(padded, truncated);
        h.width = full.i32At(4);
        int64_t height = full.i32At(8);
        h.bitCount = full.u16At(14);
        h.compression = full.u32At(16);
        h.colorsUsed = full.u32At(32);
        h.os2v2 = h.headerSize == 16 || h.headerSize == 64;
        h.topDown = height < 0;
        h.height = height < 0 ? -height : height;
        if (h.headerSize >= 52) {
            h.masks[0] = full.u32At(40);
            h.masks[1] = full.u32At(44);
            h.masks[2] = full.u32At(48);
            h.hasMasks = true;
        }
        if (h.headerSize >= 56) h.masks[3] = full.u32At(52);
    } else {
        fail("ヘッダーの大きさ " + std::to_string(h.headerSize) + " は扱えません");
    }
    h.tableOffset = h.headerSize;
    if (h.width < 0) fail("幅が負です");
    // A picture of no pixels is no picture; the window and pwtool refuse it alike.
    if (h.width == 0 || h.height == 0) fail("幅か高さが 0 のビットマップは扱えません");
    if (h.os2v2 && h.compression == 3) fail("OS/2 のハフマン圧縮は扱えません");
    if (h.os2v2 && h.compression == 4) fail("OS/2 の RLE24 圧縮は扱えません");
    if (h.compression == kBiJpeg || h.compression == kBiPng)
        fail("JPEG・PNG を埋め込んだビットマップは扱えません");
    if (h.compression == kBiBitfields || h.compression == kBiAlphaBitfields) {
        if (h.bitCount != 16 && h.bitCount != 32)
            fail("ビット フィールドは 16 か 32 ビットだけです");
        if (h.headerSize == 40) {
            // The masks follow the INFO header.
            size_t n = h.compression == kBiAlphaBitfields ? 4 : 3;
            if (dib.size() < 40 + 4 * n) fail("ビット マスクがありません");
            for (size_t i = 0; i < n; ++i)
                h.masks[i] = in.u32At(40 + 4 * i);
            h.hasMasks = true;
            h.tableOffset = 40 + 4 * n;
        }
        if (!h.hasMasks) fail("ビット マスクがありません");
        // A mask reaching past a 16-bit pixel names bits the file does not hold.
        if (h.bitCount == 16)
            for (uint32_t mask : h.masks)
                if (mask > 0xFFFF) fail("ビット マスクが画素の外にあります");
    } else {
        // Masks in a header only count with the bit-field compressions.
        h.hasMasks = false;
        if (h.compression == kBiRle8 && h.bitCount != 8) fail("RLE8 は 8 ビットだけです");
        if (h.compression == kBiRle4 && h.bitCount != 4) fail("RLE4 は 4 ビットだけです");
        if (h.compression != kBiRgb && h.compression != kBiRle8 && h.compression != kBiRle4)
            fail("圧縮形式 " + std::to_string(h.compression) + " は扱えません");
    }
    switch (h.bitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        fail(std::to_string(h.bitCount) + " ビットの画素は扱えません");
    }
    if ((h.compression == kBiRle8 || h.compression == kBiRle4) && h.topDown)
        fail("上から下へ並ぶ RLE 圧縮は扱えません");
    limits::checkPictureToOpen(h.width, h.height, h.bitCount, true);
    return h;
}

Palette readColorTable(std::span<const uint8_t> dib, const DibHeader& h, size_t end) {
    if (h.bitCount > 8) return Palette();
    size_t entrySize = h.core ? 3 : 4;
    size_t count = size_t(1) << h.bitCount;
    if (!h.core && h.colorsUsed != 0 && h.colorsUsed < count) count = h.colorsUsed;
    // A table cut short by the pixel offset or the end of the data keeps the entries present.
    end = std::min(end, dib.size());
    if (h.tableOffset >= end)
        count = 0;
    else
        count = std::min(count, (end - h.tableOffset) / entrySize);
    std::vector<Rgb> entries(count);
    const uint8_t* p = dib.data() + h.tableOffset;
    for (size_t i = 0; i < count; ++i, p += entrySize)
        entries[i] = {p[2], p[1], p[0]};
    return Palette(std::move(entries));
}

size_t tableBytes(const DibHeader& h) {
    if (h.bitCount > 8) return 0;
    size_t count = size_t(1) << h.bitCount;
    if (!h.core && h.colorsUsed != 0 && h.colorsUsed < count) count = h.colorsUsed;
    return count * (h.core ? 3 : 4);
}

// Rows of an uncompressed DIB, whose size decode() has checked.
void readUncompressed(std::span<const uint8_t> px, const DibHeader& h, Bitmap& bmp) {
    const int width = static_cast<int>(h.width), height = static_cast<int>(h.height);
    const uint64_t stride = ((uint64_t(h.width) * uint64_t(h.bitCount) + 31) / 32) * 4;
    const uint64_t rowBytes = (uint64_t(h.width) * uint64_t(h.bitCount) + 7) / 8;
    auto fileRow = [&](int y) {
        size_t r = h.topDown ? size_t(y) : size_t(height - 1 - y);
        return px.data() + r * stride;
    };
    const PixelFormat f = bmp.pixelFormat();
    const bool direct = h.bitCount <= 8 || (h.bitCount == 16 && (f == pf15bit || f == pf16bit)) ||
                        h.bitCount == 24 || (h.bitCount == 32 && f == pf32bit && !h.hasMasks);
    if (direct) {
        for (int y = 0; y < height; ++y)
            std::memcpy(bmp.scanLine(y), fileRow(y), rowBytes);
        if (h.bitCount < 8) {
            // Bits past the picture's width in the last byte are cleared, so equal pictures
            // are equal bitmaps whatever a writer left there.
            int used = static_cast<int>((uint64_t(width) * uint64_t(h.bitCount)) % 8);
            if (used)
                for (int y = 0; y < height; ++y)
                    bmp.scanLine(y)[rowBytes - 1] &= static_cast<uint8_t>(0xFF << (8 - used));
        }
        return;
    }
    // A bit-field layout: 16-bit words into 24-bit pixels, 32-bit words into 32-bit pixels.
    const Channel r = channelOf(h.masks[0]), g = channelOf(h.masks[1]), b = channelOf(h.masks[2]);
    const Channel a = channelOf(h.masks[3]);
    const bool useAlpha = h.masks[3] != 0 && f == pf32bit;
    for (int y = 0; y < height; ++y) {
        const uint8_t* s = fileRow(y);
        uint8_t* d = bmp.scanLine(y);
        if (h.bitCount == 16) {
            for (int x = 0; x < width; ++x, s += 2, d += 3) {
                uint32_t v = loadLE16(s);
                d[0] = b.value(v);
                d[1] = g.value(v);
                d[2] = r.value(v);
            }
        } else {
            for (int x = 0; x < width; ++x, s += 4, d += 4) {
                uint32_t v = loadLE32(s);
                d[0] = b.value(v);
                d[1] = g.value(v);
                d[2] = r.value(v);
                d[3] = useAlpha ? a.value(v) : 255;
            }
        }
    }
}

// Run-length coded pixels (RLE8 or RLE4), rows from the bottom. Pixels the codes skip
// (end of line, deltas, an early end) stay at index 0. Data that ends before the end-of-
// bitmap code keeps the rows decoded so far, as other readers do. Pixels past the right
// edge are dropped; codes that move past the top end the picture.
void readRle(std::span<const uint8_t> px, const DibHeader& h, Bitmap& bmp) {
    const bool four = h.compression == kBiRle4;
    const int64_t width = h.width, height = h.height;
    int64_t x = 0, y = 0; // y counts rows from the bottom
    auto put = [&](unsigned index) {
        if (x < width && y < height) {
            uint8_t* row = bmp.scanLine(static_cast<int>(height - 1 - y));
            if (four) {
                uint8_t& byte = row[x >> 1];
                byte = (x & 1) ? static_cast<uint8_t>((byte & 0xF0) | (index & 15))
                               : static_cast<uint8_t>((byte & 0x0F) | (index << 4));
            } else {
                row[x] = static_cast<uint8_t>(index);
            }
        }
        ++x;
    };
    size_t i = 0;
    const size_t n = px.size();
    while (i + 1 < n && y < height) {
        unsigned count = px[i], value = px[i + 1];
        i += 2;
        if (count > 0) {
            // Encoded run; nothing past the right edge is kept, so stop counting there.
            unsigned todo =
                static_cast<unsigned>(std::min<int64_t>(count, std::max<int64_t>(0, width - x)));
            for (unsigned k = 0; k < todo; ++k)
                put(four ? ((k & 1) ? value & 15 : value >> 4) : value);
            x += count - todo;
            continue;
        }
        if (value == 0) { // end of line
            x = 0;
            ++y;
        } else if (value == 1) { // end of bitmap
            break;
        } else if (value == 2) { // delta
            if (i + 1 >= n) break;
            x += px[i];
            y += px[i + 1];
            i += 2;
        } else { // absolute run of value pixels, padded to a 16-bit boundary
            size_t bytes = four ? (value + 1) / 2 : value;
            size_t padded = (bytes + 1) & ~size_t(1);
            size_t avail = std::min(bytes, n - i);
            for (unsigned k = 0; k < value; ++k) {
                size_t at = four ? k / 2 : k;
                if (at >= avail) break;
                put(four ? ((k & 1) ? px[i + at] & 15 : px[i + at] >> 4) : px[i + at]);
            }
            i += std::min(padded, n - i);
        }
    }
}

Bitmap decode(std::span<const uint8_t> dib, const DibHeader& h, size_t pixelOffset) {
    PixelFormat f = pf24bit;
    switch (h.bitCount) {
    case 1:
        f = pf1bit;
        break;
    case 4:
        f = pf4bit;
        break;
    case 8:
        f = pf8bit;
        break;
    case 16:
        if (!h.hasMasks || (h.masks[0] == 0x7C00 && h.masks[1] == 0x03E0 && h.masks[2] == 0x001F))
            f = pf15bit;
        else if (h.masks[0] == 0xF800 && h.masks[1] == 0x07E0 && h.masks[2] == 0x001F)
            f = pf16bit;
        else
            f = pf24bit;
        break;
    case 24:
        f = pf24bit;
        break;
    case 32:
        f = pf32bit;
        break;
    }
    // The standard 32-bit byte order with bit fields reads like BI_RGB.
    DibHeader hh = h;
    if (h.bitCount == 32 && h.hasMasks && h.masks[0] == 0xFF0000 && h.masks[1] == 0xFF00 &&
        h.masks[2] == 0xFF)
        hh.hasMasks = false;
    if (h.bitCount == 16 && f != pf24bit) hh.hasMasks = false;

    Palette palette = readColorTable(dib, h, pixelOffset);
    if (pixelOffset > dib.size()) fail("画素データがありません");
    std::span<const uint8_t> px = dib.subspan(pixelOffset);

    Bitmap bmp(0, 0, f);
    if (h.width == 0 || h.height == 0) return bmp;
    if (h.compression != kBiRle8 && h.compression != kBiRle4) {
        // Checked before any pixel memory is taken, so a short file cannot claim a huge
        // picture. The last row may lack its padding, which some writers drop.
        const uint64_t stride = ((uint64_t(h.width) * uint64_t(h.bitCount) + 31) / 32) * 4;
        const uint64_t rowBytes = (uint64_t(h.width) * uint64_t(h.bitCount) + 7) / 8;
        if (uint64_t(px.size()) < stride * uint64_t(h.height - 1) + rowBytes)
            fail("画素データが途中で切れています");
    }
    bmp = Bitmap(static_cast<int>(h.width), static_cast<int>(h.height), f);
    if (h.bitCount <= 8) bmp.setPalette(std::move(palette));
    if (h.compression == kBiRle8 || h.compression == kBiRle4)
        readRle(px, hh, bmp);
    else
        readUncompressed(px, hh, bmp);
    return bmp;
}

// Header, colour table and masks of a DIB for the bitmap, followed by nothing.
std::vector<uint8_t> dibHeaderFor(const Bitmap& bmp, size_t extraAfter) {
    PixelFormat f = bmp.pixelFormat();
    int bpp = bmp.empty() ? bitsPerPixelOf(f) : bmp.bitsPerPixel();
    if (f == pfDevice) bpp = 32;
    uint32_t compression = f == pf16bit ? kBiBitfields : kBiRgb;
    size_t colors = 0;
    if (bpp <= 8) colors = std::min<size_t>(size_t(bmp.palette().size()), size_t(1) << bpp);
    size_t header = 40 + (f == pf16bit ? 12 : 0) + 4 * colors;
    uint64_t stride = ((uint64_t(bmp.width()) * uint64_t(bpp) + 31) / 32) * 4;
    uint64_t image = stride * uint64_t(bmp.height());
    // extraAfter: room the caller will append (the rows), so the buffer grows only once.
    std::vector<uint8_t> out;
    out.reserve(header + extraAfter);
    adviseHugePages(out.data(), out.capacity());
    core::ByteWriter w(out);
    w.u32(40);
    w.i32(bmp.width());
    w.i32(bmp.height());
    w.u16(1);
    w.u16(static_cast<uint16_t>(bpp));
    w.u32(compression);
    w.u32(static_cast<uint32_t>(image));
    // 96 dots per inch, in pixels per metre.
    w.u32(3780);
    w.u32(3780);
    w.u32(static_cast<uint32_t>(colors));
    w.u32(0);
    if (f == pf16bit) {
        w.u32(0xF800);
        w.u32(0x07E0);
        w.u32(0x001F);
    }
    for (size_t i = 0; i < colors; ++i) {
        const Rgb& c = bmp.palette()[static_cast<int>(i)];
        const uint8_t entry[4] = {c.b, c.g, c.r, 0};
        w.bytes(entry, 4);
    }
    return out;
}

// Appends the rows bottom-up. Rows are inserted rather than resized and copied, so the
// buffer (reserved by the caller) is written once.
void appendRows(const Bitmap& bmp, std::vector<uint8_t>& out) {
    const size_t stride = static_cast<size_t>(bmp.stride());
    for (int y = bmp.height() - 1; y >= 0; --y) {
        const uint8_t* row = bmp.scanLine(y);
        out.insert(out.end(), row, row + stride);
    }
}

} // namespace

Bitmap Bitmap::decodeDib(std::span<const uint8_t> dib, size_t pixelOffset) {
    DibHeader h = parseHeader(dib);
    if (pixelOffset == 0) pixelOffset = h.tableOffset + tableBytes(h);
    return decode(dib, h, pixelOffset);
}

Bitmap Bitmap::decodeIconDib(std::span<const uint8_t> dib, size_t* maskOffset) {
    DibHeader h = parseHeader(dib);
    if (h.topDown) fail("アイコンの画像が上下逆です");
    if (h.compression != kBiRgb && h.compression != kBiBitfields)
        fail("圧縮されたアイコン画像は扱えません");
    // The header's height covers the colour image and the AND mask below it.
    h.height /= 2;
    size_t pixelOffset = h.tableOffset + tableBytes(h);
    uint64_t stride = ((uint64_t(h.width) * uint64_t(h.bitCount) + 31) / 32) * 4;
    if (maskOffset) *maskOffset = static_cast<size_t>(pixelOffset + stride * uint64_t(h.height));
    return decode(dib, h, pixelOffset);
}

void Bitmap::loadFromDib(std::span<const uint8_t> dib) {
    *this = decodeDib(dib, 0);
}

std::vector<uint8_t> Bitmap::saveToDib() const {
    std::vector<uint8_t> out = dibHeaderFor(*this, byteSize());
    appendRows(*this, out);
    return out;
}

void Bitmap::loadFromBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFileHeaderSize + 12 || bytes[0] != 'B' || bytes[1] != 'M')
        fail("先頭が BM ではありません");
    std::span<const uint8_t> dib = bytes.subspan(kFileHeaderSize);
    DibHeader h = parseHeader(dib);
    // Pixels start where the file header says; writers that leave the offset at zero or
    // point inside the headers get the usual place after the colour table.
    size_t after = h.tableOffset + tableBytes(h);
    uint32_t offBits = loadLE32(bytes.data() + 10);
    size_t pixelOffset = after;
    if (offBits >= kFileHeaderSize + h.tableOffset && offBits <= bytes.size())
        pixelOffset = offBits - kFileHeaderSize;
    *this = decode(dib, h, pixelOffset);
}

std::vector<uint8_t> Bitmap::saveToBytes() const {
    std::vector<uint8_t> header = dibHeaderFor(*this, 0);
    uint64_t total = kFileHeaderSize + header.size() + byteSize();
    if (total > 0xFFFFFFFFu) throw EInvalidGraphic("ビットマップ ファイルには大きすぎます");
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(total));
    adviseHugePages(out.data(), out.capacity());
    core::ByteWriter w(out);
    w.u8('B');
    w.u8('M');
    w.u32(static_cast<uint32_t>(total));
    w.u32(0);
    w.u32(static_cast<uint32_t>(kFileHeaderSize + header.size()));
    w.bytes(header.data(), header.size());
    appendRows(*this, out);
    return out;
}
