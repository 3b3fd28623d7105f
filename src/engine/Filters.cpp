// Neighbourhood and effect filters of TFastPicture: Blur, Edge, Median, Sobel (copy-based:
// they read the working bitmap and write a second one) and Mosaic, Framing (in place).
//
// Every filter is a row kernel run by the shared row driver; a kernel writes only the rows
// of its own range and reads only source rows, so the result does not depend on how the
// rows are split between threads.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "engine/VectorLevel.h"

// The row kernels are written as plain loops over bytes; the build turns on the
// vectoriser with its dynamic cost model for this file (see src/CMakeLists.txt), so loops
// whose trip count is not a multiple of the vector width are vectorised too.

// The hot row kernels are compiled three times on x86-64, for the baseline, for AVX2 and
// for AVX-512 (x86-64-v4), and the loader picks the widest the processor runs. All evaluate
// the same integer and correctly-rounded single-precision operations (no fused
// multiply-adds), so they give the same bytes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define PW_ROW_KERNEL __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define PW_ROW_KERNEL
#endif

namespace {

// ----- exact division of small sums by constants, by multiplication and shift -----

// (s * mul) >> 16 equals s / div for every s in 0..maxSum; checked at compile time.
constexpr bool divisionByShiftIsExact(uint32_t div, uint32_t mul, uint32_t maxSum) {
    for (uint32_t s = 0; s <= maxSum; ++s)
        if ((s * mul) >> 16 != s / div) return false;
    return true;
}
constexpr uint32_t kDiv9 = 7282, kDiv6 = 10923, kDiv3 = 21846;
static_assert(divisionByShiftIsExact(9, kDiv9, 9 * 255));
static_assert(divisionByShiftIsExact(6, kDiv6, 6 * 255));
static_assert(divisionByShiftIsExact(3, kDiv3, 3 * 255));

// A 24-bit result bitmap of the source's size that carries a copy of its palette.
// Every filter writes each of its pixels, so the memory is not cleared first.
Bitmap makeResultLike(const Bitmap& source) {
    Bitmap result(source.width(), source.height(), pf24bit, Bitmap::Uninitialised::Pixels);
    result.setPalette(source.palette());
    return result;
}

// ----- Blur -----

// One result row of the 3 × 3 box mean. vsum receives the column sums of the rows inside
// the window (3 × width entries); the division counts only positions inside the bitmap.
PW_ROW_KERNEL void blurRow(const Bitmap& src, Bitmap& dst, int y, std::vector<uint16_t>& vsum) {
    const int w = src.width(), h = src.height();
    const int n = 3 * w;
    const int ya = std::max(y - 1, 0), yb = std::min(y + 1, h - 1);
    const int rowsIn = yb - ya + 1;
    uint16_t* vs = vsum.data();
    {
        const uint8_t* r0 = src.scanLine(ya);
        if (rowsIn == 3) {
            const uint8_t* r1 = src.scanLine(ya + 1);
            const uint8_t* r2 = src.scanLine(yb);
            for (int i = 0; i < n; ++i)
                vs[i] = uint16_t(r0[i] + r1[i] + r2[i]);
        } else if (rowsIn == 2) {
            const uint8_t* r1 = src.scanLine(yb);
            for (int i = 0; i < n; ++i)
                vs[i] = uint16_t(r0[i] + r1[i]);
        } else {
            for (int i = 0; i < n; ++i)
                vs[i] = r0[i];
        }
    }
    uint8_t* out = dst.scanLine(y);
    if (w >= 3) {
        // Interior columns: three columns inside the window.
        const uint32_t mul = rowsIn == 3 ? kDiv9 : rowsIn == 2 ? kDiv6 : kDiv3;
        for (int i = 3; i < n - 3; ++i)
            out[i] = uint8_t((uint32_t(vs[i - 3] + vs[i] + vs[i + 3]) * mul) >> 16);
    }
    // The first and last columns (and every column of a picture narrower than 3).
    auto edgeColumn = [&](int x) {
        const int xa = std::max(x - 1, 0), xb = std::min(x + 1, w - 1);
        const int count = rowsIn * (xb - xa + 1);
        for (int c = 0; c < 3; ++c) {
            int sum = 0;
            for (int xx = xa; xx <= xb; ++xx)
                sum += vs[3 * xx + c];
            out[3 * x + c] = uint8_t(sum / count);
        }
    };
    if (w >= 3) {
        edgeColumn(0);
        edgeColumn(w - 1);
    } else {
        for (int x = 0; x < w; ++x)
            edgeColumn(x);
    }
}

// ----- Edge -----

// |4c − n − s − w − e| × level / 100 in sixteen-bit arithmetic: with k = floor(level ×
// 65536 / 100), (|d| × k) >> 16 is the quotient or one less (k falls short by less than
// 1020 / 65536 in total), and the remainder |d| × level − 100 × q, which lies in 0..199,
// comes out exactly even when both products wrap modulo 65536. Level 100 (k would be
// 65536) is the plain difference.
constexpr uint16_t edgeMultiplier(int level) {
    return uint16_t(level * 65536 / 100);
}
constexpr uint16_t edgeQuotient(uint16_t mag, uint16_t level, uint16_t k) {
    uint16_t q = uint16_t((uint32_t(mag) * k) >> 16);
    const uint16_t rest = uint16_t(uint16_t(mag * level) - uint16_t(q * 100));
    return uint16_t(q + (rest >= 100 ? 1 : 0));
}
constexpr bool edgeQuotientIsExact() {
    for (int level = 1; level < 100; ++level)
        for (int d = 0; d <= 1020; ++d)
            if (edgeQuotient(uint16_t(d), uint16_t(level), edgeMultiplier(level)) !=
                d * level / 100)
                return false;
    return true;
}
static_assert(edgeQuotientIsExact());

// One result row of the Laplacian sharpening blended by level; border pixels are copied.
// Sixteen-bit lanes throughout, so the compiler packs eight bytes into each vector step.
PW_ROW_KERNEL void edgeRow(const Bitmap& src, Bitmap& dst, int y, int level) {
    const int w = src.width(), h = src.height();
    const int n = 3 * w;
    const uint8_t* s = src.scanLine(y);
    uint8_t* out = dst.scanLine(y);
    if (y == 0 || y == h - 1 || w < 3) {
        std::memcpy(out, s, size_t(n));
        return;
    }
    const uint8_t* up = src.scanLine(y - 1);
    const uint8_t* dn = src.scanLine(y + 1);
    const uint16_t k = level == 100 ? 0 : edgeMultiplier(level);
    const uint16_t lv = uint16_t(level);
    const bool plain = level == 100;
    for (int i = 3; i < n - 3; ++i) {
        const int16_t c = s[i];
        const int16_t d = int16_t(4 * c - up[i] - dn[i] - s[i - 3] - s[i + 3]);
        const uint16_t mag = uint16_t(d < 0 ? -d : d);
        const uint16_t q = plain ? mag : edgeQuotient(mag, lv, k);
        const int16_t v = int16_t(d < 0 ? c - int16_t(q) : c + int16_t(q));
        out[i] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    std::memcpy(out, s, 3);
    std::memcpy(out + n - 3, s + n - 3, 3);
}

// ----- Median -----

// Partial selection sort of entries 0..n/2 by ascending key; equal keys are never
// swapped, so among equal keys the gathering order decides which entry lands in the
// middle. Each entry is its key above its window position (key × 256 + position); the
// swaps are written as selections so that they do not wait on branch predictions.
// Returns the middle entry's window position.
template <int N> inline int selectMiddleOf(uint32_t* e) {
    constexpr int m = N / 2;
#pragma GCC unroll 16
    for (int p = 0; p <= m; ++p)
#pragma GCC unroll 16
        for (int q = p + 1; q < N; ++q) {
            const uint32_t a = e[p], b = e[q];
            const uint32_t flip = (a ^ b) & (0u - uint32_t((b >> 8) < (a >> 8)));
            e[p] = a ^ flip;
            e[q] = b ^ flip;
        }
    return int(e[m] & 0xff);
}

inline int selectMiddle(uint32_t* e, int n) {
    switch (n) {
    case 9:
        return selectMiddleOf<9>(e);
    case 6:
        return selectMiddleOf<6>(e);
    case 4:
        return selectMiddleOf<4>(e);
    case 3:
        return selectMiddleOf<3>(e);
    case 2:
        return selectMiddleOf<2>(e);
    default:
        return selectMiddleOf<1>(e);
    }
}

inline uint32_t keyOf(const uint8_t* p) {
    return uint32_t(p[0]) + p[1] + p[2];
}

// The general rule for one pixel: used on the picture's border and wherever the window
// holds several entries with the median key but different colours. The window is
// gathered in row-major order, positions inside the bitmap only.
void medianPixelGeneral(const Bitmap& src, uint8_t* out, int x, int y, uint32_t threshold) {
    const int w = src.width(), h = src.height();
    const uint8_t* pixel[9];
    uint32_t entry[9];
    int n = 0;
    for (int yy = y - 1; yy <= y + 1; ++yy) {
        if (yy < 0 || yy >= h) continue;
        const uint8_t* row = src.scanLine(yy);
        for (int xx = x - 1; xx <= x + 1; ++xx) {
            if (xx < 0 || xx >= w) continue;
            pixel[n] = row + 3 * xx;
            entry[n] = keyOf(pixel[n]) << 8 | uint32_t(n);
            ++n;
        }
    }
    const uint8_t* centre = src.scanLine(y) + 3 * x;
    const uint8_t* mid = pixel[selectMiddle(entry, n)];
    const uint32_t kc = keyOf(centre), km = keyOf(mid);
    const uint32_t dist = kc > km ? kc - km : km - kc;
    std::memcpy(out + 3 * x, dist >= threshold ? mid : centre, 3);
}

inline uint16_t min16(uint16_t a, uint16_t b) {
    return a < b ? a : b;
}
inline uint16_t max16(uint16_t a, uint16_t b) {
    return a < b ? b : a;
}
inline uint16_t med3(uint16_t a, uint16_t b, uint16_t c) {
    return max16(min16(a, b), min16(max16(a, b), c));
}

// Per row: the keys, and either the colours packed into one word each or the green and
// blue bytes packed into sixteen bits (with the key they give the colour). The arrays
// run 32 entries past the row so that vector steps may read a whole vector.
constexpr size_t kMedianPad = 32;

// Sixteen-bit words whose first one starts a 64-byte line, so that vector steps over
// whole lines of them do not straddle two; zero at first.
class AlignedWords {
public:
    explicit AlignedWords(size_t n) : storage_(n + 32) {
        const auto at = reinterpret_cast<uintptr_t>(storage_.data());
        data_ = storage_.data() + ((64 - at % 64) % 64) / sizeof(uint16_t);
    }
    AlignedWords(AlignedWords&& other) noexcept = default;
    uint16_t* data() { return data_; }
    const uint16_t* data() const { return data_; }
    uint16_t operator[](size_t i) const { return data_[i]; }

private:
    std::vector<uint16_t> storage_;
    uint16_t* data_;
};

struct MedianRow {
    AlignedWords key, gb;
    std::vector<uint32_t> colour;
    explicit MedianRow(int w)
        : key(size_t(w) + kMedianPad), gb(size_t(w) + kMedianPad), colour(size_t(w) + kMedianPad) {}
};

struct MedianScratch {
    MedianRow rows[4]; // rows y − 1 .. y + 2, rolling: slot y mod 4 holds row y
    std::vector<uint16_t> lo, mi, hi, med;
    std::vector<uint32_t> candidate, ambiguous;
    std::vector<int> general; // columns left to the general rule
    explicit MedianScratch(int w)
        : rows{MedianRow(w), MedianRow(w), MedianRow(w), MedianRow(w)}, lo(size_t(w) + kMedianPad),
          mi(size_t(w) + kMedianPad), hi(size_t(w) + kMedianPad), med(size_t(w)),
          candidate(size_t(w)), ambiguous(size_t(w)) {
        general.reserve(size_t(w));
    }
};

// The keys of row y, and its colours packed one to a word when colours is set.
PW_ROW_KERNEL void computeKeys(const Bitmap& src, int y, MedianRow& out, bool colours) {
    const uint8_t* row = src.scanLine(y);
    uint16_t* key = out.key.data();
    const int w = src.width();
    for (int x = 0; x < w; ++x) {
        const uint8_t* p = row + 3 * x;
        key[x] = uint16_t(p[0] + p[1] + p[2]);
    }
    if (!colours) return;
    uint32_t* colour = out.colour.data();
    for (int x = 0; x < w; ++x) {
        const uint8_t* p = row + 3 * x;
        colour[x] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    }
}

// Replaces interior pixel x of row y by the window entry that holds the median key m:
// when every entry with that key has the same colour, that colour is the answer whichever
// of them the selection leaves in the middle; otherwise the general rule decides.
void replaceByMedian(const Bitmap& src, uint8_t* out, int x, int y, uint32_t threshold, uint32_t m,
                     const MedianRow& above, const MedianRow& centre, const MedianRow& below) {
    const uint8_t* rows[3] = {src.scanLine(y - 1), src.scanLine(y), src.scanLine(y + 1)};
    const uint16_t* keys[3] = {above.key.data(), centre.key.data(), below.key.data()};
    const uint8_t* found = nullptr;
    for (int r = 0; r < 3; ++r)
        for (int xx = x - 1; xx <= x + 1; ++xx) {
            if (keys[r][xx] != m) continue;
            const uint8_t* p = rows[r] + 3 * xx;
            if (!found) {
                found = p;
            } else if (std::memcmp(found, p, 3) != 0) {
                medianPixelGeneral(src, out, x, y, threshold);
                return;
            }
        }
    std::memcpy(out + 3 * x, found, 3);
}

// Median of the interior pixels of row y (1 ≤ y ≤ h − 2, width ≥ 3). The median key of
// each 3 × 3 window comes from sorting each column's three keys and combining the sorted
// columns; only the pixels that are to be replaced then look for the entry that holds it.
PW_ROW_KERNEL void medianInteriorRow(const Bitmap& src, uint8_t* out, int y, uint32_t threshold,
                                     const MedianRow& above, const MedianRow& centre,
                                     const MedianRow& below, MedianScratch& s) {
    const int w = src.width();
    const uint16_t *ku = above.key.data(), *km = centre.key.data(), *kd = below.key.data();
    uint16_t *lo = s.lo.data(), *mi = s.mi.data(), *hi = s.hi.data(), *med = s.med.data();
    for (int x = 0; x < w; ++x) {
        const uint16_t a = ku[x], b = km[x], c = kd[x];
        const uint16_t l = min16(a, b), u = max16(a, b);
        lo[x] = min16(l, c);
        hi[x] = max16(u, c);
        mi[x] = max16(l, min16(u, c));
    }
    for (int x = 1; x < w - 1; ++x) {
        const uint16_t maxLo = max16(max16(lo[x - 1], lo[x]), lo[x + 1]);
        const uint16_t medMi = med3(mi[x - 1], mi[x], mi[x + 1]);
        const uint16_t minHi = min16(min16(hi[x - 1], hi[x]), hi[x + 1]);
        med[x] = med3(maxLo, medMi, minHi);
    }
    if (threshold > 0) {
        // Only pixels whose key lies far enough from the window's median are replaced;
        // with a threshold above zero they are few, so each looks for its entry alone.
        for (int x = 1; x < w - 1; ++x) {
            const uint32_t m = med[x], kc = km[x];
            const uint32_t dist = kc > m ? kc - m : m - kc;
            if (dist < threshold) continue; // the centre stays, as copied with the row
            replaceByMedian(src, out, x, y, threshold, m, above, centre, below);
        }
        return;
    }
    // Level 100: every pixel takes the median. For every pixel at once: the colour of the
    // window entries that hold the median key, and whether they disagree. Written without
    // branches so that it runs on vectors.
    const uint32_t *cu = above.colour.data(), *cm = centre.colour.data(), *cd = below.colour.data();
    uint32_t *candidate = s.candidate.data(), *ambiguous = s.ambiguous.data();
    for (int x = 1; x < w - 1; ++x) {
        const uint32_t m = med[x];
        uint32_t cand = 0, seen = 0, amb = 0;
        auto visit = [&](uint32_t key, uint32_t colour) {
            const uint32_t eq = 0u - uint32_t(key == m);
            amb |= eq & seen & (colour ^ cand);
            cand = (eq & colour) | (~eq & cand);
            seen |= eq;
        };
        visit(ku[x - 1], cu[x - 1]);
        visit(ku[x], cu[x]);
        visit(ku[x + 1], cu[x + 1]);
        visit(km[x - 1], cm[x - 1]);
        visit(km[x], cm[x]);
        visit(km[x + 1], cm[x + 1]);
        visit(kd[x - 1], cd[x - 1]);
        visit(kd[x], cd[x]);
        visit(kd[x + 1], cd[x + 1]);
        candidate[x] = cand;
        ambiguous[x] = amb;
    }
    for (int x = 1; x < w - 1; ++x) {
        // When every window entry with the median key has the same colour, that colour is
        // the answer whichever of them the selection leaves in the middle.
        if (ambiguous[x]) {
            medianPixelGeneral(src, out, x, y, threshold);
        } else {
            uint8_t* o = out + 3 * x;
            o[0] = uint8_t(candidate[x]);
            o[1] = uint8_t(candidate[x] >> 8);
            o[2] = uint8_t(candidate[x] >> 16);
        }
    }
}

// The end of a vector kernel's row: the columns from x0 to the last interior one each by
// itself, from the sorted columns in s, then the pixels the kernel left to the general
// rule.
void finishMedianRow(const Bitmap& src, uint8_t* out, int y, uint32_t threshold, int x0,
                     const MedianRow& above, const MedianRow& centre, const MedianRow& below,
                     const MedianScratch& s) {
    const int w = src.width();
    const uint16_t *lo = s.lo.data(), *mi = s.mi.data(), *hi = s.hi.data();
    for (int x = x0; x < w - 1; ++x) {
        const uint16_t maxLo = max16(max16(lo[x - 1], lo[x]), lo[x + 1]);
        const uint16_t medMi = med3(mi[x - 1], mi[x], mi[x + 1]);
        const uint16_t minHi = min16(min16(hi[x - 1], hi[x]), hi[x + 1]);
        const uint32_t m = med3(maxLo, medMi, minHi), kc = centre.key[size_t(x)];
        const uint32_t dist = kc > m ? kc - m : m - kc;
        if (dist >= threshold) replaceByMedian(src, out, x, y, threshold, m, above, centre, below);
    }
    for (int x : s.general)
        medianPixelGeneral(src, out, x, y, threshold);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define PW_MEDIAN_AVX2 1

// The median on AVX2, sixteen pixels per step with sixteen-bit lanes. The median key of
// each window is the same network as above; the colour comes from the green and blue of
// the window entries that hold that key: the smallest and the largest of them agree
// exactly when all those entries have one colour (the key gives the red), and then it is
// the answer. Pixels whose entries disagree are left to the general rule.
#define PW_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Byte shuffles between sixteen pixels of three bytes (three vectors) and one vector per
// channel.
struct PixelShuffles {
    uint8_t split[3][3][16]; // [channel][source vector][byte]
    uint8_t join[3][3][16];  // [result vector][channel][byte]
    uint8_t spread[3][16];   // [result vector][byte]: one byte per pixel to its three bytes
    constexpr PixelShuffles() : split{}, join{}, spread{} {
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k)
                for (int i = 0; i < 16; ++i) {
                    const int from = 3 * i + c - 16 * k;
                    split[c][k][i] = uint8_t(from >= 0 && from < 16 ? from : 0x80);
                }
        for (int k = 0; k < 3; ++k)
            for (int j = 0; j < 16; ++j) {
                const int byte = 16 * k + j;
                for (int c = 0; c < 3; ++c)
                    join[k][c][j] = uint8_t(byte % 3 == c ? byte / 3 : 0x80);
                spread[k][j] = uint8_t(byte / 3);
            }
    }
};
alignas(16) constexpr PixelShuffles kShuffles;

PW_AVX2 __m128i shuffleMask(const uint8_t* m) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

PW_AVX2 __m128i channelOf(__m128i v0, __m128i v1, __m128i v2, int c) {
    const auto& m = kShuffles.split[c];
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, shuffleMask(m[0])),
                                     _mm_shuffle_epi8(v1, shuffleMask(m[1]))),
                        _mm_shuffle_epi8(v2, shuffleMask(m[2])));
}

