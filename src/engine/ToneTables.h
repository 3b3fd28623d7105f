// The 256-entry tables of the point operations and the byte kernels that apply them.
// Each builder returns the table one call of the operation uses; the *Valid functions are
// the operations' argument checks (false: the operation leaves the picture alone).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace engine {

using ToneTable = std::array<uint8_t, 256>;

ToneTable identityTable();
ToneTable brightTable(int Percent);
ToneTable contrastTable(int Percent);
ToneTable gammaTable(long double Value);
ToneTable lightTable(int Delta);
ToneTable linearTable(int Gain, int Offset);
ToneTable negativeTable();
ToneTable posterizationTable(int Levels);

bool brightValid(int Percent);
bool contrastValid(int Percent);
bool gammaValid(long double Value);
bool lightValid(int Delta);
bool linearValid(int Gain, int Offset);
bool posterizationValid(int Levels);

// outer ∘ inner: the table that applies inner, then outer.
inline ToneTable composeTables(const ToneTable& inner, const ToneTable& outer) {
    ToneTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = outer[inner[i]];
    return t;
}

// dst[i] = table[src[i]] for n bytes; src may equal dst. Eight bytes are looked up per
// step and stored as one word, which keeps the loop bound by the look-ups alone.
inline void lookupBytes(const uint8_t* src, uint8_t* dst, size_t n, const uint8_t* table) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint64_t a, b;
        std::memcpy(&a, src + i, 8);
        std::memcpy(&b, src + i + 8, 8);
        uint64_t oa = 0, ob = 0;
        for (int k = 0; k < 8; ++k) {
            oa |= static_cast<uint64_t>(table[(a >> (8 * k)) & 0xFF]) << (8 * k);
            ob |= static_cast<uint64_t>(table[(b >> (8 * k)) & 0xFF]) << (8 * k);
        }
        std::memcpy(dst + i, &oa, 8);
        std::memcpy(dst + i + 8, &ob, 8);
    }
    for (; i < n; ++i)
        dst[i] = table[src[i]];
}

// 32-bit pixels (blue, green, red, x): the three colour bytes go through table and the
// fourth byte becomes 255, as a conversion from the 24-bit layout writes it.
inline void lookupBgrx(const uint8_t* src, uint8_t* dst, size_t pixels, const uint8_t* table) {
    size_t i = 0;
    for (; i + 2 <= pixels; i += 2) {
        uint64_t a;
        std::memcpy(&a, src + 4 * i, 8);
        uint64_t o = 0xFF000000FF000000ull;
        o |= static_cast<uint64_t>(table[a & 0xFF]);
        o |= static_cast<uint64_t>(table[(a >> 8) & 0xFF]) << 8;
        o |= static_cast<uint64_t>(table[(a >> 16) & 0xFF]) << 16;
        o |= static_cast<uint64_t>(table[(a >> 32) & 0xFF]) << 32;
        o |= static_cast<uint64_t>(table[(a >> 40) & 0xFF]) << 40;
        o |= static_cast<uint64_t>(table[(a >> 48) & 0xFF]) << 48;
        std::memcpy(dst + 4 * i, &o, 8);
    }
    for (; i < pixels; ++i) {
        dst[4 * i] = table[src[4 * i]];
        dst[4 * i + 1] = table[src[4 * i + 1]];
        dst[4 * i + 2] = table[src[4 * i + 2]];
        dst[4 * i + 3] = 255;
    }
}

// Row kernels, vectorised where the processor allows (chosen once, same bytes as the
// portable versions below).
//   lookupRow:    dst[i] = table[src[i]] for n bytes (src may equal dst).
//   grayRow:      Y = (b × 117) shr 10 + (g × 601) shr 10 + (r × 306) shr 10 into all three.
//   sepiaRow:     Y as above; blue (Y × 619) shr 10, green (Y × 853) shr 10, red Y.
//   thresholdRow: all three bytes 255 when b + g + r >= limit, else 0.
void lookupRow(const uint8_t* src, uint8_t* dst, size_t n, const ToneTable& table);
void grayRow(uint8_t* pixels, size_t count);
void sepiaRow(uint8_t* pixels, size_t count);
void thresholdRow(uint8_t* pixels, size_t count, int limit);

// Byte counts of the three channels (blue, green, red) of a run of pixels. When every
// pixel is counted, each costs two counts instead of three: one of its blue and green
// together (a table of 65,536 counters, split into green's and blue's counts at the end)
// and one of its red; neighbouring pixels use different tables, so that pixels of the same
// value do not wait on each other's increments. Sampled pixels are counted by channel into
// four interleaved sets. Everything is added up at the end. The 32-bit counters cannot
// overflow: a picture holds at most 2^28 pixels. Callers that split a picture over row
// ranges give each range its own counts and add them up, which is exact.
struct ChannelCounts {
    uint32_t sets[4][3][256] = {};
    std::vector<uint32_t> pairs; // two tables of blue + 256 × green, made on first use
    // Counts every step-th pixel of a row of width pixels, starting with the first.
    void countRow(const uint8_t* row, int width, int step);
    // Adds the counts to totals[channel][value].
    void addTo(int64_t totals[3][256]) const;
};

namespace portable {
void lookupRow(const uint8_t* src, uint8_t* dst, size_t n, const uint8_t* table);
void grayRow(uint8_t* pixels, size_t count);
void sepiaRow(uint8_t* pixels, size_t count);
void thresholdRow(uint8_t* pixels, size_t count, int limit);
} // namespace portable

} // namespace engine
