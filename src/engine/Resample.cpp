// Resampling to a new size: BilinearStretch (enlargement) and AreaAverageShrink (reduction),
// with their vector kernels. Every result is defined by a formula in extended or double
// precision; the kernels compute it faster and prove, case by case, that they give the
// same bytes.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/FastPicture.h"
#include "engine/Resample.h"
#include "engine/RowDriver.h"
#include "engine/VectorLevel.h"
#include "platform/Exceptions.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define PW_X86_64 1
#endif

// The resampling arithmetic must be rounded operation by operation, never fused into a
// multiply-add, so that it equals plain single- and double-precision arithmetic on every
// machine: the build compiles the engine with -ffp-contract=off (see src/CMakeLists.txt).

namespace {

// The nearest integer, ties to even, limited to 0..255.
uint8_t roundToByte(double v) {
    const double c = v < 0 ? 0 : v > 255 ? 255 : v;
    // Adding and removing 1.5 × 2^52 rounds to an integer, ties to even, like nearbyint in
    // the default rounding mode but without a library call.
    const double r = (c + 6755399441055744.0) - 6755399441055744.0;
    return uint8_t(int32_t(r));
}

// The value of the bilinear formula in extended precision, left to right, rounded to the
// nearest integer, ties to even.
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

// Kernels with an AVX2 version pick it once, at first use; engine::useGenericResampleKernels
// (Resample.h) makes the tests run the plain versions, which give the same bytes.
std::atomic<bool> genericKernelsOnly{false};

bool useAvx2() {
#ifdef PW_X86_64
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("popcnt") != 0;
    }();
    return avx2 && !genericKernelsOnly.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// The bilinear value of every destination byte is first computed in single precision:
// horizontally, h = P + dx × (Q − P) on the two source rows, then vertically,
// v = h0 + dy × (h1 − h0), which is the bilinear formula regrouped. Call E the formula
// evaluated in extended precision, whose nearest integer (ties to even) is the result, and R
// its exact value. R lies in 0..255 and E is within 1e-15 of it.
//
// How far v can be from R. With dx', dy' the single-precision copies of dx and dy,
// |dx' − dx| ≤ 2^-25 and |dy' − dy| ≤ 2^-25 (both lie in 0..1). Every intermediate is below
// 2^9 in magnitude, so each rounding costs at most half a unit in the last place, 2^-16.
// Horizontally Q − P is exact; dx' × (Q − P) is off by 255 × 2^-25 for dx' plus 2^-16 for
// its rounding, and the sum by another 2^-16: |h − h*| ≤ 255 × 2^-25 + 2^-15 < 3.9e-5 for the
// exact horizontal value h*. Vertically h0 + dy × (h1 − h0) with dy in 0..1 moves at most as
// far as the larger error of h0 and h1 (3.9e-5); the rounded difference adds 2^-16 × dy,
// dy' adds 255 × 2^-25, the product's rounding 2^-16 and the sum's 2^-16. In all
// |v − R| < 3.9e-5 + 3 × 2^-16 + 7.6e-6 < 9.3e-5, and |v − E| < 9.3e-5 + 1e-15.
//
// So wherever v is more than kNearTie = 2^-13 (1.22e-4) away from a half-integer, E lies on
// the same side of it and rounds to the integer v rounds to. Values closer are settled by
// VectorSettle or TieResolver below, and where those cannot tell recomputed as E
// (bilinearExtended), unless the arithmetic is known to be exact: when dx and dy are
// multiples of 2^-8 (as for factors 2 and 4), P, Q, h and v are multiples of 2^-16 below 2^8,
// which single precision holds exactly, so v = R = E and rounding v, ties to even, is final.
// A destination column whose two source columns are the same one (at the left and right
// edges) has h = P exactly whatever dx is, and the same holds for rows.
constexpr float kNearTie = 0.5f - 1.0f / 8192.0f; // |v − nearest(v)| above this: near a tie
// Adding 1.5 × 2^23 rounds a float below 2^22 to an integer, ties to even; afterwards a
// value in 0..255 stands in the low byte of the bit pattern.
constexpr float kRoundMagicF = 12582912.0f;

bool multipleOf256th(double f) {
    const double scaled = f * 256.0;
    return scaled == std::floor(scaled);
}

// The columns of a stretch: per destination pixel the byte offsets of its left and right
// source pixels and dx in double and single precision; per destination byte whether its
// value needs the near-tie check (-1) or is exact (0).
struct StretchColumns {
    std::vector<int> a, b;
    std::vector<double> dx;
    std::vector<float> dxf; // 0 where a = b: the value is P there, whatever dx is
    std::vector<int32_t> check, checkAll;
    // For enlargements, per block of eight destination bytes: the source byte offset of
    // its lowest byte, the offsets of all eight relative to it (always 0..7, since the
    // source column advances by at most one per destination pixel) and their dx'.
    std::vector<int> blockBase;
    std::vector<int32_t> blockRel;
    std::vector<float> blockDx;
    // For settling near-tie values inside the vector kernel (see VectorSettle): per
    // destination byte, -1 where the right source column is the next one (0 at the edges,
    // where Q − P counts as 0), δx × 2^40 and its error allowance |δx| × 2^29.
    std::vector<int32_t> neighbour;
    std::vector<float> deltaX, deltaXBound;
};

// Settling in the AVX2 kernel, for calls whose positions have small denominators (see
// TieResolver: every value flagged near a tie then has Rq = t + ½ exactly). There
// R − (t + ½) = δx g + δy d with g = A + dy C and d = B + qx C. The kernel has, in single
// precision, g' = G0 + dy' (G1 − G0) from the rows of differences G = Q − P (exact
// integers; |g' − g| < 6.2e-5) and d' = h1 − h0 (|d' − d| < 9.4e-5 + 510 |δx|), and forms
// c' = X g' + Y d' with X = δx × 2^40 and Y = δy × 2^40 rounded to single precision. With
// |δx| ≤ 2^-24 the error of c' against 2^40 (R − (t + ½)) is below (|X| + |Y|) × 2.4e-4 plus
// 2^-24 |c'|; so where |c'| > (|X| + |Y|) × 2^-11 + 2^-11, R − (t + ½) has the sign of c'
// and exceeds 2^-52 > |E − R|: the result is t + 1 for c' > 0 and t otherwise. The other
// flagged values go to TieResolver.
struct VectorSettle {
    const float* g0 = nullptr; // rows of differences; null: no settling in the kernel
    const float* g1 = nullptr;
    const float* deltaX = nullptr;
    const float* deltaXBound = nullptr;
    float deltaY = 0, deltaYBound = 0; // δy × 2^40, |δy| × 2^29 + 2^-11
};

// Settles values near a rounding tie without extended precision where that is safe.
//
// With exact arithmetic the source position of destination column x is
// fx* = ((2x + 1) W − NW) / (2 NW), so dx = fx − c lies next to qx = mx / (2 NW) for the
// integer mx = (2x + 1) W − NW − 2 NW c; likewise dy next to qy = my / (2 NH). The bilinear
// value at (qx, qy), Rq, is a fraction with denominator D = 4 NW NH, and the exact value is
//     R = Rq + δx (A + dy C) + δy (B + qx C),   δx = dx − qx, δy = dy − qy,
// with A = p10 − p00, B = p01 − p00, C = p00 + p11 − p10 − p01 (an identity: nothing is
// dropped). Rq − (t + ½) = N / D for an integer N computed exactly in 64 bits.
// - N ≠ 0: |Rq − (t + ½)| ≥ 1 / D. When every |δx| and |δy| of the call is so small that
//   the correction stays below 1 / D − 2^-51, R lies on the side of the tie N says.
//   When all qx and qy share small denominators dX and dY (zoom factors such as 1.5 or
//   2.5), no other fraction with denominator dX dY comes within the tie margin, so every
//   flagged value has N = 0 and N need not be computed.
// - N = 0 (the usual case: an exact tie moved by the rounding of dx and dy): the sign of
//   R − (t + ½) is the sign of the correction, computed in double precision; it counts
//   when the correction exceeds its own rounding error and 2^-51.
// In both cases E, the extended-precision value the result is defined by, is within 2^-53
// of R (each of its roundings is below 2^-56, the rounding of dx × dy times |C| ≤ 510 below
// 2^-55), so it rounds to the same side. When R is the tie exactly and E's steps are exact
// (C = 0 and one of the two δ terms vanishing as a product by zero), the tie goes to the
// even integer. Everything else is computed as E.
struct TieResolver {
    struct Axis {
        std::vector<int64_t> m;   // per destination column or row
        std::vector<double> q, e; // q and δ
        int64_t scale = 0;        // 2 NW or 2 NH
        int64_t denominator = 0;  // of all q in lowest terms
        double maxDelta = 0, maxQ = 1;
    };
    Axis xs, ys;
    int64_t d2;               // 2 NW NH (D / 2)
    bool atRq = false;        // every value near a tie has Rq = t + ½ exactly
    bool byNumerator = false; // N ≠ 0 decides alone