PW_AVX2 __m128i joined(__m128i b, __m128i g, __m128i r, int k) {
    const auto& m = kShuffles.join[k];
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, shuffleMask(m[0])),
                                     _mm_shuffle_epi8(g, shuffleMask(m[1]))),
                        _mm_shuffle_epi8(r, shuffleMask(m[2])));
}

PW_AVX2 __m128i bytesOf(__m256i v) {
    return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

PW_AVX2 __m256i load16(const uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

PW_AVX2 __m256i med3v(__m256i a, __m256i b, __m256i c) {
    return _mm256_max_epu16(_mm256_min_epu16(a, b), _mm256_min_epu16(_mm256_max_epu16(a, b), c));
}

__attribute__((target("avx2"))) void computeKeysAvx2(const Bitmap& src, int y, MedianRow& out) {
    const uint8_t* row = src.scanLine(y);
    const int w = src.width();
    uint16_t* key = out.key.data();
    uint16_t* gb = out.gb.data();
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const uint8_t* p = row + 3 * x;
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const __m128i b = channelOf(v0, v1, v2, 0), g = channelOf(v0, v1, v2, 1),
                      r = channelOf(v0, v1, v2, 2);
        const __m256i k =
            _mm256_add_epi16(_mm256_add_epi16(_mm256_cvtepu8_epi16(b), _mm256_cvtepu8_epi16(g)),
                             _mm256_cvtepu8_epi16(r));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(key + x), k);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(gb + x),
                            _mm256_set_m128i(_mm_unpackhi_epi8(b, g), _mm_unpacklo_epi8(b, g)));
    }
    // Plain code follows: leave the wide registers' upper halves clean, so that it does
    // not pay for their state.
    _mm256_zeroupper();
    for (; x < w; ++x) {
        const uint8_t* p = row + 3 * x;
        key[x] = uint16_t(p[0] + p[1] + p[2]);
        gb[x] = uint16_t(p[0] | p[1] << 8);
    }
}

