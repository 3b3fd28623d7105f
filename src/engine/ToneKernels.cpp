// Row kernels of the point operations. Each has a portable version and, where the
// processor offers it, a vector version chosen once at start; both give the same bytes
// (the vector arithmetic is the same integer arithmetic, see each kernel).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PW_X86 1
#endif

#include "engine/ToneTables.h"
#include "engine/VectorLevel.h"

namespace engine {

namespace portable {

void lookupRow(const uint8_t* src, uint8_t* dst, size_t n, const uint8_t* table) {
    lookupBytes(src, dst, n, table);
}

void grayRow(uint8_t* p, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, p += 3) {
        const auto y = static_cast<uint8_t>(((p[0] * 117u) >> 10) + ((p[1] * 601u) >> 10) +
                                            ((p[2] * 306u) >> 10));
        p[0] = p[1] = p[2] = y;
    }
}

void sepiaRow(uint8_t* p, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i, p += 3) {
        const unsigned y = ((p[0] * 117u) >> 10) + ((p[1] * 601u) >> 10) + ((p[2] * 306u) >> 10);
        p[0] = static_cast<uint8_t>((y * 619u) >> 10);
        p[1] = static_cast<uint8_t>((y * 853u) >> 10);
        p[2] = static_cast<uint8_t>(y);
    }
}

void thresholdRow(uint8_t* p, size_t pixels, int limit) {
    for (size_t i = 0; i < pixels; ++i, p += 3) {
        const uint8_t v = static_cast<int>(p[0] + p[1] + p[2]) >= limit ? 255 : 0;
        p[0] = p[1] = p[2] = v;
    }
}

} // namespace portable

#ifdef PW_X86
namespace {

// Shuffle masks between 48 bytes of 16 pixels (blue, green, red interleaved) and three
// vectors of 16 bytes, one per channel. Entry 0x80 makes the shuffle write zero.
using Mask = std::array<uint8_t, 16>;

constexpr Mask gatherMask(int channel, int source) {
    Mask m{};
    for (int j = 0; j < 16; ++j) {
        const int pos = 3 * j + channel;
        m[static_cast<size_t>(j)] = pos / 16 == source ? static_cast<uint8_t>(pos % 16) : 0x80;
    }
    return m;
}

constexpr Mask scatterMask(int part, int channel) {
    Mask m{};
    for (int i = 0; i < 16; ++i) {
        const int q = 16 * part + i;
        m[static_cast<size_t>(i)] = q % 3 == channel ? static_cast<uint8_t>(q / 3) : 0x80;
    }
    return m;
}

constexpr std::array<std::array<Mask, 3>, 3> kGather = {{
    {gatherMask(0, 0), gatherMask(0, 1), gatherMask(0, 2)},
    {gatherMask(1, 0), gatherMask(1, 1), gatherMask(1, 2)},
    {gatherMask(2, 0), gatherMask(2, 1), gatherMask(2, 2)},
}};

constexpr std::array<std::array<Mask, 3>, 3> kScatter = {{
    {scatterMask(0, 0), scatterMask(0, 1), scatterMask(0, 2)},
    {scatterMask(1, 0), scatterMask(1, 1), scatterMask(1, 2)},
    {scatterMask(2, 0), scatterMask(2, 1), scatterMask(2, 2)},
}};

#define PW_SSSE3 __attribute__((target("ssse3")))

PW_SSSE3 inline __m128i loadMask(const Mask& m) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(m.data()));
}

// Splits 16 pixels into their blue, green and red bytes.
PW_SSSE3 inline void gather(const uint8_t* p, __m128i channels[3]) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    for (int ch = 0; ch < 3; ++ch) {
        const auto& m = kGather[static_cast<size_t>(ch)];
        channels[ch] = _mm_or_si128(
            _mm_or_si128(_mm_shuffle_epi8(a, loadMask(m[0])), _mm_shuffle_epi8(b, loadMask(m[1]))),
            _mm_shuffle_epi8(c, loadMask(m[2])));
    }
}

// Writes 16 pixels back from their three channel vectors.
PW_SSSE3 inline void scatter(uint8_t* p, const __m128i channels[3]) {
    for (int part = 0; part < 3; ++part) {
        const auto& m = kScatter[static_cast<size_t>(part)];
        const __m128i out =
            _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(channels[0], loadMask(m[0])),
                                      _mm_shuffle_epi8(channels[1], loadMask(m[1]))),
                         _mm_shuffle_epi8(channels[2], loadMask(m[2])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * part), out);
    }
}

// (v × k) shr 10 for bytes v held in 16-bit lanes: the high half of v × (k × 64), exactly.
PW_SSSE3 inline __m128i mulShr10(__m128i v, int k) {
    return _mm_mulhi_epu16(v, _mm_set1_epi16(static_cast<short>(k * 64)));
}