    // δ = value − m / scale, accurately: value × scale is split into two exact products.
    static double offset(double value, int64_t m, int64_t scale) {
        const double split = 134217729.0 * value; // 2^27 + 1
        const double hi = split - (split - value), lo = value - hi;
        const double s = double(scale);
        return ((hi * s - double(m)) + lo * s) / s;
    }

    // The positions (k + 0.5) × size / target − 0.5 of an axis, as the stretch computes them.
    static Axis axis(int size, int target) {
        Axis ax;
        ax.scale = 2 * int64_t(target);
        const double scale = double(size) / target;
        int64_t g = ax.scale;
        for (int k = 0; k < target; ++k) {
            const double f = (k + 0.5) * scale - 0.5;
            const double c = std::floor(f);
            const int64_t m = (2 * int64_t(k) + 1) * size - target - ax.scale * int64_t(c);
            ax.m.push_back(m);
            ax.q.push_back(double(m) / double(ax.scale));
            ax.e.push_back(offset(f - c, m, ax.scale));
            ax.maxDelta = std::max(ax.maxDelta, std::fabs(ax.e.back()));
            ax.maxQ = std::max(ax.maxQ, std::fabs(ax.q.back()));
            g = std::gcd(g, m < 0 ? -m : m);
        }
        ax.denominator = ax.scale / g;
        return ax;
    }

    TieResolver(int w, int h, int NW, int NH)
        : xs(axis(w, NW)), ys(axis(h, NH)), d2(2 * int64_t(NW) * NH) {
        // |A + dy C| ≤ 765 and |B + qx C| ≤ 255 + 510 max |qx|: the largest |R − Rq|.
        const double correction = (xs.maxDelta * 765 + ys.maxDelta * (255 + 510 * xs.maxQ)) * 1.001;
        // A value is flagged within 2^-13 of t + ½ and lies within 9.3e-5 of R; a fraction
        // with denominator dX dY other than t + ½ is at least 1 / (2 dX dY) away from it.
        const double dxy = double(xs.denominator) * double(ys.denominator);
        atRq = 0.99 / (2 * dxy) > 0x1p-13 + 9.3e-5 + correction;
        // Otherwise Rq and the tie differ by at least 1 / D when they differ.
        byNumerator = 0.999 / (2.0 * double(d2)) > correction + 0x1p-51;
    }

