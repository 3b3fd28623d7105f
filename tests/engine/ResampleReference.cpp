// The resampling routines exactly as they stood before their rewrite, kept as the oracle the
// resampling tests compare the engine with on large and adversarial pictures. Compiled
// with -ffp-contract=off like the engine (tests/CMakeLists.txt).
#include "engine/ResampleReference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/RowDriver.h"
#include "platform/Exceptions.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define PW_X86_64 1
#endif

namespace reference {
namespace {

std::vector<const uint8_t*> rowTable(const Bitmap& bmp) {
    std::vector<const uint8_t*> rows(size_t(bmp.height()));
    for (int y = 0; y < bmp.height(); ++y)
        rows[size_t(y)] = bmp.scanLine(y);
    return rows;
}

// ----- bilinear stretch -----

// The nearest integer, ties to even, limited to 0..255.
uint8_t roundToByte(double v) {
    const double c = v < 0 ? 0 : v > 255 ? 255 : v;
    // Adding and removing 1.5 × 2^52 rounds to an integer, ties to even, like nearbyint in
    // the default rounding mode but without a library call.
    const double r = (c + 6755399441055744.0) - 6755399441055744.0;
    return uint8_t(int32_t(r));
}

// Near a rounding tie the double-precision value is not trusted; the value is then
// recomputed from the bilinear formula in extended precision, left to right.
constexpr double kTieMargin = 1e-9;

uint8_t bilinearExtended(int p00, int p10, int p01, int p11, double dx, double dy) {
    const long double ldx = dx, ldy = dy;
    const long double v = (long double)p00 + ldx * (long double)(p10 - p00) +
                          ldy * (long double)(p01 - p00) +
                          ldx * ldy * (long double)(p00 + p11 - p10 - p01);
    // Adding and removing 1.5 × 2^63 rounds to an integer in extended precision, ties to
    // even, without the cost of a library call.
    const long double magic = 13835058055282163712.0L;
    const long double r = (v + magic) - magic;
    // r is a whole number, so narrowing it to double is exact; converting from double
    // avoids the slow rounding-mode switch of a direct extended-to-integer conversion.
    const double d = double(r);
    return uint8_t(int32_t(d < 0 ? 0 : d > 255 ? 255 : d));
}

// Whether a fraction is a multiple of 2^-20. When dx and dy both are, every step of the
// bilinear formula on 8-bit values is exact in double precision (products keep at most
// 50 significant bits), so the double value is the exact value and ties are true ties.
bool shortFraction(double f) {
    const double scaled = f * 1048576.0;
    return scaled == std::floor(scaled);
}

// Adding and removing 1.5 × 2^52 rounds a double below 2^51 to an integer, ties to even;
// after the addition alone, a value in 0..255 stands in the low byte of the bit pattern.
constexpr double kRoundMagic = 6755399441055744.0;

// out[i] := nearest(h0[i] + dy × (h1[i] − h0[i])) limited to 0..255. The indices whose
// value inexact[i] marks and that lie within the tie margin of a half-integer go to ties,
// in increasing order; returns their number. Lanes values at a time, written with vector
// types because the compiler does not vectorise the mixed compare-and-or on its own.
template <int Lanes> struct Lanes_;
template <> struct Lanes_<2> {
    typedef double vd __attribute__((vector_size(16)));
    typedef int64_t vl __attribute__((vector_size(16)));
};
template <> struct Lanes_<4> {
    typedef double vd __attribute__((vector_size(32)));
    typedef int64_t vl __attribute__((vector_size(32)));
};

template <int Lanes>
__attribute__((always_inline)) inline int
roundRowBody(const double* h0, const double* h1, double dy, const int64_t* inexact, uint8_t* out,
             int* ties, int count, int base = 0) {
    using vd = typename Lanes_<Lanes>::vd;
    using vl = typename Lanes_<Lanes>::vl;
    vd dyv, magic, limit, zero, top;
    for (int l = 0; l < Lanes; ++l) {
        dyv[l] = dy;
        magic[l] = kRoundMagic;
        limit[l] = 0.5 - kTieMargin;
        zero[l] = 0;
        top[l] = 255;
    }
    int found = 0;
    int i = 0;
    for (; i + Lanes <= count; i += Lanes) {
        vd a, b;
        vl mask;
        std::memcpy(&a, h0 + i, sizeof a);
        std::memcpy(&b, h1 + i, sizeof b);
        std::memcpy(&mask, inexact + i, sizeof mask);
        vd x = a + dyv * (b - a);
        x = x < zero ? zero : x;
        x = x > top ? top : x;
        const vd shifted = x + magic;
        const vd d = x - (shifted - magic);
        const vl near = ((d > limit) | (d < -limit)) & mask;
        vl bits;
        std::memcpy(&bits, &shifted, sizeof bits);
        for (int l = 0; l < Lanes; ++l)
            out[i + l] = uint8_t(bits[l]);
        int64_t any = 0;
        for (int l = 0; l < Lanes; ++l)
            any |= near[l];
        if (any)
            for (int l = 0; l < Lanes; ++l)
                if (near[l]) ties[found++] = base + i + l;
    }
    for (; i < count; ++i) {
        double x = h0[i] + dy * (h1[i] - h0[i]);
        x = x < 0 ? 0 : x > 255 ? 255 : x;
        const double r = (x + kRoundMagic) - kRoundMagic;
        out[i] = uint8_t(int32_t(r));
        if (inexact[i] != 0 && std::fabs(x - r) > 0.5 - kTieMargin) ties[found++] = base + i;
    }
    return found;
}

int roundRowGeneric(const double* h0, const double* h1, double dy, const int64_t* inexact,
                    uint8_t* out, int* ties, int count) {
    return roundRowBody<2>(h0, h1, dy, inexact, out, ties, count);
}

#ifdef PW_X86_64
// The same operations four lanes wide. Without fused multiply-adds every lane's result is
// the one the generic version computes; the rounded bytes are gathered with one shuffle and
// the near-tie lanes found from a sign mask.
__attribute__((target("avx2"))) int roundRowAvx2(const double* h0, const double* h1, double dy,
                                                 const int64_t* inexact, uint8_t* out, int* ties,
                                                 int count) {
    const __m256d dyv = _mm256_set1_pd(dy), magic = _mm256_set1_pd(kRoundMagic);
    const __m256d limit = _mm256_set1_pd(0.5 - kTieMargin);
    const __m256d negLimit = _mm256_set1_pd(-(0.5 - kTieMargin));
    const __m256d zero = _mm256_setzero_pd(), top = _mm256_set1_pd(255);
    const __m256i lowWords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i lowBytes =
        _mm_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int found = 0;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d a = _mm256_loadu_pd(h0 + i);
        const __m256d b = _mm256_loadu_pd(h1 + i);
        __m256d x = _mm256_add_pd(a, _mm256_mul_pd(dyv, _mm256_sub_pd(b, a)));
        x = _mm256_min_pd(_mm256_max_pd(x, zero), top);
        const __m256d shifted = _mm256_add_pd(x, magic);
        const __m256d d = _mm256_sub_pd(x, _mm256_sub_pd(shifted, magic));
        __m256d near = _mm256_or_pd(_mm256_cmp_pd(d, limit, _CMP_GT_OQ),
                                    _mm256_cmp_pd(d, negLimit, _CMP_LT_OQ));
        near = _mm256_and_pd(near, _mm256_castsi256_pd(_mm256_loadu_si256(
                                       reinterpret_cast<const __m256i*>(inexact + i))));
        const __m256i words = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(shifted), lowWords);
        const int packed =
            _mm_cvtsi128_si32(_mm_shuffle_epi8(_mm256_castsi256_si128(words), lowBytes));
        std::memcpy(out + i, &packed, 4);
        const int m = _mm256_movemask_pd(near);
        if (m)
            for (int l = 0; l < 4; ++l)
                if (m & (1 << l)) ties[found++] = i + l;
    }
    return found +
           roundRowBody<2>(h0 + i, h1 + i, dy, inexact + i, out + i, ties + found, count - i, i);
}