// The interior pixels of row y (1 ≤ y ≤ h − 2, width ≥ 3). With a threshold the result
// row already holds the source row; at level 100 every interior pixel is written here.
__attribute__((target("avx2"))) void
medianInteriorRowAvx2(const Bitmap& src, uint8_t* out, int y, uint32_t threshold,
                      const MedianRow& above, const MedianRow& centre, const MedianRow& below,
                      MedianScratch& s) {
    const int w = src.width();
    const uint16_t* key[3] = {above.key.data(), centre.key.data(), below.key.data()};
    const uint16_t* gb[3] = {above.gb.data(), centre.gb.data(), below.gb.data()};
    uint16_t *lo = s.lo.data(), *mi = s.mi.data(), *hi = s.hi.data();
    for (int x = 0; x < w; x += 16) {
        const __m256i a = load16(key[0] + x), b = load16(key[1] + x), c = load16(key[2] + x);
        const __m256i l = _mm256_min_epu16(a, b), u = _mm256_max_epu16(a, b);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo + x), _mm256_min_epu16(l, c));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(hi + x), _mm256_max_epu16(u, c));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mi + x),
                            _mm256_max_epu16(l, _mm256_min_epu16(u, c)));
    }
    const __m256i ones = _mm256_set1_epi16(-1), lowByte = _mm256_set1_epi16(0xff);
    const __m256i limit = _mm256_set1_epi16(int16_t(threshold));
    s.general.clear();
    // Whole vectors of columns; the last one is moved left to end at the last interior
    // column, so it may repeat a few columns, which gives the same bytes again. Rows too
    // short for one vector go column by column below.
    const int vectorEnd = w - 2 >= 16 ? w - 1 : 1;
    for (int x = 1; x < vectorEnd; x += 16) {
        const int x0 = std::min(x, w - 1 - 16);
        const __m256i maxLo = _mm256_max_epu16(
            _mm256_max_epu16(load16(lo + x0 - 1), load16(lo + x0)), load16(lo + x0 + 1));
        const __m256i minHi = _mm256_min_epu16(
            _mm256_min_epu16(load16(hi + x0 - 1), load16(hi + x0)), load16(hi + x0 + 1));
        const __m256i m =
            med3v(maxLo, med3v(load16(mi + x0 - 1), load16(mi + x0), load16(mi + x0 + 1)), minHi);
        __m256i replace = ones;
        if (threshold > 0) {
            const __m256i kc = load16(key[1] + x0);
            const __m256i dist =
                _mm256_or_si256(_mm256_subs_epu16(kc, m), _mm256_subs_epu16(m, kc));
            replace = _mm256_cmpeq_epi16(_mm256_max_epu16(dist, limit), dist);
            if (_mm256_testz_si256(replace, replace)) continue;
        }
        __m256i least = ones, most = _mm256_setzero_si256();
#pragma GCC unroll 9
        for (int e = 0; e < 9; ++e) {
            const int r = e / 3, o = e % 3 - 1;
            const __m256i match = _mm256_cmpeq_epi16(load16(key[r] + x0 + o), m);
            const __m256i g = load16(gb[r] + x0 + o);
            least = _mm256_min_epu16(least, _mm256_blendv_epi8(ones, g, match));
            most = _mm256_max_epu16(most, _mm256_and_si256(g, match));
        }
        const __m256i agree = _mm256_cmpeq_epi16(least, most);
        const __m256i blue = _mm256_and_si256(least, lowByte);
        const __m256i green = _mm256_srli_epi16(least, 8);
        const __m256i red = _mm256_sub_epi16(_mm256_sub_epi16(m, blue), green);
        const __m128i b8 = bytesOf(blue), g8 = bytesOf(green), r8 = bytesOf(red);
        uint8_t* o = out + 3 * x0;
        if (threshold == 0) {
            for (int k = 0; k < 3; ++k)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * k), joined(b8, g8, r8, k));
        } else {
            const __m128i take = _mm_packs_epi16(_mm256_castsi256_si128(replace),
                                                 _mm256_extracti128_si256(replace, 1));
            for (int k = 0; k < 3; ++k) {
                __m128i* d = reinterpret_cast<__m128i*>(o + 16 * k);
                const __m128i mask = _mm_shuffle_epi8(take, shuffleMask(kShuffles.spread[k]));
                _mm_storeu_si128(d,
                                 _mm_blendv_epi8(_mm_loadu_si128(d), joined(b8, g8, r8, k), mask));
            }
        }
        const __m256i disagree = _mm256_andnot_si256(agree, replace);
        unsigned bits = unsigned(_mm_movemask_epi8(_mm_packs_epi16(
            _mm256_castsi256_si128(disagree), _mm256_extracti128_si256(disagree, 1))));
        while (bits) {
            s.general.push_back(x0 + __builtin_ctz(bits));
            bits &= bits - 1;
        }
    }
    // Plain code follows: leave the wide registers' upper halves clean, so that it does
    // not pay for their state.
    _mm256_zeroupper();
    finishMedianRow(src, out, y, threshold, vectorEnd, above, centre, below, s);
}