    // The result for a value v (single precision) near the tie t + ½ at destination
    // column x and row y, or −1 when only the extended-precision value can tell.
    int settle(size_t x, int y, int p00, int p10, int p01, int p11, double dy, float v) const {
        const int t = int(v); // v is within 2^-13 of t + ½ and t ≥ 0: truncation is floor
        const int A = p10 - p00, B = p01 - p00, C = p00 + p11 - p10 - p01;
        if (!atRq) {
            const int64_t mx = xs.m[x], my = ys.m[size_t(y)];
            const int64_t N = int64_t(p00) * 2 * d2 + mx * A * ys.scale + my * B * xs.scale +
                              mx * my * C - (2 * int64_t(t) + 1) * d2;
            if (N != 0) return byNumerator ? (N > 0 ? t + 1 : t) : -1;
        }
        const double ex = xs.e[x], ey = ys.e[size_t(y)];
        const double sum =
            ex * (double(A) + dy * double(C)) + ey * (double(B) + xs.q[x] * double(C));
        const double error = (std::fabs(ex) + std::fabs(ey)) * 0x1p-39 + 0x1p-51;
        // Which side is a coin toss: no branch on it.
        if (std::fabs(sum) > error) return t + int(sum > 0);
        if (C == 0 && ((A == 0 && (B == 0 || ey == 0)) || (B == 0 && (A == 0 || ex == 0))))
            return t % 2 == 0 ? t : t + 1;
        return -1;
    }
};

#ifdef PW_X86_64
// ----- stretches whose positions have small denominators, in integers -----
//
// For zooms such as 1.5, 2.5, 1.25 or 3 every source position lies next to a fraction with
// a small denominator: qx = kx / dX and qy = ky / dY (TieResolver's axes in lowest terms).
// The bilinear value at those fractions is then an integer ratio, computed exactly in
// 16-bit lanes: per source row H = (dX − kx) P + kx Q = dX h, and
//     Rq = N / D,   N = (dY − ky) H0 + ky H1,   D = dX dY ≤ 256,   0 ≤ N ≤ 255 D.
// R, the formula at the double-precision dx and dy, differs from Rq by at most the
// resolver's correction (a few 1e-13 at most), and E, the extended-precision value the
// result is defined by, differs from R by less than 2^-51.
// - N mod D ≠ D / 2: Rq lies at least 1 / (2D) from every half-integer, farther than the
//   correction and 2^-51 together (checked per call), so the result is the nearest integer
//   of Rq, floor((N + ⌊D / 2⌋) / D).
// - N mod D = D / 2 (D even): Rq = t + ½ and the sign of c = R − (t + ½) decides, with E
//   on the same side of t + ½ as R wherever |c| exceeds |E − R|.
//
// How far E is from R. E adds, in this order and with 64-bit significands, p00, dx A, dy B
// and (dx dy) C. Where dx and dy are multiples of 2^-55 (every column and row but perhaps
// the first, whose position can lie below ½), dx A and dy B are exact, and so are the first
// two sums: their terms are multiples of 2^-55 below 2^9. Only dx dy (below 1: off by at
// most 2^-65), its product with C (off by |C| 2^-64) and the last sum (a value below 256:
// off by 2^-57) round, so |E − R| ≤ |C| 2^-63 + 2^-57. The sum cannot round onto the tie
// either: the tie is a representable number, and the exact sum lies farther from it than
// the sum's rounding.
//
// The sign of c. With A, B, C as in TieResolver, c = δx g + δy d for g = A + dy C =
// Gi / dY + δy C and d = B + qx C = Di / dX, where Gi = (dY − ky) G0 + ky G1 for the
// differences G = Q − P of each source row, Di = H1 − H0 and C = G1 − G0, all exact
// integers. In single precision c' = X Gi + Y Di with X = δx / dY × 2^40 and
// Y = δy / dX × 2^40 rounded; the four roundings are each relative 2^-24, so
// |c' − 2^40 (c − δx δy C)| is below (|X| |Gi| + |Y| |Di|) × 3 × 2^-24, which the two rounded
// products times 2^-22 exceed. Where |c'| exceeds that plus 2^40 (|E − R| + max |δx δy C|),
// taken as 510 × 2^-22 + 2^-16 + 2^40 max |δx δy C| (|C| ≤ 510), at positions that are
// multiples of 2^-55, c has the sign of c' and E lies on its side: the result is t + 1 for
// c' > 0 and t otherwise.
//
// Exact ties. Where each term of c is a product by zero (δx = 0, or Gi = 0 and δy C = 0;
// and δy = 0 or Di = 0), R = t + ½ exactly. At positions that are multiples of 2^-55 E is R
// itself, and the tie goes to the even one of t and t + 1, when its two other products are
// exact too: C = 0, or dx and dy have at most 55 significant bits together (dx dy has no
// more, and its product with |C| < 2^9 at most 64). The last sum is then exact, since its
// exact value t + ½ is a representable number. δx = δy = 0 is such a case: dx and dy are
// then fractions with a power of two up to 2^7 below. The rare others go to TieResolver and
// the extended precision.
//
// Pixels at the picture's edges, whose two source columns or rows are one, need nothing
// special: there P = Q, so H = dX P and G = 0, whatever the weights.
struct RationalStretch {
    int dX = 0, dY = 0, D = 0;
    uint16_t half = 0, magic = 0; // ⌊D / 2⌋; floor(n / D) = (n × magic) >> (16 + shift)
    int shift = 0;
    // Per block of 32 destination bytes: the source byte offset it reads 64 bytes from, and
    // per destination byte the offsets of its P and Q there and their weights dX − kx, kx.
    std::vector<int> base;
    std::vector<uint8_t> index, weight;
    std::vector<float> X;               // per destination byte
    std::vector<uint32_t> exactColumns; // per block: the bytes whose δx is 0
    bool allColumnsExact = true;
    std::vector<int16_t> bitsX;        // per destination byte: significant bits of dx
    std::vector<uint32_t> fineColumns; // per block: the bytes whose dx is a multiple of 2^-55
    int fineFrom = 0;                  // the byte from which on every column is
    int maxBitsX = 0;
    std::vector<uint16_t> ky; // per destination row
    float K = 0;              // 510 × 2^-22 + 2^-16 + 2^40 max |δx δy C|, rounded up
};

// A position's fraction d as odd × 2^low with that odd number of bits significant bits
// (both 0 for 0).
struct FractionBits {
    int low = 0, bits = 0;
    explicit FractionBits(double d) {
        if (d == 0) return;
        int e = 0;
        const double f = std::frexp(d, &e); // d = f × 2^e, f in [½, 1) with 53 bits
        low = e - 53 + __builtin_ctzll(uint64_t(std::ldexp(f, 53)));
        bits = e - low;
    }
    bool fine() const { return low >= -55; }
};

// The integer plan of a stretch, or false where the call does not have that shape.
bool planRationalStretch(int NewWidth, int NewHeight, const StretchColumns& cols,
                         const TieResolver& res, RationalStretch& r) {
    const int64_t dX = res.xs.denominator, dY = res.ys.denominator;
    if (dX > 127 || dY > 127 || dX * dY > 256) return false;
    if (res.xs.maxDelta > 0x1p-24 || res.ys.maxDelta > 0x1p-24) return false;
    r.dX = int(dX);
    r.dY = int(dY);
    r.D = int(dX * dY);
    const double correction =
        (res.xs.maxDelta * 765 + res.ys.maxDelta * (255 + 510 * res.xs.maxQ)) * 1.001;
    if (correction + 0x1p-51 >= 0.99 / (2.0 * r.D)) return false;

    // Division by D as a multiplication: the largest shift whose factor fits sixteen bits,
    // checked on every numerator the call can meet.
    r.half = uint16_t(r.D / 2);
    const uint32_t top = 255u * uint32_t(r.D) + r.half;
    int s = 0;
    while (s < 15 && (uint32_t(1) << (s + 1)) < uint32_t(r.D))
        ++s;
    const uint64_t magic = ((uint64_t(1) << (16 + s)) + uint64_t(r.D) - 1) / uint64_t(r.D);
    if (magic > 0xffff) return false;
    for (uint32_t v = 0; v <= top; ++v)
        if (((v * magic) >> (16 + s)) != v / uint32_t(r.D)) return false;
    r.magic = uint16_t(magic);
    r.shift = s;

    // An even number of blocks: the row kernel takes two at a time.
    const size_t n = size_t(3) * size_t(NewWidth), blocks = 2 * ((n + 63) / 64);
    r.base.resize(blocks);
    r.index.assign(64 * blocks, 0);
    r.weight.assign(64 * blocks, 0);
    // The row kernel may start anywhere and read up to 64 values past the row.
    r.X.assign(32 * blocks + 64, 0.0f);
    r.exactColumns.assign(blocks + 3, 0);
    r.bitsX.assign(32 * blocks + 64, 0);
    r.fineColumns.assign(blocks + 3, 0);
    const int64_t gx = res.xs.scale / dX;
    for (size_t k = 0; k < blocks; ++k) {
        const size_t i0 = 32 * k, i1 = std::min(n, i0 + 32);
        if (i0 >= n) break; // past the row: index and weights 0, read from the row's start
        int lowest = cols.a[i0 / 3] + int(i0 % 3);
        for (size_t i = i0; i < i1; ++i)
            lowest = std::min(lowest, cols.a[i / 3] + int(i % 3));
        r.base[k] = lowest;
        for (size_t i = i0; i < i1; ++i) {
            const size_t x = i / 3;
            const int p = cols.a[x] + int(i % 3) - lowest, q = cols.b[x] + int(i % 3) - lowest;
            const int64_t m = res.xs.m[x];
            if (q > 63 || p > 63 || m % gx != 0 || m / gx < 0 || m / gx > dX) return false;
            const int kx = int(m / gx);
            r.index[2 * i] = uint8_t(p);
            r.index[2 * i + 1] = uint8_t(q);
            r.weight[2 * i] = uint8_t(r.dX - kx);
            r.weight[2 * i + 1] = uint8_t(kx);
            const double X = res.xs.e[x] * 0x1p40 / double(dY);
            r.X[i] = float(X);
            const FractionBits fx(cols.dx[x]);
            const bool fine = fx.fine();
            r.bitsX[i] = int16_t(fx.bits);
            r.maxBitsX = std::max(r.maxBitsX, fx.bits);
            if (fine)
                r.fineColumns[k] |= uint32_t(1) << (i - i0);
            else
                r.fineFrom = int(i) + 1;
            if (res.xs.e[x] == 0)
                r.exactColumns[k] |= uint32_t(1) << (i - i0);
            else
                r.allColumnsExact = false;
        }
    }
    r.ky.resize(size_t(NewHeight));
    const int64_t gy = res.ys.scale / dY;
    for (int y = 0; y < NewHeight; ++y) {
        const int64_t m = res.ys.m[size_t(y)];
        if (m % gy != 0 || m / gy < 0 || m / gy > dY) return false;
        r.ky[size_t(y)] = uint16_t(m / gy);
    }
    r.K =
        float((res.xs.maxDelta * res.ys.maxDelta * 510 * 1.01 * 0x1p40 + 510 * 0x1p-22 + 0x1p-16) *
              (1 + 0x1p-20));
    return true;
}

#define PW_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))
#define PW_AVX512_LAMBDA                                                                           \
    __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi"), always_inline))

// Byte permute: the low bytes of the 64 sixteen-bit lanes of two registers.
constexpr std::array<uint8_t, 64> kLowBytes = [] {
    std::array<uint8_t, 64> t{};
    for (int k = 0; k < 64; ++k)
        t[size_t(k)] = uint8_t(2 * k);
    return t;
}();

// H and G of one source row: per block one load, one byte permute to (P, Q) pairs and two
// multiply-adds of pairs, by the weights and by (−1, +1).
PW_AVX512 void rationalHorizontal(const uint8_t* row, int rowBytes, const RationalStretch& r,
                                  int16_t* H, int16_t* G) {
    const __m512i minusPlus = _mm512_set1_epi16(0x01FF);
    const size_t blocks = r.base.size();
    for (size_t k = 0; k < blocks; ++k) {
        const int b = r.base[k];
        const int left = rowBytes - b;
        const __m512i src = left >= 64
                                ? _mm512_loadu_si512(row + b)
                                : _mm512_maskz_loadu_epi8((uint64_t(1) << left) - 1, row + b);
        const __m512i pairs =
            _mm512_maskz_permutexvar_epi8(~__mmask64(0), _mm512_loadu_si512(&r.index[64 * k]), src);
        _mm512_storeu_si512(H + 32 * k,
                            _mm512_maddubs_epi16(pairs, _mm512_loadu_si512(&r.weight[64 * k])));
        _mm512_storeu_si512(G + 32 * k, _mm512_maddubs_epi16(pairs, minusPlus));
    }
    _mm256_zeroupper();
}

// Sixteen lanes of v, the low or the high ones, as floats. GCC's own definitions of these
// intrinsics start from an undefined register and draw a false warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
PW_AVX512 inline __m512 widen(__m512i v, int high) {
    const __m256i part = high ? _mm512_extracti64x4_epi64(v, 1) : _mm512_castsi512_si256(v);
    return _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(part));
}
#pragma GCC diagnostic pop