#endif

using RoundRowFn = int (*)(const double*, const double*, double, const int64_t*, uint8_t*, int*,
                           int);

RoundRowFn roundRowForCpu() {
#ifdef PW_X86_64
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return roundRowAvx2;
#endif
    return roundRowGeneric;
}

struct StretchColumns {
    std::vector<int> a, b; // byte offsets of the left and right source pixels
    std::vector<double> dx;
    std::vector<uint8_t> exact; // dx is a short fraction
};

// One source row interpolated horizontally at every destination column, per channel.
void interpolateRow(const uint8_t* row, const StretchColumns& cols, double* out) {
    const size_t n = cols.dx.size();
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* pa = row + cols.a[x];
        const uint8_t* pb = row + cols.b[x];
        const double dx = cols.dx[x];
        for (int c = 0; c < 3; ++c)
            out[3 * x + c] = pa[c] + dx * (double(pb[c]) - double(pa[c]));
    }
}

// A bitmap as 24 bits per pixel, reading the source in place when it already is.
struct Source24 {
    Bitmap copy;
    const Bitmap* bmp;
    explicit Source24(const Bitmap& source) : bmp(&source) {
        if (source.pixelFormat() != pf24bit) {
            copy = source;
            copy.setPixelFormat(pf24bit);
            bmp = &copy;
        }
    }
};