// Byte permutes for 32 pixels on AVX-512: from 96 bytes of pixels (two registers) to
// sixteen-bit lanes of red (the high bytes are cleared by a mask) or of blue and green
// together, and back from blue and green (first register) and red (second one, low
// bytes) to 96 bytes of pixels, with a one-byte-per-pixel mask spread alike.
struct WideMedianPermutes {
    uint8_t red[64];
    uint8_t blueGreen[64];
    uint8_t join[2][64];
    uint8_t spread[2][64];
    constexpr WideMedianPermutes() : red{}, blueGreen{}, join{}, spread{} {
        for (int i = 0; i < 32; ++i) {
            red[2 * i] = uint8_t(3 * i + 2);
            blueGreen[2 * i] = uint8_t(3 * i);
            blueGreen[2 * i + 1] = uint8_t(3 * i + 1);
        }
        for (int k = 0; k < 2; ++k)
            for (int j = 0; j < 64; ++j) {
                const int byte = 64 * k + j, pixel = byte / 3, c = byte % 3;
                if (pixel >= 32) continue;
                join[k][j] = uint8_t(c == 2 ? 64 + 2 * pixel : 2 * pixel + c);
                spread[k][j] = uint8_t(pixel);
            }
    }
};
alignas(64) constexpr WideMedianPermutes kWideMedian;

#define PW_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

PW_AVX512 inline __m512i wideIndex(const uint8_t* table) {
    return _mm512_loadu_si512(table);
}

PW_AVX512 void computeKeysAvx512(const Bitmap& src, int y, MedianRow& out) {
    const uint8_t* row = src.scanLine(y);
    const int w = src.width();
    uint16_t* key = out.key.data();
    uint16_t* gb = out.gb.data();
    constexpr __mmask64 even = 0x5555555555555555ull;
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        const uint8_t* p = row + 3 * x;
        const __m512i a = _mm512_loadu_si512(p);
        const __m512i b = _mm512_maskz_loadu_epi8(0xffffffffull, p + 64);
        // Blue and green side by side in each lane; their sum by one multiply-add of
        // bytes, then the red.
        const __m512i blueGreen = _mm512_permutex2var_epi8(a, wideIndex(kWideMedian.blueGreen), b);
        const __m512i red = _mm512_maskz_permutex2var_epi8(even, a, wideIndex(kWideMedian.red), b);
        _mm512_storeu_si512(
            key + x, _mm512_add_epi16(_mm512_maddubs_epi16(blueGreen, _mm512_set1_epi8(1)), red));
        _mm512_storeu_si512(gb + x, blueGreen);
    }
    // Plain code follows: leave the wide registers' upper halves clean, so that it does
    // not pay for their state.
    _mm256_zeroupper();
    for (; x < w; ++x) {
        const uint8_t* p = row + 3 * x;
        key[x] = uint16_t(p[0] + p[1] + p[2]);
        gb[x] = uint16_t(p[0] | p[1] << 8);
    }
}

// The same row on AVX-512, 32 pixels a step: the comparisons give bit masks, so each
// window entry costs one comparison and two masked minimum/maximum steps.
PW_AVX512 void medianInteriorRowAvx512(const Bitmap& src, uint8_t* out, int y, uint32_t threshold,
                                       const MedianRow& above, const MedianRow& centre,
                                       const MedianRow& below, MedianScratch& s) {
    const int w = src.width();
    const uint16_t* key[3] = {above.key.data(), centre.key.data(), below.key.data()};
    const uint16_t* gb[3] = {above.gb.data(), centre.gb.data(), below.gb.data()};
    uint16_t *lo = s.lo.data(), *mi = s.mi.data(), *hi = s.hi.data();
    for (int x = 0; x < w; x += 32) {
        const __m512i a = _mm512_loadu_si512(key[0] + x), b = _mm512_loadu_si512(key[1] + x),
                      c = _mm512_loadu_si512(key[2] + x);
        const __m512i l = _mm512_min_epu16(a, b), u = _mm512_max_epu16(a, b);
        _mm512_storeu_si512(lo + x, _mm512_min_epu16(l, c));
        _mm512_storeu_si512(hi + x, _mm512_max_epu16(u, c));
        _mm512_storeu_si512(mi + x, _mm512_max_epu16(l, _mm512_min_epu16(u, c)));
    }
    const __m512i ones = _mm512_set1_epi16(-1), lowByte = _mm512_set1_epi16(0xff);
    const __m512i limit = _mm512_set1_epi16(int16_t(threshold));
    s.general.clear();
    // Whole vectors of columns; the last one is moved left to end at the last interior
    // column, so it may repeat a few columns, which gives the same bytes again. Rows too
    // short for one vector go column by column below.
    const int vectorEnd = w - 2 >= 32 ? w - 1 : 1;
    // This kernel writes every interior pixel of the row itself, the unreplaced ones from
    // the source row; a row too short for a vector takes the source row first.
    const uint8_t* centreRow = src.scanLine(y);
    if (threshold > 0 && vectorEnd == 1) std::memcpy(out, centreRow, size_t(3) * size_t(w));
    for (int x = 1; x < vectorEnd; x += 32) {
        const int x0 = std::min(x, w - 1 - 32);
        const __m512i maxLo = _mm512_max_epu16(
            _mm512_max_epu16(_mm512_loadu_si512(lo + x0 - 1), _mm512_loadu_si512(lo + x0)),
            _mm512_loadu_si512(lo + x0 + 1));
        const __m512i minHi = _mm512_min_epu16(
            _mm512_min_epu16(_mm512_loadu_si512(hi + x0 - 1), _mm512_loadu_si512(hi + x0)),
            _mm512_loadu_si512(hi + x0 + 1));
        const __m512i a = _mm512_loadu_si512(mi + x0 - 1), b = _mm512_loadu_si512(mi + x0),
                      c = _mm512_loadu_si512(mi + x0 + 1);
        const __m512i medMi =
            _mm512_max_epu16(_mm512_min_epu16(a, b), _mm512_min_epu16(_mm512_max_epu16(a, b), c));
        const __m512i m = _mm512_max_epu16(_mm512_min_epu16(maxLo, medMi),
                                           _mm512_min_epu16(_mm512_max_epu16(maxLo, medMi), minHi));
        __mmask32 replace = ~__mmask32(0);
        if (threshold > 0) {
            const __m512i kc = _mm512_loadu_si512(key[1] + x0);
            const __m512i dist =
                _mm512_or_si512(_mm512_subs_epu16(kc, m), _mm512_subs_epu16(m, kc));
            replace = _mm512_cmpge_epu16_mask(dist, limit);
            if (!replace) {
                _mm512_storeu_si512(out + 3 * x0, _mm512_loadu_si512(centreRow + 3 * x0));
                _mm512_mask_storeu_epi8(
                    out + 3 * x0 + 64, 0xffffffffu,
                    _mm512_maskz_loadu_epi8(0xffffffffu, centreRow + 3 * x0 + 64));
                continue;
            }
        }
        __m512i least = ones, most = _mm512_setzero_si512();
#pragma GCC unroll 9
        for (int e = 0; e < 9; ++e) {
            const int r = e / 3, o = e % 3 - 1;
            const __mmask32 match = _mm512_cmpeq_epi16_mask(_mm512_loadu_si512(key[r] + x0 + o), m);
            const __m512i g = _mm512_loadu_si512(gb[r] + x0 + o);
            least = _mm512_mask_min_epu16(least, match, least, g);
            most = _mm512_mask_max_epu16(most, match, most, g);
        }
        const __mmask32 agree = _mm512_cmpeq_epi16_mask(least, most);
        // least holds blue and green as bytes already; red = key − blue − green.
        const __m512i red = _mm512_sub_epi16(_mm512_sub_epi16(m, _mm512_and_si512(least, lowByte)),
                                             _mm512_srli_epi16(least, 8));
        const __m512i first = _mm512_permutex2var_epi8(least, wideIndex(kWideMedian.join[0]), red);
        const __m512i second = _mm512_permutex2var_epi8(least, wideIndex(kWideMedian.join[1]), red);
        uint8_t* o = out + 3 * x0;
        if (threshold == 0) {
            _mm512_storeu_si512(o, first);
            _mm512_mask_storeu_epi8(o + 64, 0xffffffffu, second);
        } else {
            const __m512i take = _mm512_movm_epi8(replace);
            const __mmask64 takeFirst = _mm512_movepi8_mask(_mm512_maskz_permutexvar_epi8(
                ~__mmask64(0), wideIndex(kWideMedian.spread[0]), take));
            const __mmask64 takeSecond = _mm512_movepi8_mask(_mm512_maskz_permutexvar_epi8(
                ~__mmask64(0), wideIndex(kWideMedian.spread[1]), take));
            const uint8_t* c = centreRow + 3 * x0;
            _mm512_storeu_si512(o, _mm512_mask_blend_epi8(takeFirst, _mm512_loadu_si512(c), first));
            _mm512_mask_storeu_epi8(
                o + 64, 0xffffffffu,
                _mm512_mask_blend_epi8(takeSecond, _mm512_maskz_loadu_epi8(0xffffffffu, c + 64),
                                       second));
        }
        unsigned bits = unsigned(replace & ~agree);
        while (bits) {
            s.general.push_back(x0 + __builtin_ctz(bits));
            bits &= bits - 1;
        }
    }
    // Plain code follows: leave the wide registers' upper halves clean, so that it does
    // not pay for their state.
    _mm256_zeroupper();
    finishMedianRow(src, out, y, threshold, vectorEnd, above, centre, below, s);
}