PW_AVX512 inline __m512 absolute(__m512 v) {
    return _mm512_castsi512_ps(
        _mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7fffffff)));
}

// One destination row from the H and G of its two source rows; the bytes whose tie c' does
// not settle are listed in ties, written as t + 1. Returns their number.
// The 32 bits of a bit array from bit i on.
inline uint32_t bitsFrom(const uint32_t* words, int i) {
    const size_t w = size_t(i) / 32;
    return uint32_t((uint64_t(words[w]) | uint64_t(words[w + 1]) << 32) >> (unsigned(i) % 32));
}

// What one destination row's kernel needs besides the rows of H and G.
struct RationalRow {
    int ky = 0;
    float Y = 0;
    bool exactRow = false;  // δy = 0
    FractionBits bits{0.0}; // of dy
};

// The kernel's values for one destination row, in registers for the whole row.
struct RationalLanes {
    const int16_t *H0, *H1, *G0, *G1;
    const RationalStretch& r;
    const RationalRow& row;
    __m512i wa, wb, half, magic, D, one, bitsLimit;
    __m128i shift;
    __m512 Y, boundScale, K;
    bool oddD, allExact;
    // δy = 0 and dy with few enough bits for every column: a tie is exact wherever each term
    // of c is a product by zero, which here is δx = 0 or Gi = 0.
    bool simpleExact;

    PW_AVX512 RationalLanes(const int16_t* h0, const int16_t* h1, const int16_t* g0,
                            const int16_t* g1, const RationalStretch& plan, const RationalRow& rr)
        : H0(h0), H1(h1), G0(g0), G1(g1), r(plan), row(rr),
          wa(_mm512_set1_epi16(int16_t(plan.dY - rr.ky))), wb(_mm512_set1_epi16(int16_t(rr.ky))),
          half(_mm512_set1_epi16(int16_t(plan.half))),
          magic(_mm512_set1_epi16(int16_t(plan.magic))), D(_mm512_set1_epi16(int16_t(plan.D))),
          one(_mm512_set1_epi16(1)), bitsLimit(_mm512_set1_epi16(int16_t(55 - rr.bits.bits))),
          shift(_mm_cvtsi32_si128(plan.shift)), Y(_mm512_set1_ps(rr.Y)),
          boundScale(_mm512_set1_ps(0x1p-22f * (1 + 0x1p-20f))), K(_mm512_set1_ps(plan.K)),
          oddD(plan.D % 2 != 0), allExact(rr.exactRow && plan.allColumnsExact),
          simpleExact(rr.exactRow && rr.bits.fine() && plan.maxBitsX <= 55 - rr.bits.bits) {}

    // Positions that are multiples of 2^-55 among the 32 bytes from i.
    __mmask32 fine(int i) const {
        return !row.bits.fine()  ? 0
               : i >= r.fineFrom ? ~__mmask32(0)
                                 : bitsFrom(r.fineColumns.data(), i);
    }

    // 32 bytes of the row from i as sixteen-bit lanes; the ties they cannot settle are
    // appended to ties. valid marks the lanes inside the row.
    __attribute__((always_inline)) PW_AVX512 __m512i at(int i, __mmask32 valid, int* ties,
                                                        int& found) const {
        const __m512i h0 = _mm512_loadu_si512(H0 + i), h1 = _mm512_loadu_si512(H1 + i);
        __mmask32 tie;
        const __m512i q = base(h0, h1, valid, tie);
        if (oddD || allExact) return q;
        const Differences diff(G0, G1, h0, h1, i, !row.exactRow);
        return settle(i, q, tie, diff, ties, found);
    }

    // The nearest integers of Rq; at a tie, marked in tie, t + 1, or already the even one of
    // t and t + 1 where every tie of the row is exact.
    __attribute__((always_inline)) PW_AVX512 __m512i base(__m512i h0, __m512i h1, __mmask32 valid,
                                                          __mmask32& tie) const {
        const __m512i num = _mm512_add_epi16(
            _mm512_add_epi16(_mm512_mullo_epi16(h0, wa), _mm512_mullo_epi16(h1, wb)), half);
        const __m512i q = _mm512_srl_epi16(_mm512_mulhi_epu16(num, magic), shift);
        if (oddD) return q;
        tie = _mm512_mask_cmpeq_epi16_mask(valid, _mm512_mullo_epi16(q, D), num);
        // (Written without branches on the ties themselves, which come and go at random.)
        if (allExact) return _mm512_mask_sub_epi16(q, tie & _mm512_test_epi16_mask(q, one), q, one);
        return q;
    }

    // What the ties of the 32 bytes from i need of the two source rows, the same for every
    // destination row between them.
    // d as floats only where a row with δy ≠ 0 needs it.
    struct Differences {
        __m512i g0, g1, d;
        __m512 df[2];
        __attribute__((always_inline)) PW_AVX512 Differences(const int16_t* G0, const int16_t* G1,
                                                             __m512i h0, __m512i h1, int i,
                                                             bool floats)
            : g0(_mm512_loadu_si512(G0 + i)), g1(_mm512_loadu_si512(G1 + i)),
              d(_mm512_sub_epi16(h1, h0)), df{floats ? widen(d, 0) : _mm512_setzero_ps(),
                                              floats ? widen(d, 1) : _mm512_setzero_ps()} {}
    };

    // Settles the ties of q (t + 1 there) by the sign of c', and the exact ones the sign
    // leaves open; the rest are appended to ties.
    __attribute__((always_inline)) PW_AVX512 __m512i settle(int i, __m512i q, __mmask32 tie,
                                                            const Differences& diff, int* ties,
                                                            int& found) const {
        const __m512i g =
            _mm512_add_epi16(_mm512_mullo_epi16(diff.g0, wa), _mm512_mullo_epi16(diff.g1, wb));
        // By the sign of c', sixteen lanes at a time.
        __mmask16 decided[2], up[2];
#pragma GCC unroll 2
        for (int part = 0; part < 2; ++part) {
            const __m512 gf = widen(g, part);
            const __m512 p1 =
                _mm512_mul_ps(_mm512_loadu_ps(&r.X[size_t(i) + 16 * size_t(part)]), gf);
            // Where δy = 0, Y = 0 and the second term vanishes: c' = p1 and the bound the same.
            const __m512 p2 = row.exactRow ? _mm512_setzero_ps() : _mm512_mul_ps(Y, diff.df[part]);
            const __m512 c = row.exactRow ? p1 : _mm512_add_ps(p1, p2);
            // The bound alone may be a fused multiply-add: it only has to stay above the error.
            const __m512 bound = _mm512_fmadd_ps(
                row.exactRow ? absolute(p1) : _mm512_add_ps(absolute(p1), absolute(p2)), boundScale,
                K);
            decided[part] = _mm512_cmp_ps_mask(absolute(c), bound, _CMP_GT_OQ);
            up[part] = _mm512_cmp_ps_mask(c, _mm512_setzero_ps(), _CMP_GT_OQ);
        }
        const __mmask32 settled = _mm512_kunpackw(decided[1], decided[0]) & tie & fine(i);
        q = _mm512_mask_sub_epi16(q, settled & ~_mm512_kunpackw(up[1], up[0]), q, one);
        __mmask32 open = tie & ~settled;
        if (simpleExact && open) {
            const __mmask32 exact =
                open & fine(i) &
                (bitsFrom(r.exactColumns.data(), i) | _mm512_testn_epi16_mask(g, g));
            q = _mm512_mask_sub_epi16(q, exact & _mm512_test_epi16_mask(q, one), q, one);
            open &= ~exact;
        }
        return open ? others(i, q, open, g, diff.d, ties, found) : q;
    }