// ----- area average -----

// nearest(sum / area) limited to 0..255, as roundToByte(sum / area) computes it. The sum is
// multiplied by the reciprocal instead: that product differs from the rounded quotient by a
// few units in the last place (under 1e-13 for values below 2^20), so wherever it lies
// farther than 1e-9 from a half-integer both round to the same integer. Closer to a tie,
// and for values that large, the quotient itself is computed.
struct AreaQuotient {
    double area, reciprocal;
    explicit AreaQuotient(double a) : area(a), reciprocal(1.0 / a) {}
    uint8_t operator()(double sum) const {
        constexpr double magic = 6755399441055744.0;
        const double q = sum * reciprocal;
        if (q >= 0 && q < 1048576.0) {
            const double r = (q + magic) - magic;
            if (std::fabs(q - r) < 0.5 - 1e-9) return uint8_t(int32_t(r > 255 ? 255 : r));
        }
        return roundToByte(sum / area);
    }
};

// The source cells [first, first + count) that one destination cell covers on an axis, and
// the length of each one's overlap with [lo, hi].
struct Coverage {
    std::vector<int> first, count;
    std::vector<double> weight; // flat, count[k] entries from offset[k]
    std::vector<size_t> offset;
};

Coverage coverage(int sourceSize, int targetSize, double scale) {
    Coverage cov;
    cov.first.resize(size_t(targetSize));
    cov.count.resize(size_t(targetSize));
    cov.offset.resize(size_t(targetSize));
    for (int k = 0; k < targetSize; ++k) {
        const double lo = k * scale;
        const double hi = (k + 1) * scale - 0.000001;
        const int j0 = std::max(0, int(std::floor(lo)));
        const int j1 = std::min(sourceSize - 1, int(std::floor(hi)));
        cov.first[size_t(k)] = j0;
        cov.count[size_t(k)] = std::max(0, j1 - j0 + 1);
        cov.offset[size_t(k)] = cov.weight.size();
        for (int j = j0; j <= j1; ++j) {
            const bool startsInside = j > lo;
            const bool endsInside = j + 1 < hi;
            double w;
            if (startsInside && endsInside)
                w = 1;
            else if (!startsInside && endsInside)
                w = (j + 1) - lo;
            else if (startsInside && !endsInside)
                w = hi - j;
            else
                w = hi - lo;
            cov.weight.push_back(w);
        }
    }
    return cov;
}

} // namespace

