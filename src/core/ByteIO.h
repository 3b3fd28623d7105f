// Little-endian byte access for the file formats: loads and stores at a pointer, a bounded
// reader over a span that refuses to step past its end, and a writer appending to a vector.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/Exceptions.h"

namespace core {

inline uint16_t loadLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t loadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t loadBE32(const uint8_t* p) {
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}
inline void storeLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void storeLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A cursor over bytes in memory. Every read is checked against what is present: a read
// past the end calls the overrun handler, which throws (by default EInvalidGraphic
// "データが途中で切れています"); the cursor never moves past the end.
class ByteReader {
public:
    // Must throw; the reader throws the default error itself if it returns.
    using OverrunHandler = void (*)();

    explicit ByteReader(std::span<const uint8_t> bytes, OverrunHandler onOverrun = nullptr)
        : bytes_(bytes), onOverrun_(onOverrun) {}

    size_t size() const { return bytes_.size(); }
    size_t pos() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    bool atEnd() const { return pos_ >= bytes_.size(); }
    // True when n bytes can be read at the cursor.
    bool has(size_t n) const { return n <= remaining(); }
    // True when n bytes lie at offset from the start.
    bool has(size_t offset, size_t n) const {
        return offset <= bytes_.size() && n <= bytes_.size() - offset;
    }
    std::span<const uint8_t> data() const { return bytes_; }
    const uint8_t* current() const { return bytes_.data() + pos_; }

    void seek(size_t offset) {
        if (offset > bytes_.size()) overrun();
        pos_ = offset;
    }
    void skip(size_t n) {
        if (!has(n)) overrun();
        pos_ += n;
    }

    uint8_t u8() {
        if (!has(1)) overrun();
        return bytes_[pos_++];
    }
    uint16_t u16() { return loadLE16(take(2)); }
    uint32_t u32() { return loadLE32(take(4)); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // The next n bytes, as a view into the reader's span.
    std::span<const uint8_t> bytes(size_t n) { return {take(n), n}; }
    void read(void* dst, size_t n) {
        if (n) std::memcpy(dst, take(n), n);
    }

    // Reads at an offset from the start; the cursor stays where it is.
    uint8_t u8At(size_t offset) const { return *at(offset, 1); }
    uint16_t u16At(size_t offset) const { return loadLE16(at(offset, 2)); }
    uint32_t u32At(size_t offset) const { return loadLE32(at(offset, 4)); }
    int32_t i32At(size_t offset) const { return static_cast<int32_t>(u32At(offset)); }
    uint32_t be32At(size_t offset) const { return loadBE32(at(offset, 4)); }

private:
    const uint8_t* take(size_t n) {
        if (!has(n)) overrun();
        const uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }
    const uint8_t* at(size_t offset, size_t n) const {
        if (!has(offset, n)) overrun();
        return bytes_.data() + offset;
    }
    [[noreturn]] void overrun() const {
        if (onOverrun_) onOverrun_();
        throw EInvalidGraphic("データが途中で切れています");
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    OverrunHandler onOverrun_;
};

// Appends little-endian values to a vector it does not own.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

    size_t size() const { return out_.size(); }
    std::vector<uint8_t>& buffer() { return out_; }

    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) {
        uint8_t b[2];
        storeLE16(b, v);
        out_.insert(out_.end(), b, b + 2);
    }
    void u32(uint32_t v) {
        uint8_t b[4];
        storeLE32(b, v);
        out_.insert(out_.end(), b, b + 4);
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void zeros(size_t n) { out_.insert(out_.end(), n, uint8_t{0}); }
    // Overwrites a value already written at an offset from the buffer's start.
    void patch16(size_t offset, uint16_t v) { storeLE16(out_.data() + offset, v); }
    void patch32(size_t offset, uint32_t v) { storeLE32(out_.data() + offset, v); }

private:
    std::vector<uint8_t>& out_;
};

} // namespace core