    // The ties the sign of c' left open: exact ones go to the even one, the rest to ties.
    PW_AVX512 __attribute__((noinline)) __m512i others(int i, __m512i q, __mmask32 open, __m512i g,
                                                       __m512i d, int* ties, int& found) const {
        const __m512i C = _mm512_sub_epi16(_mm512_loadu_si512(G1 + i), _mm512_loadu_si512(G0 + i));
        const uint32_t exactColumns = bitsFrom(r.exactColumns.data(), i);
        const __mmask32 flat = _mm512_testn_epi16_mask(C, C);
        const __mmask32 exactE =
            fine(i) &
            (flat | _mm512_cmple_epi16_mask(_mm512_loadu_si512(&r.bitsX[size_t(i)]), bitsLimit));
        const __mmask32 noX =
            exactColumns | (_mm512_testn_epi16_mask(g, g) & (row.exactRow ? ~__mmask32(0) : flat));
        const __mmask32 noY = row.exactRow ? ~__mmask32(0) : _mm512_testn_epi16_mask(d, d);
        const __mmask32 exact = open & exactE & noX & noY;
        q = _mm512_mask_sub_epi16(q, exact & _mm512_test_epi16_mask(q, one), q, one);
        for (uint32_t left = open & ~exact; left; left &= left - 1)
            ties[found++] = i + __builtin_ctz(left);
        return q;
    }
};

// One destination row of n bytes from the H and G of its two source rows; the bytes whose
// tie the kernel does not settle are listed in ties, written as t + 1. Returns their number.
PW_AVX512 int rationalVertical(const int16_t* H0, const int16_t* H1, const int16_t* G0,
                               const int16_t* G1, const RationalRow& row, const RationalStretch& r,
                               uint8_t* __restrict out, int* __restrict ties, int n, bool stream) {
    const RationalLanes lanes(H0, H1, G0, G1, r, row);
    const __m512i lowBytes = _mm512_loadu_si512(kLowBytes.data());
    int found = 0;
    // 64 bytes of the row from at, count of them inside it; whole ones are stored aligned
    // (a store across two cache lines costs twice), and past the processor's caches
    // without reading the lines first.
    auto chunk = [&](int at, int count, bool aligned) PW_AVX512_LAMBDA {
        const __mmask32 valid0 = count >= 32 ? ~__mmask32(0) : (__mmask32(1) << count) - 1;
        const __mmask32 valid1 = count >= 64   ? ~__mmask32(0)
                                 : count <= 32 ? 0
                                               : (__mmask32(1) << (count - 32)) - 1;
        const __m512i first = lanes.at(at, valid0, ties, found);
        const __m512i second = lanes.at(at + 32, valid1, ties, found);
        // The low bytes of both, in order.
        const __m512i bytes =
            _mm512_maskz_permutex2var_epi8(~__mmask64(0), first, lowBytes, second);
        if (!aligned)
            _mm512_mask_storeu_epi8(out + at,
                                    count >= 64 ? ~uint64_t(0) : (uint64_t(1) << count) - 1, bytes);
        else if (stream)
            _mm512_stream_si512(reinterpret_cast<__m512i*>(out + at), bytes);
        else
            _mm512_store_si512(out + at, bytes);
    };
    const int head = std::min(n, int((64 - (reinterpret_cast<uintptr_t>(out) & 63)) & 63));
    if (head) chunk(0, head, false);
    int at = head;
    for (; at + 64 <= n; at += 64)
        chunk(at, 64, true);
    if (at < n) chunk(at, n - at, false);
    if (stream) _mm_sfence();
    _mm256_zeroupper();
    return found;
}
// Two destination rows between the same two source rows (a and b), sharing the loads and
// the differences of those rows; otherwise as rationalVertical, the stores unaligned.
PW_AVX512 void rationalVerticalPair(const int16_t* H0, const int16_t* H1, const int16_t* G0,
                                    const int16_t* G1, const RationalRow& rowA,
                                    const RationalRow& rowB, const RationalStretch& r,
                                    uint8_t* __restrict outA, uint8_t* __restrict outB,
                                    int* __restrict tiesA, int* __restrict tiesB, int& foundA,
                                    int& foundB, int n) {
    const RationalLanes a(H0, H1, G0, G1, r, rowA), b(H0, H1, G0, G1, r, rowB);
    const __m512i lowBytes = _mm512_loadu_si512(kLowBytes.data());
    for (int at = 0; at < n; at += 64) {
        const int count = n - at;
        __m512i qa[2], qb[2];
#pragma GCC unroll 2
        for (int part = 0; part < 2; ++part) {
            const int i = at + 32 * part, left = count - 32 * part;
            const __mmask32 valid = left >= 32  ? ~__mmask32(0)
                                    : left <= 0 ? 0
                                                : (__mmask32(1) << left) - 1;
            const __m512i h0 = _mm512_loadu_si512(a.H0 + i), h1 = _mm512_loadu_si512(a.H1 + i);
            __mmask32 tieA = 0, tieB = 0;
            qa[part] = a.base(h0, h1, valid, tieA);
            qb[part] = b.base(h0, h1, valid, tieB);
            if (a.oddD || (a.allExact && b.allExact)) continue;
            const RationalLanes::Differences diff(a.G0, a.G1, h0, h1, i,
                                                  !(a.row.exactRow && b.row.exactRow));
            if (!a.allExact) qa[part] = a.settle(i, qa[part], tieA, diff, tiesA, foundA);
            if (!b.allExact) qb[part] = b.settle(i, qb[part], tieB, diff, tiesB, foundB);
        }
        const __m512i bytesA =
            _mm512_maskz_permutex2var_epi8(~__mmask64(0), qa[0], lowBytes, qa[1]);
        const __m512i bytesB =
            _mm512_maskz_permutex2var_epi8(~__mmask64(0), qb[0], lowBytes, qb[1]);
        if (count >= 64) {
            _mm512_storeu_si512(outA + at, bytesA);
            _mm512_storeu_si512(outB + at, bytesB);
        } else {
            const __mmask64 keep = (uint64_t(1) << count) - 1;
            _mm512_mask_storeu_epi8(outA + at, keep, bytesA);
            _mm512_mask_storeu_epi8(outB + at, keep, bytesB);
        }
    }
    _mm256_zeroupper();
}
#undef PW_AVX512
#undef PW_AVX512_LAMBDA

// The rows [y0, y1) of a stretch by the integer plan; the arguments as in BilinearStretch.
void rationalStretchRows(const std::vector<const uint8_t*>& rows, int w, int h, double sy,
                         const StretchColumns& cols, const TieResolver& res,
                         const RationalStretch& r, Bitmap& result, int y0, int y1) {
    const size_t padded = 32 * r.base.size() + 64;
    const int n = int(cols.a.size()) * 3;
    // A result larger than the caches is written past them.
    const bool stream = size_t(result.height()) * size_t(n) > (size_t(32) << 20);
    std::vector<int16_t> upperH(padded), upperG(padded), lowerH(padded), lowerG(padded);
    std::vector<int> ties(padded), tiesNext(padded);
    int upperRow = -1, lowerRow = -1;
    for (int y = y0; y < y1; ++y) {
        const double fy = (y + 0.5) * sy - 0.5;
        const double fr = std::floor(fy);
        const int ri = int(fr);
        const double dy = fy - fr;
        const int ra = ri < 0 ? 0 : ri;
        const int rb = ri + 1 > h - 1 ? h - 1 : ri + 1;
        if (ra != upperRow) {
            if (ra == lowerRow) {
                std::swap(upperH, lowerH);
                std::swap(upperG, lowerG);
                std::swap(upperRow, lowerRow);
            } else {
                rationalHorizontal(rows[size_t(ra)], 3 * w, r, upperH.data(), upperG.data());
                upperRow = ra;
            }
        }
        if (rb != lowerRow) {
            if (rb == upperRow) {
                lowerH = upperH;
                lowerG = upperG;
            } else {
                rationalHorizontal(rows[size_t(rb)], 3 * w, r, lowerH.data(), lowerG.data());
            }
            lowerRow = rb;
        }
        // The destination row y, or y and y + 1 together where both lie between ra and rb.
        const double fyNext = (y + 1.5) * sy - 0.5;
        const bool pair = y + 1 < y1 && int(std::floor(fyNext)) == ri;
        const uint8_t* A = rows[size_t(ra)];
        const uint8_t* B = rows[size_t(rb)];
        RationalRow line[2];
        int found[2] = {0, 0};
        for (int k = 0; k < (pair ? 2 : 1); ++k) {
            const int yk = y + k;
            const double dk = k ? fyNext - fr : dy;
            const double Y = res.ys.e[size_t(yk)] * 0x1p40 / double(r.dX);
            line[k].ky = r.ky[size_t(yk)];
            line[k].Y = float(Y);
            line[k].bits = FractionBits(dk);
            line[k].exactRow = res.ys.e[size_t(yk)] == 0;
        }
        if (pair) {
            rationalVerticalPair(upperH.data(), lowerH.data(), upperG.data(), lowerG.data(),
                                 line[0], line[1], r, result.scanLine(y), result.scanLine(y + 1),
                                 ties.data(), tiesNext.data(), found[0], found[1], n);
        } else {
            found[0] = rationalVertical(upperH.data(), lowerH.data(), upperG.data(), lowerG.data(),
                                        line[0], r, result.scanLine(y), ties.data(), n, stream);
        }
        for (int k = 0; k < (pair ? 2 : 1); ++k) {
            const int yk = y + k;
            const double dk = k ? fyNext - fr : dy;
            uint8_t* out = result.scanLine(yk);
            const int* list = k ? tiesNext.data() : ties.data();
            for (int m = 0; m < found[k]; ++m) {
                const size_t i = size_t(list[m]);
                const size_t x = i / 3, c = i % 3;
                const int pa = cols.a[x] + int(c), pb = cols.b[x] + int(c);
                const int t = out[i] - 1;
                const int settled =
                    res.settle(x, yk, A[pa], A[pb], B[pa], B[pb], dk, float(t) + 0.5f);
                out[i] = settled >= 0
                             ? uint8_t(settled)
                             : bilinearExtended(A[pa], A[pb], B[pa], B[pb], cols.dx[x], dk);
            }
        }
        if (pair) ++y;
    }
}
#endif

