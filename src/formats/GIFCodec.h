// Byte source and sink of the GIF codec. The reader is a bounded cursor over the bytes in
// memory: every read is checked against what is present.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "formats/GIFImage.h"

class GifReader {
public:
    GifReader(std::span<const uint8_t> bytes, TGIFImage* image) : bytes_(bytes), image_(image) {}

    size_t pos = 0;
    // Decoded frame bytes so far, held to TGIFImage::kMaxTotalFrameBytes.
    uint64_t frameBytes = 0;

    size_t size() const { return bytes_.size(); }
    bool atEnd() const { return pos >= bytes_.size(); }
    size_t remaining() const { return atEnd() ? 0 : bytes_.size() - pos; }
    // The byte at pos + ahead, or -1 past the end.
    int peek(size_t ahead = 0) const {
        return pos + ahead < bytes_.size() ? bytes_[pos + ahead] : -1;
    }
    const uint8_t* current() const { return bytes_.data() + pos; }

    uint8_t byte() {
        if (atEnd()) throw GIFException("Premature end of data");
        return bytes_[pos++];
    }
    uint16_t word() {
        uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    void read(void* dst, size_t n) {
        if (n > remaining()) throw GIFException("Premature end of data");
        std::memcpy(dst, bytes_.data() + pos, n);
        pos += n;
    }
    void skip(size_t n) {
        if (n > remaining()) throw GIFException("Premature end of data");
        pos += n;
    }
    // Reads data sub-blocks up to and including the terminator; each block is appended.
    std::vector<std::vector<uint8_t>> readSubBlocks() {
        std::vector<std::vector<uint8_t>> blocks;
        for (;;) {
            uint8_t n = byte();
            if (n == 0) break;
            std::vector<uint8_t> block(n);
            read(block.data(), n);
            blocks.push_back(std::move(block));
        }
        return blocks;
    }
    // Skips data sub-blocks up to the terminator or the end of the bytes.
    void skipSubBlocks() {
        while (!atEnd()) {
            uint8_t n = bytes_[pos++];
            if (n == 0) return;
            pos += std::min<size_t>(n, remaining());
        }
    }
    void warning(const std::string& message) {
        if (image_) image_->warning(gsWarning, message);
    }
    TGIFImage* image() const { return image_; }

private:
    std::span<const uint8_t> bytes_;
    TGIFImage* image_;
};

class GifWriter {
public:
    explicit GifWriter(std::vector<uint8_t>& out) : out_(out) {}
    void byte(uint8_t b) { out_.push_back(b); }
    void word(uint16_t w) {
        out_.push_back(static_cast<uint8_t>(w));
        out_.push_back(static_cast<uint8_t>(w >> 8));
    }
    void bytes(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
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
    std::vector<uint8_t>& buffer() { return out_; }

private:
    std::vector<uint8_t>& out_;
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