// ----- two result rows per pass on AVX-512 -----
//
// Rows y and y + 1 share the window rows y and y + 1: their keys and colours are loaded
// once, and their keys sorted as a pair once, for both result rows. Every vector of keys
// is loaded at the three column offsets −1, 0, +1 and sorted there in registers, so that
// no sorted column is stored and read back.
#define PW_AVX512_INLINE                                                                           \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline)) inline

PW_AVX512_INLINE __m512i med3w(__m512i a, __m512i b, __m512i c) {
    return _mm512_max_epu16(_mm512_min_epu16(a, b), _mm512_min_epu16(_mm512_max_epu16(a, b), c));
}

// The median keys of 32 windows whose rows are the sorted pair (low ≤ high) and the third
// row k, each at the column offsets −1, 0, +1.
PW_AVX512_INLINE __m512i windowMedianKey(const __m512i (&low)[3], const __m512i (&high)[3],
                                         const __m512i (&k)[3]) {
    __m512i lo[3], mi[3], hi[3];
#pragma GCC unroll 3
    for (int o = 0; o < 3; ++o) {
        lo[o] = _mm512_min_epu16(low[o], k[o]);
        hi[o] = _mm512_max_epu16(high[o], k[o]);
        mi[o] = _mm512_max_epu16(low[o], _mm512_min_epu16(high[o], k[o]));
    }
    const __m512i maxLo = _mm512_max_epu16(_mm512_max_epu16(lo[0], lo[1]), lo[2]);
    const __m512i minHi = _mm512_min_epu16(_mm512_min_epu16(hi[0], hi[1]), hi[2]);
    return med3w(maxLo, med3w(mi[0], mi[1], mi[2]), minHi);
}

// Writes 32 result pixels: where replace is set, the colour of the window entries that
// hold the median key m, whose blue|green are least (smallest) and most (largest) among
// them; elsewhere the source pixel. Returns the replaced lanes whose entries with the
// median key disagree in colour: the general rule decides them.
PW_AVX512_INLINE __mmask32 storeMedianChunk(uint8_t* out, const uint8_t* source, __m512i m,
                                            __m512i least, __m512i most, __mmask32 replace,
                                            bool everyPixel) {
    if (!everyPixel && !replace) {
        _mm512_storeu_si512(out, _mm512_loadu_si512(source));
        _mm512_mask_storeu_epi8(out + 64, 0xffffffffu,
                                _mm512_maskz_loadu_epi8(0xffffffffu, source + 64));
        return 0;
    }
    const __mmask32 agree = _mm512_cmpeq_epi16_mask(least, most);
    // least holds blue and green as bytes already; red = key − (blue + green).
    const __m512i red = _mm512_sub_epi16(m, _mm512_maddubs_epi16(least, _mm512_set1_epi8(1)));
    const __m512i first = _mm512_permutex2var_epi8(least, wideIndex(kWideMedian.join[0]), red);
    const __m512i second = _mm512_permutex2var_epi8(least, wideIndex(kWideMedian.join[1]), red);
    if (everyPixel) {
        _mm512_storeu_si512(out, first);
        _mm512_mask_storeu_epi8(out + 64, 0xffffffffu, second);
        return __mmask32(~agree);
    }
    const __m512i take = _mm512_movm_epi8(replace);
    const __mmask64 takeFirst = _mm512_movepi8_mask(
        _mm512_maskz_permutexvar_epi8(~__mmask64(0), wideIndex(kWideMedian.spread[0]), take));
    const __mmask64 takeSecond = _mm512_movepi8_mask(
        _mm512_maskz_permutexvar_epi8(~__mmask64(0), wideIndex(kWideMedian.spread[1]), take));
    _mm512_storeu_si512(out, _mm512_mask_blend_epi8(takeFirst, _mm512_loadu_si512(source), first));
    _mm512_mask_storeu_epi8(
        out + 64, 0xffffffffu,
        _mm512_mask_blend_epi8(takeSecond, _mm512_maskz_loadu_epi8(0xffffffffu, source + 64),
                               second));
    return replace & __mmask32(~agree);
}

// The partial selection sort for the pixels of 32 lanes: entries[i][lane] is entry i of
// the lane's window, its key × 16 + its window position. Stores each lane's middle entry.
template <int N>
PW_AVX512 void selectMiddleLanes(const uint16_t (&entries)[N][32], uint16_t* middle) {
    constexpr int m = N / 2;
    __m512i e[N];
    for (int i = 0; i < N; ++i)
        e[i] = _mm512_load_si512(entries[i]);
    // Entry q goes before entry p exactly when its key is smaller: q < p with p's
    // position bits cleared.
    const __m512i keyBits = _mm512_set1_epi16(int16_t(0xfff0));
#pragma GCC unroll 16
    for (int p = 0; p <= m; ++p)
#pragma GCC unroll 16
        for (int q = p + 1; q < N; ++q) {
            const __mmask32 flip = _mm512_cmplt_epu16_mask(e[q], _mm512_and_si512(e[p], keyBits));
            const __m512i a = e[p];
            e[p] = _mm512_mask_blend_epi16(flip, a, e[q]);
            e[q] = _mm512_mask_blend_epi16(flip, e[q], a);
        }
    _mm512_storeu_si512(middle, e[m]);
    _mm256_zeroupper();
}