uint8_t floatLowByte(float s) {
    uint32_t bits;
    std::memcpy(&bits, &s, 4);
    return uint8_t(bits);
}

// h[3x + c] := P + dx' × (Q − P) for the source bytes P, Q of column x. p receives the
// row as floats and needs 3 × width + 1 entries; h needs 3 × NewWidth + 1 (each pixel is
// written four floats wide, the fourth overwritten by the next pixel).
void horizontalRowGeneric(const uint8_t* row, int width, const StretchColumns& cols, float* p,
                          float* h) {
    const int n = 3 * width;
    for (int j = 0; j < n; ++j)
        p[j] = row[j];
    p[n] = 0;
    typedef float v4f __attribute__((vector_size(16)));
    const int nw = int(cols.dxf.size());
    const int* a = cols.a.data();
    const int* b = cols.b.data();
    const float* dxf = cols.dxf.data();
    for (int x = 0; x < nw; ++x) {
        v4f pa, pb;
        std::memcpy(&pa, p + a[x], sizeof pa);
        std::memcpy(&pb, p + b[x], sizeof pb);
        const v4f v = pa + dxf[x] * (pb - pa);
        std::memcpy(h + 3 * x, &v, sizeof v);
    }
}

#ifdef PW_X86_64
// The same values eight bytes at a time, from the blocks of an enlargement: each block
// picks its P values from the eight source bytes at its base and its Q values from the
// eight three bytes further on. Where a = b, dx' is 0 and Q does not matter. p needs
// 3 × width + 11 entries, h a multiple of eight at least 3 × NewWidth.
__attribute__((target("avx2"))) void horizontalRowAvx2(const uint8_t* row, int width,
                                                       const StretchColumns& cols, float* p,
                                                       float* h, float* g) {
    const int n = 3 * width;
    for (int j = 0; j < n; ++j)
        p[j] = row[j];
    for (int j = n; j < n + 11; ++j)
        p[j] = 0;
    const size_t blocks = cols.blockBase.size();
    const int* base = cols.blockBase.data();
    const int32_t* rel = cols.blockRel.data();
    const float* dxv = cols.blockDx.data();
    for (size_t k = 0; k < blocks; ++k) {
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rel + 8 * k));
        const __m256 pa = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + base[k]), r);
        const __m256 pb = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + base[k] + 3), r);
        const __m256 d = _mm256_loadu_ps(dxv + 8 * k);
        const __m256 diff = _mm256_sub_ps(pb, pa);
        _mm256_storeu_ps(h + 8 * k, _mm256_add_ps(pa, _mm256_mul_ps(d, diff)));
        if (g) {
            const __m256 keep = _mm256_castsi256_ps(_mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(cols.neighbour.data() + 8 * k)));
            _mm256_storeu_ps(g + 8 * k, _mm256_and_ps(diff, keep));
        }
    }
}
#endif

// g, when given, receives Q − P per destination byte (0 at the edges); only the AVX2
// kernels use it.
void horizontalRow(const uint8_t* row, int width, const StretchColumns& cols, float* p, float* h,
                   float* g) {
#ifdef PW_X86_64
    if (!cols.blockBase.empty() && useAvx2()) return horizontalRowAvx2(row, width, cols, p, h, g);
#endif
    (void)g;
    horizontalRowGeneric(row, width, cols, p, h);
}

// out[i] := nearest(h0[i] + dy' × (h1[i] − h0[i])), ties to even, for i in [0, n). With check
// given, the indices i where check[i] is set and the value lies within kNearTie of a
// half-integer are listed in ties, in increasing order; returns their number.
int verticalRowGeneric(const float* h0, const float* h1, float dy, const int32_t* check,
                       uint8_t* out, int* ties, int n, int base = 0) {
    int found = 0;
    for (int i = 0; i < n; ++i) {
        const float v = h0[i] + dy * (h1[i] - h0[i]);
        const float s = v + kRoundMagicF;
        out[i] = floatLowByte(s);
        if (check && check[i] && std::fabs(v - (s - kRoundMagicF)) > kNearTie)
            ties[found++] = base + i;
    }
    return found;
}

#ifdef PW_X86_64
// For each byte value, the positions of its set bits, lowest first.
constexpr std::array<std::array<int32_t, 8>, 256> kSetBits = [] {
    std::array<std::array<int32_t, 8>, 256> table{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (m & (1 << bit)) table[size_t(m)][size_t(k++)] = bit;
    }
    return table;
}();

// The same operations on eight floats at a time, 32 values per step. ties needs room for
// seven entries beyond the last one found.
__attribute__((target("avx2,popcnt"))) int verticalRowAvx2(const float* h0, const float* h1,
                                                           float dy, const int32_t* check,
                                                           const VectorSettle& vs, uint8_t* out,
                                                           int* ties, int n) {
    const __m256 dyv = _mm256_set1_ps(dy), magic = _mm256_set1_ps(kRoundMagicF);
    const __m256 limit = _mm256_set1_ps(kNearTie);
    const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // Locals, so that the stores to out and ties do not force them to be read again.
    const float* const g0s = vs.g0;
    const float* const g1s = vs.g1;
    const float* const deltaX = vs.deltaX;
    const float* const deltaXBound = vs.deltaXBound;
    const __m256 deltaY = _mm256_set1_ps(vs.deltaY), deltaYBound = _mm256_set1_ps(vs.deltaYBound);
    int found = 0;
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i words[4];
        __m256 values[4], steps[4], nearLanes[4];
        uint32_t near = 0;
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            const __m256 a = _mm256_loadu_ps(h0 + i + 8 * k);
            const __m256 b = _mm256_loadu_ps(h1 + i + 8 * k);
            steps[k] = _mm256_sub_ps(b, a);
            const __m256 v = _mm256_add_ps(a, _mm256_mul_ps(dyv, steps[k]));
            const __m256 s = _mm256_add_ps(v, magic);
            values[k] = v;
            words[k] = _mm256_and_si256(_mm256_castps_si256(s), lowByte);
            if (check) {
                const __m256 d = _mm256_and_ps(_mm256_sub_ps(v, _mm256_sub_ps(s, magic)), absMask);
                nearLanes[k] =
                    _mm256_and_ps(_mm256_cmp_ps(d, limit, _CMP_GT_OQ),
                                  _mm256_castsi256_ps(_mm256_loadu_si256(
                                      reinterpret_cast<const __m256i*>(check + i + 8 * k))));
                near |= uint32_t(_mm256_movemask_ps(nearLanes[k])) << (8 * k);
            }
        }
        // Near-tie lanes settled in the kernel where it can (see VectorSettle), for all 32
        // values at once: most blocks of a zoom such as 1.5 have some.
        if (near && g0s) {
            near = 0;
#pragma GCC unroll 4
            for (int k = 0; k < 4; ++k) {
                const size_t at = size_t(i + 8 * k);
                const __m256 ga = _mm256_loadu_ps(g0s + at);
                const __m256 gb = _mm256_loadu_ps(g1s + at);
                const __m256 g = _mm256_add_ps(ga, _mm256_mul_ps(dyv, _mm256_sub_ps(gb, ga)));
                const __m256 c = _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(deltaX + at), g),
                                               _mm256_mul_ps(deltaY, steps[k]));
                const __m256 bound = _mm256_add_ps(_mm256_loadu_ps(deltaXBound + at), deltaYBound);
                const __m256 settled = _mm256_and_ps(
                    nearLanes[k], _mm256_cmp_ps(_mm256_and_ps(c, absMask), bound, _CMP_GT_OQ));
                // t + 1 where c' > 0: subtracting the all-ones comparison adds one.
                const __m256i up = _mm256_sub_epi32(
                    _mm256_cvttps_epi32(values[k]),
                    _mm256_castps_si256(_mm256_cmp_ps(c, _mm256_setzero_ps(), _CMP_GT_OQ)));
                words[k] = _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(words[k]),
                                                                _mm256_castsi256_ps(up), settled));
                near |= uint32_t(_mm256_movemask_ps(_mm256_andnot_ps(settled, nearLanes[k])))
                        << (8 * k);
            }
        }
        // Words 0..7 of each vector to bytes in order: the packs interleave 128-bit lanes,
        // the final permutation puts the four-byte groups back in sequence.
        const __m256i w01 = _mm256_packus_epi32(words[0], words[1]);
        const __m256i w23 = _mm256_packus_epi32(words[2], words[3]);
        const __m256i bytes = _mm256_packus_epi16(w01, w23);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_permutevar8x32_epi32(bytes, order));
        // The lanes left near a tie are written out eight at a time from a table of the set
        // bits of each mask byte.
        if (near)