Bitmap bilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は拡大できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("拡大後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    Bitmap result(NewWidth, NewHeight, pf24bit);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;

    StretchColumns cols;
    cols.a.resize(size_t(NewWidth));
    cols.b.resize(size_t(NewWidth));
    cols.dx.resize(size_t(NewWidth));
    cols.exact.resize(size_t(NewWidth));
    for (int x = 0; x < NewWidth; ++x) {
        const double fx = (x + 0.5) * sx - 0.5;
        const double c = std::floor(fx);
        const int ci = int(c);
        cols.dx[size_t(x)] = fx - c;
        cols.exact[size_t(x)] = shortFraction(fx - c);
        cols.a[size_t(x)] = 3 * (ci < 0 ? 0 : ci);
        cols.b[size_t(x)] = 3 * (ci + 1 > w - 1 ? w - 1 : ci + 1);
    }
    const std::vector<const uint8_t*> rows = rowTable(src);
    const size_t n = size_t(3) * size_t(NewWidth);
    // Per byte of a destination row: all ones where dx is not a short fraction, so that masks
    // combine without branches.
    std::vector<int64_t> inexactMask(n), allInexact(n, -1);
    for (size_t i = 0; i < n; ++i)
        inexactMask[i] = cols.exact[i / 3] ? 0 : -1;
    static const RoundRowFn roundRow = roundRowForCpu();

    engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
        // Horizontally interpolated upper and lower source rows, kept while they serve.
        std::vector<double> upper(n), lower(n);
        std::vector<int> ties(n);
        int upperRow = -1, lowerRow = -1;
        for (int y = y0; y < y1; ++y) {
            const double fy = (y + 0.5) * sy - 0.5;
            const double r = std::floor(fy);
            const int ri = int(r);
            const double dy = fy - r;
            const int ra = ri < 0 ? 0 : ri;
            const int rb = ri + 1 > h - 1 ? h - 1 : ri + 1;
            if (ra != upperRow) {
                if (ra == lowerRow)
                    std::swap(upper, lower), std::swap(upperRow, lowerRow);
                else
                    interpolateRow(rows[size_t(ra)], cols, upper.data()), upperRow = ra;
            }
            if (rb != lowerRow) {
                if (rb == upperRow)
                    lower = upper;
                else
                    interpolateRow(rows[size_t(rb)], cols, lower.data());
                lowerRow = rb;
            }
            uint8_t* out = result.scanLine(y);
            const double* h0 = upper.data();
            const double* h1 = lower.data();
            // h0 + dy × (h1 − h0) equals the bilinear formula and differs from its
            // extended-precision evaluation by far less than the tie margin. Where dx and dy
            // are short fractions the value is exact and its rounding (ties to even) final;
            // elsewhere a value near a tie is recomputed in extended precision below.
            const int64_t* inexact = shortFraction(dy) ? inexactMask.data() : allInexact.data();
            const int found = roundRow(h0, h1, dy, inexact, out, ties.data(), int(n));
            const uint8_t* A = rows[size_t(ra)];
            const uint8_t* B = rows[size_t(rb)];
            for (int t = 0; t < found; ++t) {
                const size_t i = size_t(ties[size_t(t)]);
                const size_t x = i / 3, c = i % 3;
                const int a = cols.a[x] + int(c), b = cols.b[x] + int(c);
                out[i] = bilinearExtended(A[a], A[b], B[a], B[b], cols.dx[x], dy);
            }
        }
    });
    return result;
}