// The interior pixels of a row pair that the kernel left to the general rule, 32 at a
// time, from the pair's key rows (window rows 0..2 for the upper result row, 1..3 for the
// lower one). Each of them is replaced: the kernel found its key far enough from the
// median's, and the middle entry holds the median key whichever entry it is.
class PairGeneralRule {
public:
    PairGeneralRule(uint8_t* out0, uint8_t* out1, const MedianRow* const (&rows)[4])
        : out_{out0, out1}, rows_(rows) {}
    void add(int x, int lower) {
        const int n = count_;
        const uint16_t* k0 = rows_[lower]->key.data() + x - 1;
        const uint16_t* k1 = rows_[lower + 1]->key.data() + x - 1;
        const uint16_t* k2 = rows_[lower + 2]->key.data() + x - 1;
        entries_[0][n] = uint16_t(k0[0] << 4);
        entries_[1][n] = uint16_t(k0[1] << 4 | 1);
        entries_[2][n] = uint16_t(k0[2] << 4 | 2);
        entries_[3][n] = uint16_t(k1[0] << 4 | 3);
        entries_[4][n] = uint16_t(k1[1] << 4 | 4);
        entries_[5][n] = uint16_t(k1[2] << 4 | 5);
        entries_[6][n] = uint16_t(k2[0] << 4 | 6);
        entries_[7][n] = uint16_t(k2[1] << 4 | 7);
        entries_[8][n] = uint16_t(k2[2] << 4 | 8);
        x_[n] = x;
        lower_[n] = uint8_t(lower);
        if (++count_ == 32) flush();
    }
    // Queues the lanes set in bits, as columns from x0.
    void addLanes(int x0, uint32_t bits, int lower) {
        for (; bits; bits &= bits - 1)
            add(x0 + __builtin_ctz(bits), lower);
    }
    PW_AVX512 void flush() {
        if (count_ == 0) return;
        alignas(64) uint16_t middle[32];
        selectMiddleLanes<9>(entries_, middle);
        for (int lane = 0; lane < count_; ++lane) {
            const int pos = middle[lane] & 15, x = x_[lane], lower = lower_[lane];
            const uint32_t g = rows_[pos / 3 + lower]->gb[size_t(x - 1 + pos % 3)];
            const uint32_t blue = g & 0xff, green = g >> 8;
            uint8_t* o = out_[lower] + 3 * x;
            o[0] = uint8_t(blue);
            o[1] = uint8_t(green);
            o[2] = uint8_t((middle[lane] >> 4) - blue - green);
        }
        count_ = 0;
    }

private:
    uint8_t* out_[2];
    const MedianRow* const (&rows_)[4];
    int count_ = 0;
    alignas(64) uint16_t entries_[9][32] = {}; // lanes past count_ are sorted too, unused
    int x_[32];
    uint8_t lower_[32];
};

// The first and last pixels of the two rows of a pair: six window entries each, gathered
// row by row from the pair's key rows, then the threshold as for any pixel.
class PairEdgeRule {
public:
    PairEdgeRule(uint8_t* out0, uint8_t* out1, const MedianRow* const (&rows)[4], int w)
        : out_{out0, out1}, rows_(rows), w_(w) {}
    PW_AVX512 void run(uint32_t threshold) {
        int n = 0;
        for (int lower = 0; lower < 2; ++lower)
            for (int first : {0, w_ - 2}) {
                for (int r = 0; r < 3; ++r) {
                    const uint16_t* key = rows_[r + lower]->key.data() + first;
                    entries_[2 * r][n] = uint16_t(key[0] << 4 | (2 * r));
                    entries_[2 * r + 1][n] = uint16_t(key[1] << 4 | (2 * r + 1));
                }
                ++n;
            }
        alignas(64) uint16_t middle[32];
        selectMiddleLanes<6>(entries_, middle);
        for (int lane = 0; lane < 4; ++lane) {
            const int lower = lane / 2, first = lane % 2 ? w_ - 2 : 0, x = lane % 2 ? w_ - 1 : 0;
            const MedianRow& centre = *rows_[1 + lower];
            const uint32_t kc = centre.key[size_t(x)], km = middle[lane] >> 4u;
            const uint32_t dist = kc > km ? kc - km : km - kc;
            uint32_t key = kc, g = centre.gb[size_t(x)];
            if (dist >= threshold) {
                const int pos = middle[lane] & 15;
                key = km;
                g = rows_[pos / 2 + lower]->gb[size_t(first + pos % 2)];
            }
            const uint32_t blue = g & 0xff, green = g >> 8;
            uint8_t* o = out_[lower] + 3 * x;
            o[0] = uint8_t(blue);
            o[1] = uint8_t(green);
            o[2] = uint8_t(key - blue - green);
        }
    }

private:
    uint8_t* out_[2];
    const MedianRow* const (&rows_)[4];
    int w_;
    alignas(64) uint16_t entries_[6][32] = {};
};

// The interior pixels of rows y and y + 1 (1 ≤ y, y + 1 ≤ h − 2, at least 34 columns),
// from the keys and colours of rows y − 1 .. y + 2 (window rows top to bottom). Pixels
// left to the general rule go to general.
template <bool EveryPixel>
PW_AVX512 void medianRowPairAvx512(const Bitmap& src, uint8_t* out0, uint8_t* out1, int y,
                                   uint32_t threshold, const MedianRow* const (&rows)[4],
                                   PairGeneralRule& general) {
    const int w = src.width();
    const uint16_t* key[4];
    const uint16_t* gb[4];
    for (int r = 0; r < 4; ++r) {
        key[r] = rows[r]->key.data();
        gb[r] = rows[r]->gb.data();
    }
    const uint8_t* source0 = src.scanLine(y);
    const uint8_t* source1 = src.scanLine(y + 1);
    // The source rows whose keys the next pair needs are fetched while this pair is
    // computed, so that reading them later does not wait on memory.
    const int h = src.height();
    const uint8_t* ahead0 = src.scanLine(std::min(y + 3, h - 1));
    const uint8_t* ahead1 = src.scanLine(std::min(y + 4, h - 1));
    constexpr bool everyPixel = EveryPixel;
    const __m512i limit = _mm512_set1_epi16(int16_t(threshold));
    // Whole vectors of columns; the last one is moved left to end at the last interior
    // column, so it may repeat a few columns, which gives the same bytes again.
    for (int x = 1; x < w - 1; x += 32) {
        const int x0 = std::min(x, w - 1 - 32);
        _mm_prefetch(reinterpret_cast<const char*>(ahead0 + 3 * x0), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(ahead0 + 3 * x0 + 64), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(ahead1 + 3 * x0), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(ahead1 + 3 * x0 + 64), _MM_HINT_T0);
        __m512i k[4][3];
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r)
#pragma GCC unroll 3
            for (int o = 0; o < 3; ++o)
                k[r][o] = _mm512_loadu_si512(key[r] + x0 - 1 + o);
        __m512i low[3], high[3];
#pragma GCC unroll 3
        for (int o = 0; o < 3; ++o) {
            low[o] = _mm512_min_epu16(k[1][o], k[2][o]);
            high[o] = _mm512_max_epu16(k[1][o], k[2][o]);
        }
        const __m512i m0 = windowMedianKey(low, high, k[0]);
        const __m512i m1 = windowMedianKey(low, high, k[3]);
        __mmask32 replace0 = ~__mmask32(0), replace1 = ~__mmask32(0);
        if constexpr (!everyPixel) {
            const __m512i d0 =
                _mm512_or_si512(_mm512_subs_epu16(k[1][1], m0), _mm512_subs_epu16(m0, k[1][1]));
            const __m512i d1 =
                _mm512_or_si512(_mm512_subs_epu16(k[2][1], m1), _mm512_subs_epu16(m1, k[2][1]));
            replace0 = _mm512_cmpge_epu16_mask(d0, limit);
            replace1 = _mm512_cmpge_epu16_mask(d1, limit);
        }
        // The smallest and largest blue|green of the entries holding each row's median
        // key. Each of the four rows' colours is read once and serves both result rows
        // where it is in both windows.
        const __m512i ones = _mm512_set1_epi16(-1), zero = _mm512_setzero_si512();
        __m512i least0 = ones, most0 = zero, least1 = ones, most1 = zero;
        if (everyPixel || (replace0 | replace1)) {
#pragma GCC unroll 4
            for (int r = 0; r < 4; ++r)
#pragma GCC unroll 3
                for (int o = 0; o < 3; ++o) {
                    const __m512i g = _mm512_loadu_si512(gb[r] + x0 - 1 + o);
                    if (r <= 2) {
                        const __mmask32 match = _mm512_cmpeq_epi16_mask(k[r][o], m0);
                        least0 = _mm512_mask_min_epu16(least0, match, least0, g);
                        most0 = _mm512_mask_max_epu16(most0, match, most0, g);
                    }
                    if (r >= 1) {
                        const __mmask32 match = _mm512_cmpeq_epi16_mask(k[r][o], m1);
                        least1 = _mm512_mask_min_epu16(least1, match, least1, g);
                        most1 = _mm512_mask_max_epu16(most1, match, most1, g);
                    }
                }
        }
        const uint32_t left0 = storeMedianChunk(out0 + 3 * x0, source0 + 3 * x0, m0, least0, most0,
                                                replace0, everyPixel);
        const uint32_t left1 = storeMedianChunk(out1 + 3 * x0, source1 + 3 * x0, m1, least1, most1,
                                                replace1, everyPixel);
        if (left0) general.addLanes(x0, left0, 0);
        if (left1) general.addLanes(x0, left1, 1);
    }
    // Plain code follows: leave the wide registers' upper halves clean, so that it does
    // not pay for their state.
    _mm256_zeroupper();
}