#pragma GCC unroll 4
            for (int k = 0; k < 4; ++k) {
                const uint32_t byte = (near >> (8 * k)) & 0xFF;
                const __m256i at = _mm256_add_epi32(
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kSetBits[byte].data())),
                    _mm256_set1_epi32(i + 8 * k));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(ties + found), at);
                found += __builtin_popcount(byte);
            }
    }
    // The plain code that follows must not run with the upper vector halves in use, which
    // slows every scalar floating-point instruction after it.
    _mm256_zeroupper();
    return found + verticalRowGeneric(h0 + i, h1 + i, dy, check ? check + i : nullptr, out + i,
                                      ties + found, n - i, i);
}
#endif

int verticalRow(const float* h0, const float* h1, float dy, const int32_t* check,
                const VectorSettle& vs, uint8_t* out, int* ties, int n) {
#ifdef PW_X86_64
    if (useAvx2()) return verticalRowAvx2(h0, h1, dy, check, vs, out, ties, n);
#endif
    (void)vs;
    return verticalRowGeneric(h0, h1, dy, check, out, ties, n);
}

// ----- area average -----

// Near a rounding tie a double-precision quotient is not trusted; it is then recomputed
// as an exact division.
constexpr double kTieMargin = 1e-9;

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

// ----- reduction to exactly half -----
//
// When the picture halves on both axes, each destination value sums its two-by-two block
// p00 p01 / p10 p11 (p01 to the right, p10 below) as p00 + w p01 + w' p10 + (w w') p11,
// where the first column and row of a block weigh exactly 1 and the second ones w, w' =
// (2k + 2 − 0.000001) − (2k + 1), just below 1 (1 − 1e-6 up to the rounding of 2k + 2 −
// 0.000001, which varies with k). The area is exactly 4. With T = p00 + p01 + p10 + p11 the
// double-precision sum s lies in (T − 0.0016, T], and s = T only when p01 = p10 = p11 = 0:
// the shortfall is at least 1e-6 × (the non-zero weighted values) minus rounding errors of
// order 2^-42. So s / 4 rounds to the integer T / 4 rounds to when its fraction is not
// one half; at one half s / 4 is just below the tie and rounds down, except for the exact
// tie of a lone p00, which goes to the even neighbour:
//     result = (T + 1) div 4, plus 1 when p01 = p10 = p11 = 0 and p00 mod 8 = 6.
// The resampling tests check this rule against the double-precision sum for every weight a
// picture of the largest allowed size can have.

uint8_t halfValue(int p00, int p01, int p10, int p11) {
    const int r = (p00 + p01 + p10 + p11 + 1) >> 2;
    return uint8_t((p01 | p10 | p11) == 0 && (p00 & 7) == 6 ? r + 1 : r);
}

// Destination pixels [from, count) of a row from source rows A (upper) and B (lower).
void halfRowGeneric(const uint8_t* A, const uint8_t* B, uint8_t* out, int from, int count) {
    for (int x = from; x < count; ++x)
        for (int c = 0; c < 3; ++c) {
            const size_t i = 6 * size_t(x) + size_t(c);
            out[3 * x + c] = halfValue(A[i], A[i + 3], B[i], B[i + 3]);
        }
}

#ifdef PW_X86_64
// Four destination pixels per step. Each 128-bit lane takes twelve source bytes of a row
// (two blocks), reorders them so that the two values of a block row stand side by side and
// adds the pairs into sixteen-bit words; the lone-p00 case is found on the same words.
__attribute__((target("avx2"))) void halfRowAvx2(const uint8_t* A, const uint8_t* B, uint8_t* out,
                                                 int count) {
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i pairs = _mm256_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1, 0,
                                           3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i loneMask = _mm256_set1_epi16(int16_t(0xFF07));
    const __m256i six = _mm256_set1_epi16(6);
    const __m256i zero = _mm256_setzero_si256();
    int x = 0;
    // A step reads 32 source bytes from 6x and writes 14 bytes from 3x.
    for (; 6 * x + 32 <= 6 * count; x += 4) {
        const __m256i a = _mm256_shuffle_epi8(
            _mm256_permutevar8x32_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(A + 6 * size_t(x))), spread),
            pairs);
        const __m256i b = _mm256_shuffle_epi8(
            _mm256_permutevar8x32_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(B + 6 * size_t(x))), spread),
            pairs);
        const __m256i total =
            _mm256_add_epi16(_mm256_maddubs_epi16(a, ones), _mm256_maddubs_epi16(b, ones));
        const __m256i rounded = _mm256_srli_epi16(_mm256_add_epi16(total, one), 2);
        const __m256i lone = _mm256_and_si256(
            _mm256_cmpeq_epi16(_mm256_and_si256(a, loneMask), six), _mm256_cmpeq_epi16(b, zero));
        const __m256i bytes = _mm256_packus_epi16(_mm256_sub_epi16(rounded, lone), zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * size_t(x)),
                         _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * size_t(x) + 6),
                         _mm256_extracti128_si256(bytes, 1));
    }
    _mm256_zeroupper(); // as in verticalRowAvx2
    halfRowGeneric(A, B, out, x, count);
}
#endif

// Whether an axis's coverage is the one of an exact halving: cell k starts at 2k with
// weight 1 and covers two cells.
bool halvingCoverage(const Coverage& c, int sourceSize) {
    if (sourceSize != 2 * int(c.first.size())) return false;
    for (size_t k = 0; k < c.first.size(); ++k)
        if (c.first[k] != int(2 * k) || c.count[k] != 2 || c.weight[c.offset[k]] != 1.0 ||
            !(c.weight[c.offset[k] + 1] < 1.0 && c.weight[c.offset[k] + 1] > 0.99999))
            return false;
    return true;
}

} // namespace