// Y = (b × 117) shr 10 + (g × 601) shr 10 + (r × 306) shr 10, in 16-bit lanes (low or high
// eight pixels).
PW_SSSE3 inline __m128i luma16(const __m128i ch[3], bool high) {
    const __m128i zero = _mm_setzero_si128();
    auto widen = [&](__m128i v) {
        return high ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
    };
    return _mm_add_epi16(_mm_add_epi16(mulShr10(widen(ch[0]), 117), mulShr10(widen(ch[1]), 601)),
                         mulShr10(widen(ch[2]), 306));
}

PW_SSSE3 void grayRowSsse3(uint8_t* p, size_t pixels) {
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16, p += 48) {
        __m128i ch[3];
        gather(p, ch);
        const __m128i y = _mm_packus_epi16(luma16(ch, false), luma16(ch, true));
        const __m128i out[3] = {y, y, y};
        scatter(p, out);
    }
    portable::grayRow(p, pixels - i);
}

PW_SSSE3 void sepiaRowSsse3(uint8_t* p, size_t pixels) {
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16, p += 48) {
        __m128i ch[3];
        gather(p, ch);
        const __m128i lo = luma16(ch, false), hi = luma16(ch, true);
        const __m128i out[3] = {
            _mm_packus_epi16(mulShr10(lo, 619), mulShr10(hi, 619)),
            _mm_packus_epi16(mulShr10(lo, 853), mulShr10(hi, 853)),
            _mm_packus_epi16(lo, hi),
        };
        scatter(p, out);
    }
    portable::sepiaRow(p, pixels - i);
}

PW_SSSE3 void thresholdRowSsse3(uint8_t* p, size_t pixels, int limit) {
    // b + g + r >= limit  <=>  b + g + r > limit - 1 (sums are at most 765, limit 0..768).
    const __m128i below = _mm_set1_epi16(static_cast<short>(limit - 1));
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= pixels; i += 16, p += 48) {
        __m128i ch[3];
        gather(p, ch);
        auto sum = [&](bool high) {
            auto widen = [&](__m128i v) {
                return high ? _mm_unpackhi_epi8(v, zero) : _mm_unpacklo_epi8(v, zero);
            };
            return _mm_add_epi16(_mm_add_epi16(widen(ch[0]), widen(ch[1])), widen(ch[2]));
        };
        const __m128i v =
            _mm_packs_epi16(_mm_cmpgt_epi16(sum(false), below), _mm_cmpgt_epi16(sum(true), below));
        const __m128i out[3] = {v, v, v};
        scatter(p, out);
    }
    portable::thresholdRow(p, pixels - i, limit);
}

#define PW_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// 64 look-ups at once: two two-register permutes cover the table's lower and upper
// halves, and each byte's top bit picks between them.
PW_VBMI void lookupRowVbmi(const uint8_t* src, uint8_t* dst, size_t n, const uint8_t* table) {
    const __m512i t0 = _mm512_loadu_si512(table);
    const __m512i t1 = _mm512_loadu_si512(table + 64);
    const __m512i t2 = _mm512_loadu_si512(table + 128);
    const __m512i t3 = _mm512_loadu_si512(table + 192);
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i v = _mm512_loadu_si512(src + i);
        const __m512i lo = _mm512_permutex2var_epi8(t0, v, t1);
        const __m512i hi = _mm512_permutex2var_epi8(t2, v, t3);
        _mm512_storeu_si512(dst + i, _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), lo, hi));
    }
    _mm256_zeroupper(); // the remainder runs narrower code
    lookupBytes(src + i, dst + i, n - i, table);
}

// Grey and sepia 64 pixels at a time: two-register byte permutes split 192 bytes into
// the three channels and put the results back, with the same 16-bit arithmetic as above.
struct WidePermutes {
    uint8_t split[3][64];     // channel c of pixel i from the first two registers
    uint8_t splitHigh[3][64]; // ... and from the third one (where splitFromHigh is set)
    uint64_t splitFromHigh[3];
    uint8_t join[3][64];    // result register k: byte j from pixel (64k + j) / 3
    uint8_t joinTwo[3][64]; // from blue (0..63) and green (64..127) by channel
    uint8_t joinRed[3][64]; // from red, where joinFromRed is set
    uint64_t joinFromRed[3];
    constexpr WidePermutes()
        : split{}, splitHigh{}, splitFromHigh{}, join{}, joinTwo{}, joinRed{}, joinFromRed{} {
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 64; ++i) {
                const int pos = 3 * i + c;
                if (pos < 128) {
                    split[c][i] = uint8_t(pos);
                } else {
                    splitHigh[c][i] = uint8_t(pos - 128);
                    splitFromHigh[c] |= uint64_t(1) << i;
                }
            }
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 64; ++j) {
                const int pos = 64 * k + j, pixel = pos / 3, channel = pos % 3;
                join[k][j] = uint8_t(pixel);
                if (channel == 2) {
                    joinRed[k][j] = uint8_t(pixel);
                    joinFromRed[k] |= uint64_t(1) << j;
                } else {
                    joinTwo[k][j] = uint8_t(pixel + 64 * channel);
                }
            }
    }
};
constexpr WidePermutes kWide;