// ----- the general rule for many pixels at once, on AVX-512 -----
//
// Each pixel's window entries (key × 16 + window position, gathered in row-major order)
// go into one sixteen-bit lane of N entry vectors; the partial selection sort then runs
// on 32 pixels at once, with the same comparisons and swaps as for one pixel.
template <int N> class GeneralRuleBatch {
public:
    explicit GeneralRuleBatch(uint32_t threshold) : threshold_(threshold) {}
    GeneralRuleBatch(const GeneralRuleBatch&) = delete;
    GeneralRuleBatch& operator=(const GeneralRuleBatch&) = delete;

    // Queues the pixel whose result goes to out, whose own colour is at centre and whose
    // N window entries, in gathering order, are the pixels at entry.
    void add(uint8_t* out, const uint8_t* centre, const uint8_t* const* entry) {
        const int lane = count_;
        for (int i = 0; i < N; ++i) {
            entries_[i][lane] = uint16_t(keyOf(entry[i]) << 4 | uint32_t(i));
            pixel_[lane][i] = entry[i];
        }
        out_[lane] = out;
        centre_[lane] = centre;
        if (++count_ == kLanes) flush();
    }
    // Writes the results of every queued pixel.
    PW_AVX512 void flush();

private:
    static constexpr int kLanes = 32;
    uint32_t threshold_;
    int count_ = 0;
    alignas(64) uint16_t entries_[N][kLanes] = {}; // lanes past count_ are sorted too, unused
    const uint8_t* pixel_[kLanes][N];
    static_assert(kLanes == 32);
    uint8_t* out_[kLanes];
    const uint8_t* centre_[kLanes];
};

template <int N> PW_AVX512 void GeneralRuleBatch<N>::flush() {
    if (count_ == 0) return;
    alignas(64) uint16_t middle[kLanes];
    selectMiddleLanes<N>(entries_, middle);
    for (int lane = 0; lane < count_; ++lane) {
        const uint8_t* mid = pixel_[lane][middle[lane] & 15];
        const uint32_t kc = keyOf(centre_[lane]), km = middle[lane] >> 4;
        const uint32_t dist = kc > km ? kc - km : km - kc;
        std::memcpy(out_[lane], dist >= threshold_ ? mid : centre_[lane], 3);
    }
    count_ = 0;
}

// The general rule for pixels of any row: those with six window entries (edges) and nine
// go to their batches, the rest (corners, pictures one pixel wide or high) by themselves.
struct GeneralRuleBatches {
    GeneralRuleBatch<9> inner;
    GeneralRuleBatch<6> edge;
    explicit GeneralRuleBatches(uint32_t threshold) : inner(threshold), edge(threshold) {}

    void add(const Bitmap& src, uint8_t* out, int x, int y, uint32_t threshold) {
        const int w = src.width(), h = src.height();
        const uint8_t* entry[9];
        int n = 0;
        for (int yy = y - 1; yy <= y + 1; ++yy) {
            if (yy < 0 || yy >= h) continue;
            const uint8_t* row = src.scanLine(yy);
            for (int xx = x - 1; xx <= x + 1; ++xx)
                if (xx >= 0 && xx < w) entry[n++] = row + 3 * xx;
        }
        const uint8_t* centre = src.scanLine(y) + 3 * x;
        if (n == 9)
            inner.add(out + 3 * x, centre, entry);
        else if (n == 6)
            edge.add(out + 3 * x, centre, entry);
        else
            medianPixelGeneral(src, out, x, y, threshold);
    }
    void flush() {
        inner.flush();
        edge.flush();
    }
};

#undef PW_AVX2
#undef PW_AVX512
#undef PW_AVX512_INLINE
#endif

// ----- Sobel -----

// round(sqrt(m)) for m in 0..65280, and 255 for every larger m, in single precision: k is
// the rounded root of an integer m exactly when k² − k < m ≤ k² + k, so sqrt(m) lies at
// least 0.25 / (2 × 256) ≈ 4.9e-4 away from every half-integer k + 0.5 (m and k² + k + 0.25
// differ by at least 0.25). sqrtf is correctly rounded and a float near 256 is exact to
// 2^-15 ≈ 3.1e-5, as is adding 0.5, so the truncation lands on k.
inline uint32_t roundedRoot(uint32_t m) {
    const uint32_t r = uint32_t(std::sqrt(float(m)) + 0.5f);
    return r < 255 ? r : 255;
}

// One interior row (1 ≤ y ≤ h − 2) of the gradient magnitude, plus its two border columns.
// Every channel's magnitude first, in 32-bit lanes the compiler vectorises (the squared
// gradient times the level stays below 2^28, so unsigned arithmetic is exact), then the
// per-pixel combination.
PW_ROW_KERNEL void sobelRow(const Bitmap& src, Bitmap& dst, int y, int level, bool overlay,
                            std::vector<uint32_t>& mag) {
    const int w = src.width();
    const int n = 3 * w;
    const uint8_t* a = src.scanLine(y - 1);
    const uint8_t* m = src.scanLine(y);
    const uint8_t* b = src.scanLine(y + 1);
    uint32_t* g = mag.data();
    const uint32_t lv = uint32_t(level);
    for (int i = 3; i < n - 3; ++i) {
        const int32_t gx =
            (a[i - 3] + 2 * m[i - 3] + b[i - 3]) - (a[i + 3] + 2 * m[i + 3] + b[i + 3]);
        const int32_t gy = (a[i - 3] + 2 * a[i] + a[i + 3]) - (b[i - 3] + 2 * b[i] + b[i + 3]);
        const uint32_t sq = (uint32_t(gx * gx + gy * gy) * lv) / 100;
        g[i] = roundedRoot(sq < 65281 ? sq : 65281);
    }
    uint8_t* out = dst.scanLine(y);
    if (overlay) {
        for (int x = 1; x < w - 1; ++x) {
            const int i = 3 * x;
            const uint8_t e = uint8_t(255 - (g[i] | g[i + 1] | g[i + 2]));
            out[i] = m[i] & e;
            out[i + 1] = m[i + 1] & e;
            out[i + 2] = m[i + 2] & e;
        }
    } else {
        for (int x = 1; x < w - 1; ++x) {
            const int i = 3 * x;
            const uint8_t e = uint8_t(255 - (g[i] | g[i + 1] | g[i + 2]));
            out[i] = out[i + 1] = out[i + 2] = e;
        }
    }
    std::memcpy(out, out + 3, 3);
    std::memcpy(out + n - 3, out + n - 6, 3);
}

// ----- Framing -----

struct FrameTables {
    uint8_t lighten[256];
    uint8_t darken[256];
    FrameTables(int factor) {
        for (int v = 0; v < 256; ++v) {
            lighten[v] = uint8_t(std::min(v * factor / 100, 255));
            darken[v] = uint8_t(v * 100 / factor);
        }
    }
};

inline void applyTable(uint8_t* row, int x0, int x1, const uint8_t* table) {
    for (int i = 3 * x0; i < 3 * (x1 + 1); ++i)
        row[i] = table[row[i]];
}

} // namespace

void TFastPicture::Blur() {
    PixelFrame f(*this, "Blur", true);
    if (!f) return;
    const Bitmap& src = *f.bitmap;
    Bitmap result = makeResultLike(src);
    engine::forEachRowRange(src.height(), [&](int y0, int y1) {
        std::vector<uint16_t> vsum(size_t(3) * size_t(src.width()));
        for (int y = y0; y < y1; ++y)
            blurRow(src, result, y, vsum);
    });
    f.commit(&result);
}

void TFastPicture::Edge(int Level) {
    PixelFrame f(*this, "Edge", engine::ranges::kEdgeLevel.accepts(Level));
    if (!f) return;
    const Bitmap& src = *f.bitmap;
    Bitmap result = makeResultLike(src);
    engine::forEachRowRange(src.height(), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y)
            edgeRow(src, result, y, Level);
    });
    f.commit(&result);
}

