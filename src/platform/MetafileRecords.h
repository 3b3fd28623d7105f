// Little-endian record building and bounded record reading shared by the metafile reader,
// writer, player and recording canvas. Record type numbers and flag values come from
// libuemf's headers.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <uemf.h>

namespace mf {

// Appends one record to a buffer: begin(type), fields, end() (pads to 4 bytes and fills
// in the size).
class RecordWriter {
public:
    explicit RecordWriter(std::vector<uint8_t>& out) : out_(out) {}
    void begin(uint32_t type) {
        start_ = out_.size();
        u32(type);
        u32(0);
    }
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) {
        out_.push_back(uint8_t(v));
        out_.push_back(uint8_t(v >> 8));
    }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(uint8_t(v >> (8 * i)));
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void f32(float v) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        u32(u);
    }
    void bytes(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    void pad4() {
        while ((out_.size() - start_) % 4) out_.push_back(0);
    }
    // Offset of the next byte from the record's start.
    uint32_t offset() const { return static_cast<uint32_t>(out_.size() - start_); }
    void end() {
        pad4();
        uint32_t size = offset();
        std::memcpy(out_.data() + start_ + 4, &size, 4);
    }
    // Patches a 32-bit field at an offset from the record's start.
    void patch32(uint32_t offsetInRecord, uint32_t v) {
        std::memcpy(out_.data() + start_ + offsetInRecord, &v, 4);
    }

private:
    std::vector<uint8_t>& out_;
    size_t start_ = 0;
};

// A bounded view of one record: reads outside the record yield zero and set ok() false,
// so a record whose fields lie cannot make the reader step outside its bytes.
class RecordReader {
public:
    RecordReader(const uint8_t* data, size_t size) : d_(data), n_(size) {}
    size_t size() const { return n_; }
    bool has(uint64_t offset, uint64_t bytes) const {
        return offset <= n_ && bytes <= n_ - offset;
    }
    uint8_t u8(size_t off) const {
        if (!has(off, 1)) return fail<uint8_t>();
        return d_[off];
    }
    uint16_t u16(size_t off) const {
        if (!has(off, 2)) return fail<uint16_t>();
        return uint16_t(d_[off] | (d_[off + 1] << 8));
    }
    int16_t i16(size_t off) const { return static_cast<int16_t>(u16(off)); }
    uint32_t u32(size_t off) const {
        if (!has(off, 4)) return fail<uint32_t>();
        return uint32_t(d_[off]) | (uint32_t(d_[off + 1]) << 8) | (uint32_t(d_[off + 2]) << 16) |
               (uint32_t(d_[off + 3]) << 24);
    }
    int32_t i32(size_t off) const { return static_cast<int32_t>(u32(off)); }
    float f32(size_t off) const {
        uint32_t u = u32(off);
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    const uint8_t* ptr(size_t off, uint64_t bytes) const {
        if (!has(off, bytes)) return fail<const uint8_t*>();
        return d_ + off;
    }
    bool ok() const { return ok_; }

private:
    template <class T> T fail() const {
        ok_ = false;
        return T{};
    }
    const uint8_t* d_;
    size_t n_;
    mutable bool ok_ = true;
};

inline constexpr uint32_t kEmfSignature = 0x464D4520; // " EMF"
inline constexpr size_t kEmfHeaderSize = 108;
// Most object slots a recording may declare (the header's count is 16 bits).
inline constexpr uint32_t kMaxHandles = 65535;
// Deepest SAVEDC nesting the player keeps.
inline constexpr size_t kMaxSavedStates = 4096;

// Colour values of records: 0x00BBGGRR, as TColor.
inline uint32_t colorRef(uint32_t v) { return v & 0xFFFFFF; }

} // namespace mf