Bitmap areaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は縮小できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("縮小後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    Bitmap result(NewWidth, NewHeight, pf24bit);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;
    const float area = float(double(int64_t(w) * h) / NewWidth / NewHeight);
    const double areaD = area;
    const AreaQuotient quotient(areaD);
    const Coverage cx = coverage(w, NewWidth, sx);
    const Coverage cy = coverage(h, NewHeight, sy);
    const std::vector<const uint8_t*> rows = rowTable(src);

    // Where every destination pixel covers exactly two columns and two rows (a reduction to
    // about half), the sums are unrolled; the terms and their order are those of the
    // general loop below, so the results are the same.
    const auto allTwo = [](const Coverage& c) {
        return std::all_of(c.count.begin(), c.count.end(), [](int k) { return k == 2; });
    };
    if (allTwo(cx) && allTwo(cy)) {
        // Per byte of a destination row: the offset of its left source byte and the two
        // horizontal weights.
        const size_t n = size_t(3) * size_t(NewWidth);
        std::vector<int> off(n);
        std::vector<double> wa(n), wb(n);
        for (size_t q = 0; q < n; ++q) {
            const size_t x = q / 3;
            off[q] = 3 * cx.first[x] + int(q % 3);
            wa[q] = cx.weight[cx.offset[x]];
            wb[q] = cx.weight[cx.offset[x] + 1];
        }
        const std::vector<int64_t> everywhere(n, -1);
        static const RoundRowFn roundRow = roundRowForCpu();
        engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
            // A row goes in chunks small enough for the staged values to stay in the
            // first-level cache.
            constexpr size_t kStage = 512;
            double p00[kStage], p01[kStage], p10[kStage], p11[kStage], sums[kStage],
                quotients[kStage];
            int ties[kStage];
            for (int y = y0; y < y1; ++y) {
                uint8_t* row = result.scanLine(y);
                const int i0 = cy.first[size_t(y)];
                const double* wys = cy.weight.data() + cy.offset[size_t(y)];
                const double wy0 = wys[0], wy1 = wys[1];
                const uint8_t* A = rows[size_t(i0)];
                const uint8_t* B = rows[size_t(i0 + 1)];
                for (size_t c0 = 0; c0 < n; c0 += kStage) {
                    const size_t len = std::min(kStage, n - c0);
                    const int* o = off.data() + c0;
                    const double* a = wa.data() + c0;
                    const double* b = wb.data() + c0;
                    for (size_t q = 0; q < len; ++q) {
                        p00[q] = A[o[q]];
                        p01[q] = A[o[q] + 3];
                        p10[q] = B[o[q]];
                        p11[q] = B[o[q] + 3];
                    }
                    for (size_t q = 0; q < len; ++q) {
                        double sum = (a[q] * wy0) * p00[q];
                        sum += (b[q] * wy0) * p01[q];
                        sum += (a[q] * wy1) * p10[q];
                        sum += (b[q] * wy1) * p11[q];
                        sums[q] = sum;
                        quotients[q] = sum * quotient.reciprocal;
                    }
                    // With dy = 0 the row rounding passes each quotient through unchanged
                    // and lists the ones near a tie, which are then divided exactly.
                    uint8_t* out = row + c0;
                    const int found =
                        roundRow(quotients, quotients, 0.0, everywhere.data(), out, ties, int(len));
                    for (int t = 0; t < found; ++t) {
                        const size_t q = size_t(ties[t]);
                        out[q] = roundToByte(sums[q] / areaD);
                    }
                }
            }
        });
        return result;
    }

    engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* out = result.scanLine(y);
            const int i0 = cy.first[size_t(y)], ni = cy.count[size_t(y)];
            const double* wys = cy.weight.data() + cy.offset[size_t(y)];
            for (int x = 0; x < NewWidth; ++x) {
                const int j0 = cx.first[size_t(x)], nj = cx.count[size_t(x)];
                const double* wxs = cx.weight.data() + cx.offset[size_t(x)];
                // Summed row by row, left to right, each term (wx × wy) × value.
                double sb = 0, sg = 0, sr = 0;
                for (int i = 0; i < ni; ++i) {
                    const double wy = wys[i];
                    const uint8_t* p = rows[size_t(i0 + i)] + 3 * size_t(j0);
                    for (int j = 0; j < nj; ++j, p += 3) {
                        const double wgt = wxs[j] * wy;
                        sb += wgt * p[0];
                        sg += wgt * p[1];
                        sr += wgt * p[2];
                    }
                }
                out[3 * x] = quotient(sb);
                out[3 * x + 1] = quotient(sg);
                out[3 * x + 2] = quotient(sr);
            }
        }
    });
    return result;
}

} // namespace reference