void TFastPicture::Median(int Level) {
    PixelFrame f(*this, "Median", engine::ranges::kMedianLevel.accepts(Level));
    if (!f) return;
    const Bitmap& src = *f.bitmap;
    Bitmap result = makeResultLike(src);
    const uint32_t threshold = uint32_t((100 - Level) * 255 / 100);
    const int w = src.width(), h = src.height();
    // At level 100 every pixel is replaced and the packed colours are worth making.
    const bool everyPixel = threshold == 0;
#ifdef PW_MEDIAN_AVX2
    const bool vectors = engine::vectorLevelUsable(engine::VectorLevel::Avx2);
    const bool wide = engine::vectorLevelUsable(engine::VectorLevel::Avx512);
#else
    constexpr bool vectors = false, wide = false;
#endif
    // Rows wide enough for a whole vector of interior columns go two at a time.
    const bool pairs = wide && w - 2 >= 32;
    engine::forEachRowRange(h, w, [&](int y0, int y1) {
        MedianScratch s(w);
        auto slot = [&](int y) -> MedianRow& { return s.rows[size_t(y % 4)]; };
#ifdef PW_MEDIAN_AVX2
        // With AVX-512 the general rule runs on many pixels at once, once enough of them
        // are queued; every queued pixel is written before the range ends.
        std::unique_ptr<GeneralRuleBatches> batches;
        if (wide) batches = std::make_unique<GeneralRuleBatches>(threshold);
#endif
        int nextKeys = std::max(y0 - 1, 0); // the first row whose keys are not made yet
        auto keysUpTo = [&](int last) {
            for (; nextKeys <= std::min(last, h - 1); ++nextKeys) {
                MedianRow& row = slot(nextKeys);
#ifdef PW_MEDIAN_AVX2
                if (wide) {
                    computeKeysAvx512(src, nextKeys, row);
                    continue;
                }
                if (vectors) {
                    computeKeysAvx2(src, nextKeys, row);
                    continue;
                }
#endif
                computeKeys(src, nextKeys, row, everyPixel);
            }
        };
        for (int y = y0; y < y1;) {
            const bool interior = y > 0 && y < h - 1 && w >= 3;
#ifdef PW_MEDIAN_AVX2
            if (pairs && interior && y + 1 < y1 && y + 1 < h - 1) {
                keysUpTo(y + 2);
                uint8_t* out0 = result.scanLine(y);
                uint8_t* out1 = result.scanLine(y + 1);
                const MedianRow* const rows[4] = {&slot(y - 1), &slot(y), &slot(y + 1),
                                                  &slot(y + 2)};
                PairGeneralRule general(out0, out1, rows);
                if (everyPixel)
                    medianRowPairAvx512<true>(src, out0, out1, y, threshold, rows, general);
                else
                    medianRowPairAvx512<false>(src, out0, out1, y, threshold, rows, general);
                general.flush();
                PairEdgeRule(out0, out1, rows, w).run(threshold);
                y += 2;
                continue;
            }
#endif
            keysUpTo(y + 1);
            uint8_t* out = result.scanLine(y);
            // Level 100 writes every interior pixel, as does the AVX-512 kernel at any level;
            // otherwise unreplaced pixels stay as copied here.
            if (!interior || !(everyPixel || wide))
                std::memcpy(out, src.scanLine(y), size_t(3) * size_t(w));
            if (interior) {
#ifdef PW_MEDIAN_AVX2
                if (wide)
                    medianInteriorRowAvx512(src, out, y, threshold, slot(y - 1), slot(y),
                                            slot(y + 1), s);
                else if (vectors)
                    medianInteriorRowAvx2(src, out, y, threshold, slot(y - 1), slot(y), slot(y + 1),
                                          s);
                else
#endif
                    medianInteriorRow(src, out, y, threshold, slot(y - 1), slot(y), slot(y + 1), s);
                medianPixelGeneral(src, out, 0, y, threshold);
                medianPixelGeneral(src, out, w - 1, y, threshold);
            } else {
#ifdef PW_MEDIAN_AVX2
                if (batches) {
                    for (int x = 0; x < w; ++x)
                        batches->add(src, out, x, y, threshold);
                    ++y;
                    continue;
                }
#endif
                for (int x = 0; x < w; ++x)
                    medianPixelGeneral(src, out, x, y, threshold);
            }
            ++y;
        }
#ifdef PW_MEDIAN_AVX2
        if (batches) batches->flush();
#endif
    });
    f.commit(&result);
}

void TFastPicture::Sobel(int Level, bool Overlay) {
    PixelFrame f(*this, "Sobel", engine::ranges::kSobelLevel.accepts(Level));
    if (!f) return;
    const Bitmap& src = *f.bitmap;
    const int w = src.width(), h = src.height();
    Bitmap result = makeResultLike(src);
    if (w < 3 || h < 3) {
        // No pixel has a whole 3 × 3 window, so no contour is found anywhere: the picture
        // is what an edge-free picture gives, unchanged under an overlay, white otherwise.
        for (int y = 0; y < h; ++y) {
            if (Overlay)
                std::memcpy(result.scanLine(y), src.scanLine(y), size_t(3) * size_t(w));
            else
                std::memset(result.scanLine(y), 255, size_t(3) * size_t(w));
        }
        f.commit(&result);
        return;
    }
    engine::forEachRowRange(h - 2, w, [&](int r0, int r1) {
        std::vector<uint32_t> mag(size_t(3) * size_t(w));
        for (int y = r0 + 1; y < r1 + 1; ++y)
            sobelRow(src, result, y, Level, Overlay, mag);
    });
    // The outermost rows repeat their inner neighbours (whose border columns are filled).
    std::memcpy(result.scanLine(0), result.scanLine(1), size_t(3) * size_t(w));
    std::memcpy(result.scanLine(h - 1), result.scanLine(h - 2), size_t(3) * size_t(w));
    f.commit(&result);
}

void TFastPicture::Mosaic(int BlockSize) {
    PixelFrame f(*this, "Mosaic", engine::ranges::kMosaicBlockSize.accepts(BlockSize));
    if (!f) return;
    Bitmap& bmp = *f.bitmap;
    const int w = bmp.width(), h = bmp.height();
    const int half = BlockSize / 2;
    const int cellRows = (h + BlockSize - 1) / BlockSize;
    // Each task takes whole rows of cells: a cell's sample lies inside the cell, so the
    // samples of a row of cells are read into one pattern row before any pixel is written.
    engine::forEachRowRangeOnce(
        cellRows,
        [&](int c0, int c1) {
            std::vector<uint8_t> pattern(size_t(3) * size_t(w));
            for (int cr = c0; cr < c1; ++cr) {
                const int cy = cr * BlockSize;
                const int rows = std::min(BlockSize, h - cy);
                for (int cx = 0; cx < w; cx += BlockSize) {
                    const uint8_t* sample = (cy + half < h && cx + half < w)
                                                ? bmp.scanLine(cy + half) + 3 * (cx + half)
                                                : bmp.scanLine(cy) + 3 * cx;
                    const int cols = std::min(BlockSize, w - cx);
                    uint8_t* p = pattern.data() + 3 * cx;
                    for (int k = 0; k < cols; ++k)
                        std::memcpy(p + 3 * k, sample, 3);
                }
                for (int r = 0; r < rows; ++r)
                    std::memcpy(bmp.scanLine(cy + r), pattern.data(), pattern.size());
            }
        },
        1);
    f.commit();
}

void TFastPicture::Framing(int FrameWidth, int FrameContrast, bool LightFromLeft) {
    PixelFrame f(*this, "Framing",
                 engine::ranges::kFrameWidth.accepts(FrameWidth) &&
                     engine::ranges::kFrameContrast.accepts(FrameContrast));
    if (!f) return;
    Bitmap& bmp = *f.bitmap;
    const int w = bmp.width(), h = bmp.height();
    const FrameTables full(FrameContrast);
    const FrameTables weak(100 + (FrameContrast - 100) / 2);
    // Top and left bands take the light from the left; bottom and right bands the shadow.
    const uint8_t* topTable = LightFromLeft ? weak.lighten : weak.darken;
    const uint8_t* bottomTable = LightFromLeft ? weak.darken : weak.lighten;
    const uint8_t* leftTable = LightFromLeft ? full.lighten : full.darken;
    const uint8_t* rightTable = LightFromLeft ? full.darken : full.lighten;
    // Band depths: each band stops at the picture's middle; an odd middle row or column
    // belongs to the bottom or right band.
    const int topBand = std::min(FrameWidth, h / 2);
    const int bottomBand = std::min(FrameWidth, h - h / 2);
    const int leftBand = std::min(FrameWidth, w / 2);
    const int rightBand = std::min(FrameWidth, w - w / 2);
    // The four bands never overlap, so each row can take its pieces of all four at once.
    //   top row k: columns k..w−1−k          left column k: rows k+1..h−1−k
    //   bottom row h−1−k: columns k+1..w−1−k right column w−1−k: rows k+1..h−2−k
    engine::forEachRowRangeOnce(h, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* row = bmp.scanLine(y);
            if (y < topBand && y <= w - 1 - y) applyTable(row, y, w - 1 - y, topTable);
            const int kb = h - 1 - y;
            if (kb < bottomBand && y >= h / 2 && kb + 1 <= w - 1 - kb)
                applyTable(row, kb + 1, w - 1 - kb, bottomTable);
            const int left = std::min({leftBand, y, h - y});
            if (left > 0) applyTable(row, 0, left - 1, leftTable);
            const int right = std::min({rightBand, y, h - 1 - y});
            if (right > 0) applyTable(row, w - right, w - 1, rightTable);
        }
    });
    f.commit();
}