PW_VBMI inline __m512i loadWide(const uint8_t* p) {
    return _mm512_loadu_si512(p);
}

// The three channels of 64 pixels.
PW_VBMI inline void splitWide(const uint8_t* p, __m512i channels[3]) {
    const __m512i a = loadWide(p), b = loadWide(p + 64), c = loadWide(p + 128);
    for (int ch = 0; ch < 3; ++ch)
        channels[ch] =
            _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(a, loadWide(kWide.split[ch]), b),
                                         kWide.splitFromHigh[ch], loadWide(kWide.splitHigh[ch]), c);
}

PW_VBMI inline __m512i mulShr10Wide(__m512i v, int k) {
    return _mm512_mulhi_epu16(v, _mm512_set1_epi16(static_cast<short>(k * 64)));
}

// Sixteen-bit lanes from the bytes of each 128-bit lane's lower or upper half, and back:
// packing the two halves' results restores the bytes' order.
PW_VBMI inline __m512i widenHalf(__m512i v, bool high) {
    const __m512i zero = _mm512_setzero_si512();
    return high ? _mm512_unpackhi_epi8(v, zero) : _mm512_unpacklo_epi8(v, zero);
}

PW_VBMI inline __m512i bytesWide(__m512i lo, __m512i hi) {
    return _mm512_packus_epi16(lo, hi);
}

// The luminance of half of the 64 pixels (as widenHalf picks them) in 16-bit lanes.
PW_VBMI inline __m512i lumaWide(const __m512i ch[3], bool high) {
    return _mm512_add_epi16(_mm512_add_epi16(mulShr10Wide(widenHalf(ch[0], high), 117),
                                             mulShr10Wide(widenHalf(ch[1], high), 601)),
                            mulShr10Wide(widenHalf(ch[2], high), 306));
}

PW_VBMI void grayRowVbmi(uint8_t* p, size_t pixels) {
    size_t i = 0;
    for (; i + 64 <= pixels; i += 64, p += 192) {
        __m512i ch[3];
        splitWide(p, ch);
        const __m512i lo = lumaWide(ch, false), hi = lumaWide(ch, true);
        const __m512i y = bytesWide(lo, hi);
        for (int k = 0; k < 3; ++k)
            _mm512_storeu_si512(p + 64 * k, _mm512_maskz_permutexvar_epi8(
                                                ~uint64_t(0), loadWide(kWide.join[k]), y));
    }
    _mm256_zeroupper(); // the remainder runs narrower code
    grayRowSsse3(p, pixels - i);
}

PW_VBMI void thresholdRowVbmi(uint8_t* p, size_t pixels, int limit) {
    // b + g + r >= limit  <=>  b + g + r > limit - 1 (sums are at most 765, limit 0..768).
    const __m512i below = _mm512_set1_epi16(static_cast<short>(limit - 1));
    size_t i = 0;
    for (; i + 64 <= pixels; i += 64, p += 192) {
        __m512i ch[3];
        splitWide(p, ch);
        const __m512i lo =
            _mm512_add_epi16(_mm512_add_epi16(widenHalf(ch[0], false), widenHalf(ch[1], false)),
                             widenHalf(ch[2], false));
        const __m512i hi =
            _mm512_add_epi16(_mm512_add_epi16(widenHalf(ch[0], true), widenHalf(ch[1], true)),
                             widenHalf(ch[2], true));
        // All ones or zero per sixteen-bit lane, packed with signed saturation (all ones
        // stays 0xff) in the order widenHalf took the bytes apart.
        const __m512i v = _mm512_packs_epi16(_mm512_movm_epi16(_mm512_cmpgt_epi16_mask(lo, below)),
                                             _mm512_movm_epi16(_mm512_cmpgt_epi16_mask(hi, below)));
        for (int k = 0; k < 3; ++k)
            _mm512_storeu_si512(p + 64 * k, _mm512_maskz_permutexvar_epi8(
                                                ~uint64_t(0), loadWide(kWide.join[k]), v));
    }
    _mm256_zeroupper(); // the remainder runs narrower code
    thresholdRowSsse3(p, pixels - i, limit);
}