Bitmap BilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は拡大できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("拡大後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    // Every pixel of the result is computed below.
    Bitmap result(NewWidth, NewHeight, pf24bit, Bitmap::Uninitialised::Pixels);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;

    // The weights and source columns of every destination column, computed once.
    const size_t n = size_t(3) * size_t(NewWidth);
    StretchColumns cols;
    cols.a.resize(size_t(NewWidth));
    cols.b.resize(size_t(NewWidth));
    cols.dx.resize(size_t(NewWidth));
    cols.dxf.resize(size_t(NewWidth));
    cols.check.resize(n);
    cols.checkAll.assign(n, -1);
    bool anyInexactColumn = false;
    for (int x = 0; x < NewWidth; ++x) {
        const double fx = (x + 0.5) * sx - 0.5;
        const double c = std::floor(fx);
        const int ci = int(c);
        const int a = ci < 0 ? 0 : ci, b = ci + 1 > w - 1 ? w - 1 : ci + 1;
        const double dx = fx - c;
        cols.dx[size_t(x)] = dx;
        cols.dxf[size_t(x)] = a == b ? 0.0f : float(dx);
        cols.a[size_t(x)] = 3 * a;
        cols.b[size_t(x)] = 3 * b;
        const bool exact = a == b || multipleOf256th(dx);
        anyInexactColumn |= !exact;
        for (int k = 0; k < 3; ++k)
            cols.check[3 * size_t(x) + size_t(k)] = exact ? 0 : -1;
    }
    const std::vector<const uint8_t*> rows = engine::rowTable(src);
    const TieResolver resolver(w, h, NewWidth, NewHeight);
#ifdef PW_X86_64
    RationalStretch rational;
    const bool byIntegers = engine::vectorLevelUsable(engine::VectorLevel::Avx512) &&
                            !genericKernelsOnly.load(std::memory_order_relaxed) &&
                            planRationalStretch(NewWidth, NewHeight, cols, resolver, rational);
    if (byIntegers) {
        engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
            rationalStretchRows(rows, w, h, sy, cols, resolver, rational, result, y0, y1);
        });
        return result;
    }
#endif
    // The float kernels' tables.
    const size_t blocks = (n + 7) / 8;
    if (NewWidth >= w) {
        cols.blockBase.resize(blocks);
        cols.blockRel.assign(8 * blocks, 0);
        cols.blockDx.assign(8 * blocks, 0.0f);
        const auto offset = [&](size_t i) { return cols.a[i / 3] + int(i % 3); };
        for (size_t k = 0; k < blocks && !cols.blockBase.empty(); ++k) {
            const size_t i0 = 8 * k, i1 = std::min(n, i0 + 8);
            int lowest = offset(i0);
            for (size_t i = i0; i < i1; ++i)
                lowest = std::min(lowest, offset(i));
            cols.blockBase[k] = lowest;
            for (size_t i = i0; i < i1; ++i) {
                const size_t x = i / 3;
                cols.blockRel[i] = offset(i) - lowest;
                cols.blockDx[i] = cols.dxf[x];
                if (cols.blockRel[i] > 7 || (cols.b[x] != cols.a[x] + 3 && cols.dxf[x] != 0.0f)) {
                    cols.blockBase.clear(); // not the shape of an enlargement after all
                    break;
                }
            }
        }
    }
    const bool settleInKernel =
        !cols.blockBase.empty() && useAvx2() && resolver.atRq && resolver.xs.maxDelta <= 0x1p-24;
    if (settleInKernel) {
        cols.neighbour.assign(8 * blocks, 0);
        cols.deltaX.assign(8 * blocks, 0.0f);
        cols.deltaXBound.assign(8 * blocks, 0.0f);
        for (size_t i = 0; i < n; ++i) {
            const size_t x = i / 3;
            const double e = resolver.xs.e[x];
            cols.neighbour[i] = cols.b[x] == cols.a[x] + 3 ? -1 : 0;
            cols.deltaX[i] = float(e * 0x1p40);
            cols.deltaXBound[i] = float(std::fabs(e) * 0x1p29 * (1 + 0x1p-20));
        }
    }

    engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
        // Horizontally interpolated upper and lower source rows, kept while they serve, and
        // their differences Q − P when the kernel settles ties.
        const size_t gSize = settleInKernel ? 8 * blocks + 1 : 0;
        std::vector<float> upper(8 * blocks + 1), lower(8 * blocks + 1), line(3 * size_t(w) + 11);
        std::vector<float> upperG(gSize), lowerG(gSize);
        float* const noG = nullptr;
        std::vector<int> ties(n + 8);
        int upperRow = -1, lowerRow = -1;
        for (int y = y0; y < y1; ++y) {
            const double fy = (y + 0.5) * sy - 0.5;
            const double r = std::floor(fy);
            const int ri = int(r);
            const double dy = fy - r;
            const int ra = ri < 0 ? 0 : ri;
            const int rb = ri + 1 > h - 1 ? h - 1 : ri + 1;
            if (ra != upperRow) {
                if (ra == lowerRow) {
                    std::swap(upper, lower);
                    std::swap(upperG, lowerG);
                    std::swap(upperRow, lowerRow);
                } else {
                    horizontalRow(rows[size_t(ra)], w, cols, line.data(), upper.data(),
                                  settleInKernel ? upperG.data() : noG);
                    upperRow = ra;
                }
            }
            if (rb != lowerRow) {
                if (rb == upperRow) {
                    lower = upper;
                    lowerG = upperG;
                } else
                    horizontalRow(rows[size_t(rb)], w, cols, line.data(), lower.data(),
                                  settleInKernel ? lowerG.data() : noG);
                lowerRow = rb;
            }
            uint8_t* out = result.scanLine(y);
            const bool exactRow = ra == rb || multipleOf256th(dy);
            const int32_t* check = !exactRow          ? cols.checkAll.data()
                                   : anyInexactColumn ? cols.check.data()
                                                      : nullptr;
            VectorSettle vs;
            if (settleInKernel) {
                const double e = resolver.ys.e[size_t(y)];
                vs.g0 = upperG.data();
                vs.g1 = lowerG.data();
                vs.deltaX = cols.deltaX.data();
                vs.deltaXBound = cols.deltaXBound.data();
                vs.deltaY = float(e * 0x1p40);
                vs.deltaYBound = float((std::fabs(e) * 0x1p29 + 0x1p-11) * (1 + 0x1p-20));
            }
            const int found = verticalRow(upper.data(), lower.data(), float(dy), check, vs, out,
                                          ties.data(), int(n));
            if (found == 0) continue;
            const uint8_t* A = rows[size_t(ra)];
            const uint8_t* B = rows[size_t(rb)];
            const float dyf = float(dy);
            for (int t = 0; t < found; ++t) {
                const size_t i = size_t(ties[size_t(t)]);
                const size_t x = i / 3, k = i % 3;
                const int a = cols.a[x] + int(k), b = cols.b[x] + int(k);
                const float v = upper[i] + dyf * (lower[i] - upper[i]);
                const int settled = resolver.settle(x, y, A[a], A[b], B[a], B[b], dy, v);
                out[i] = settled >= 0 ? uint8_t(settled)
                                      : bilinearExtended(A[a], A[b], B[a], B[b], cols.dx[x], dy);
            }
        }
    });
    return result;
}

Bitmap AreaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は縮小できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("縮小後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    // Every pixel of the result is computed below.
    Bitmap result(NewWidth, NewHeight, pf24bit, Bitmap::Uninitialised::Pixels);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;
    const float area = float(double(int64_t(w) * h) / NewWidth / NewHeight);
    const double areaD = area;
    const AreaQuotient quotient(areaD);
    const Coverage cx = coverage(w, NewWidth, sx);
    const Coverage cy = coverage(h, NewHeight, sy);
    const std::vector<const uint8_t*> rows = engine::rowTable(src);

    if (area == 4.0f && halvingCoverage(cx, w) && halvingCoverage(cy, h)) {
        engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const uint8_t* A = rows[2 * size_t(y)];
                const uint8_t* B = rows[2 * size_t(y) + 1];
                uint8_t* out = result.scanLine(y);
#ifdef PW_X86_64
                if (useAvx2()) {
                    halfRowAvx2(A, B, out, NewWidth);
                    continue;
                }
#endif
                halfRowGeneric(A, B, out, 0, NewWidth);
            }
        });
        return result;
    }

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

namespace engine {

std::vector<const uint8_t*> rowTable(const Bitmap& bmp) {
    std::vector<const uint8_t*> rows(size_t(bmp.height()));
    for (int y = 0; y < bmp.height(); ++y)
        rows[size_t(y)] = bmp.scanLine(y);
    return rows;
}

void useGenericResampleKernels(bool generic) {
    genericKernelsOnly.store(generic, std::memory_order_relaxed);
}

} // namespace engine
