// Byte source and sink of the GIF codec. The reader is a bounded cursor over the bytes in
// memory: every read is checked against what is present.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/ByteIO.h"
#include "formats/GIFImage.h"

class GifReader : public core::ByteReader {
public:
    GifReader(std::span<const uint8_t> bytes, TGIFImage* image)
        : core::ByteReader(bytes, prematureEnd), image_(image) {}

    // Decoded frame bytes so far, held to TGIFImage::kMaxTotalFrameBytes.
    uint64_t frameBytes = 0;

    // The byte at the cursor + ahead, or -1 past the end.
    int peek(size_t ahead = 0) const { return ahead < remaining() ? current()[ahead] : -1; }

    uint8_t byte() { return u8(); }
    uint16_t word() { return u16(); }
    // Reads data sub-blocks up to and including the terminator; each block is appended.
    std::vector<std::vector<uint8_t>> readSubBlocks() {
        std::vector<std::vector<uint8_t>> blocks;
        for (;;) {
            uint8_t n = byte();
            if (n == 0) break;
            auto block = bytes(n);
            blocks.emplace_back(block.begin(), block.end());
        }
        return blocks;
    }
    // Skips data sub-blocks up to the terminator or the end of the bytes.
    void skipSubBlocks() {
        while (!atEnd()) {
            uint8_t n = byte();
            if (n == 0) return;
            skip(std::min<size_t>(n, remaining()));
        }
    }
    void warning(const std::string& message) {
        if (image_) image_->warning(gsWarning, message);
    }
    TGIFImage* image() const { return image_; }

private:
    [[noreturn]] static void prematureEnd() { throw GIFException("Premature end of data"); }

    TGIFImage* image_;
};

class GifWriter : public core::ByteWriter {
public:
    using core::ByteWriter::ByteWriter;
    void byte(uint8_t b) { u8(b); }
    void word(uint16_t w) { u16(w); }
    // Writes data as sub-blocks of at most 255 bytes (no terminator).
    void subBlocks(const uint8_t* p, size_t n) {
        while (n > 0) {
            size_t k = std::min<size_t>(n, 255);
            byte(static_cast<uint8_t>(k));
            bytes(p, k);
            p += k;
            n -= k;
        }
    }
};

// Variable-length LZW of GIF: codes packed least significant bit first into sub-blocks of
// 255 bytes, a string table found through a hash keyed by prefix × 256 + pixel, and a
// Clear code whenever the next free code would exceed 4094.
class TLZWEncoder {
public:
    // Encodes width × height pixels (rows in the order given) into out, including the
    // minimum code size byte and the block terminator. Throws "Color not in color table"
    // for a pixel index not below colorCount.
    static void encode(GifWriter& out, const uint8_t* pixels, int width, int height,
                       bool interlaced, int minCodeSize, int colorCount);
};

// The alternative encoder: every pixel goes out as a literal code, with a Clear before the
// decoder's table would widen the codes, so the output needs no string table.
class TRLEEncoder {
public:
    static void encode(GifWriter& out, const uint8_t* pixels, int width, int height,
                       bool interlaced, int minCodeSize, int colorCount);
};

// Row order of an interlaced frame: rows 0, 8, 16, ...; 4, 12, ...; 2, 6, ...; 1, 3, ...
std::vector<int> interlacedRowOrder(int height);