PW_VBMI void sepiaRowVbmi(uint8_t* p, size_t pixels) {
    size_t i = 0;
    for (; i + 64 <= pixels; i += 64, p += 192) {
        __m512i ch[3];
        splitWide(p, ch);
        const __m512i lo = lumaWide(ch, false), hi = lumaWide(ch, true);
        const __m512i blue = bytesWide(mulShr10Wide(lo, 619), mulShr10Wide(hi, 619));
        const __m512i green = bytesWide(mulShr10Wide(lo, 853), mulShr10Wide(hi, 853));
        const __m512i red = bytesWide(lo, hi);
        for (int k = 0; k < 3; ++k)
            _mm512_storeu_si512(
                p + 64 * k, _mm512_mask_permutexvar_epi8(
                                _mm512_permutex2var_epi8(blue, loadWide(kWide.joinTwo[k]), green),
                                kWide.joinFromRed[k], loadWide(kWide.joinRed[k]), red));
    }
    _mm256_zeroupper(); // the remainder runs narrower code
    sepiaRowSsse3(p, pixels - i);
}

} // namespace
#endif

namespace {

struct Kernels {
    void (*lookup)(const uint8_t*, uint8_t*, size_t, const uint8_t*) = portable::lookupRow;
    void (*gray)(uint8_t*, size_t) = portable::grayRow;
    void (*sepia)(uint8_t*, size_t) = portable::sepiaRow;
    void (*threshold)(uint8_t*, size_t, int) = portable::thresholdRow;
};

// The kernels of the widest level the processor and the cap allow.
const Kernels& kernels() {
    static const Kernels plain;
#ifdef PW_X86
    static const Kernels ssse3 = [] {
        Kernels k;
        k.gray = grayRowSsse3;
        k.sepia = sepiaRowSsse3;
        k.threshold = thresholdRowSsse3;
        return k;
    }();
    static const Kernels vbmi = [] {
        Kernels k;
        k.lookup = lookupRowVbmi;
        k.gray = grayRowVbmi;
        k.sepia = sepiaRowVbmi;
        k.threshold = thresholdRowVbmi;
        return k;
    }();
    if (vectorLevelUsable(VectorLevel::Avx512)) return vbmi;
    if (vectorLevelCap() >= VectorLevel::Avx2 && __builtin_cpu_supports("ssse3")) return ssse3;
#endif
    return plain;
}

} // namespace

void ChannelCounts::countRow(const uint8_t* row, int width, int step) {
    if (width <= 0 || step < 1) return;
    const int count = (width - 1) / step + 1;
    const ptrdiff_t stride = static_cast<ptrdiff_t>(step) * 3;
    int i = 0;
    if (step == 1) {
        // Every pixel: blue with green, and red, two pixels at a time into two tables.
        if (pairs.empty()) pairs.assign(size_t(2) * 65536, 0);
        uint32_t* even = pairs.data();
        uint32_t* odd = even + 65536;
        const uint8_t* p = row;
        for (; i + 2 <= count; i += 2, p += 6) {
            ++even[p[0] | p[1] << 8];
            ++sets[0][2][p[2]];
            ++odd[p[3] | p[4] << 8];
            ++sets[1][2][p[5]];
        }
    } else {
        // Every step-th pixel: four sampled pixels per round, one per set.
        const uint8_t* p = row;
        for (; i + 4 <= count; i += 4, p += 4 * stride) {
            for (int k = 0; k < 4; ++k) {
                const uint8_t* q = p + k * stride;
                ++sets[k][0][q[0]];
                ++sets[k][1][q[1]];
                ++sets[k][2][q[2]];
            }
        }
    }
    // The pixels left over, into the first set.
    for (const uint8_t* p = row + i * stride; i < count; ++i, p += stride) {
        ++sets[0][0][p[0]];
        ++sets[0][1][p[1]];
        ++sets[0][2][p[2]];
    }
}

void ChannelCounts::addTo(int64_t totals[3][256]) const {
    for (const auto& set : sets)
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v)
                totals[c][v] += set[c][v];
    if (pairs.empty()) return;
    for (int green = 0; green < 256; ++green)
        for (int blue = 0; blue < 256; ++blue) {
            const size_t at = size_t(green) * 256 + size_t(blue);
            const uint32_t n = pairs[at] + pairs[65536 + at];
            totals[0][blue] += n;
            totals[1][green] += n;
        }
}

void lookupRow(const uint8_t* src, uint8_t* dst, size_t n, const ToneTable& table) {
    kernels().lookup(src, dst, n, table.data());
}
void grayRow(uint8_t* p, size_t pixels) {
    kernels().gray(p, pixels);
}
void sepiaRow(uint8_t* p, size_t pixels) {
    kernels().sepia(p, pixels);
}
void thresholdRow(uint8_t* p, size_t pixels, int limit) {
    kernels().threshold(p, pixels, limit);
}

} // namespace engine
