// The resampling routines against the code they replaced (ResampleReference.cpp): every
// byte must stay the same on pictures of every shape, on large random pictures and on
// pictures built so that many values land on or next to a rounding tie.
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FastPicture.h"
#include "engine/Resample.h"
#include "engine/ResampleReference.h"
#include "engine/RowDriver.h"
#include "engine/VectorLevel.h"
#include "platform/Bitmap.h"
#include "support/TestSupport.h"

namespace {

class Threads {
public:
    explicit Threads(int n) : saved_(engine::threadCount()) { engine::setThreadCount(n); }
    ~Threads() { engine::setThreadCount(saved_); }
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;

private:
    int saved_;
};

// A 24-bit picture whose bytes come from value(x, y, channel).
Bitmap picture(int w, int h, const std::function<uint8_t(int, int, int)>& value) {
    Bitmap bmp(w, h, pf24bit);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = bmp.scanLine(y);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                row[3 * x + c] = value(x, y, c);
    }
    return bmp;
}

// The kinds of content the tests resample. Besides noise and a photograph-like picture:
// uniform fields, hard 0/255 edges, values a step of one apart (so that halfway points
// between neighbours are ties), and mostly black pictures with odd values here and there
// (a lone non-zero value in a block is where the area average meets exact ties).
std::vector<std::pair<std::string, Bitmap>> pictures(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::pair<std::string, Bitmap>> out;
    out.emplace_back("noise", picture(w, h, [&](int, int, int) { return uint8_t(rng()); }));
    out.emplace_back("photo", pwtest::makeTestBitmap(w, h, seed));
    for (int v : {0, 1, 128, 255})
        out.emplace_back("uniform " + std::to_string(v),
                         picture(w, h, [v](int, int, int) { return uint8_t(v); }));
    out.emplace_back("edges", picture(w, h, [&](int x, int y, int c) {
                         return uint8_t((x / 3 + y / 2 + c) % 2 ? 255 : 0);
                     }));
    out.emplace_back("black and white",
                     picture(w, h, [&](int, int, int) { return uint8_t(rng() % 2 ? 255 : 0); }));
    out.emplace_back("neighbours",
                     picture(w, h, [&](int, int, int) { return uint8_t(100 + rng() % 2); }));
    out.emplace_back("small steps",
                     picture(w, h, [&](int, int, int) { return uint8_t(rng() % 8); }));
    out.emplace_back("sparse", picture(w, h, [&](int, int, int) {
                         return uint8_t(rng() % 5 == 0 ? rng() : 0);
                     }));
    // Neighbouring values a step apart in a checkerboard: the bilinear value between four
    // pixels is an exact tie wherever the position is halfway on one axis.
    out.emplace_back("checker", picture(w, h, [&](int x, int y, int c) {
                         return uint8_t(100 + (x + y + c) % 2);
                     }));
    return out;
}

struct Size {
    int w, h, nw, nh;
};

std::string describe(const Size& s, const std::string& kind, int threads) {
    return std::to_string(s.w) + "x" + std::to_string(s.h) + " to " + std::to_string(s.nw) + "x" +
           std::to_string(s.nh) + ", " + kind + ", threads " + std::to_string(threads);
}

TEST(ResampleExactness, BilinearStretchEqualsReferenceOnSmallShapes) {
    const std::vector<Size> sizes = {
        {1, 1, 1, 1},     {1, 1, 4, 4},     {1, 1, 300, 1},    {1, 7, 5, 7},    {1, 7, 1, 20},
        {9, 1, 9, 4},     {9, 1, 31, 1},    {2, 3, 5, 5},      {7, 5, 13, 11},  {13, 11, 39, 22},
        {37, 29, 37, 29}, {20, 20, 39, 41}, {20, 20, 61, 59},  {10, 9, 30, 27}, {8, 8, 11, 8},
        {3, 2, 400, 300}, {5, 1, 2000, 3},  {2, 2, 1024, 1024}};
    for (const Size& s : sizes)
        for (auto& [kind, src] : pictures(s.w, s.h, uint32_t(s.w * 31 + s.h)))
            for (int threads : {1, 2}) {
                SCOPED_TRACE(describe(s, kind, threads));
                Threads t(threads);
                ASSERT_TRUE(pwtest::sameBitmap(BilinearStretch(src, s.nw, s.nh),
                                               reference::bilinearStretch(src, s.nw, s.nh)));
            }
}

// Factors of 1.25, 1.5 and 2.5 put many values a rounding error away from a tie, factors of
// 2 and 4 on exact ties; the others are just off whole numbers or have no pattern at all.
TEST(ResampleExactness, BilinearStretchEqualsReferenceOnLargePictures) {
    const std::vector<Size> sizes = {
        {600, 400, 900, 600},   {600, 400, 1200, 800},    {400, 300, 1000, 750},
        {300, 200, 1200, 800},  {500, 500, 999, 1001},    {500, 500, 1501, 1499},
        {700, 500, 1193, 877},  {1200, 1000, 1800, 1500}, {1000, 700, 1003, 701},
        {251, 173, 1733, 1009}, {400, 300, 500, 375},     {300, 200, 900, 600},
        {250, 150, 1000, 600},  {1, 300, 7, 450}};
    uint32_t seed = 1;
    for (const Size& s : sizes)
        for (auto& [kind, src] : pictures(s.w, s.h, ++seed)) {
            if (s.w * s.h > 500000 && kind != "noise" && kind != "photo" && kind != "neighbours")
                continue;
            const int threads = seed % 2 ? 1 : 2;
            SCOPED_TRACE(describe(s, kind, threads));
            Threads t(threads);
            ASSERT_TRUE(pwtest::sameBitmap(BilinearStretch(src, s.nw, s.nh),
                                           reference::bilinearStretch(src, s.nw, s.nh)));
        }
}

// Zooms whose source positions have small denominators are computed in integers on
// processors with AVX-512 and in single precision on the others: both against the reference,
// on zooms with an odd denominator (5/3), the largest the integer kernel takes (1.75 and 1.2
// on both axes), unlike axes, an axis left as it is, denominators just too large for it, and
// long rows and columns, whose far positions are off their fractions by far more than the
// first ones, where some are exact.
TEST(ResampleExactness, SmallDenominatorZoomsEqualReferenceAtEveryVectorWidth) {
    const std::vector<Size> sizes = {
        {300, 300, 500, 500},  {400, 300, 700, 525}, {500, 400, 600, 480}, {300, 300, 400, 400},
        {400, 400, 600, 1000}, {62, 400, 63, 600},   {127, 200, 128, 300}, {640, 2, 960, 3},
        {21, 1, 35, 1},        {3, 5, 9, 15},        {6000, 4, 9000, 6},   {4, 4000, 6, 6000}};
    uint32_t seed = 100;
    for (const engine::VectorLevel level :
         {engine::VectorLevel::Avx512, engine::VectorLevel::Avx2, engine::VectorLevel::Portable}) {
        const engine::VectorLevelCap cap(level);
        for (const Size& s : sizes)
            for (auto& [kind, src] : pictures(s.w, s.h, ++seed)) {
                const int threads = seed % 2 ? 1 : 2;
                SCOPED_TRACE(describe(s, kind, threads) + ", vector level " +
                             std::to_string(int(level)));
                Threads t(threads);
                ASSERT_TRUE(pwtest::sameBitmap(BilinearStretch(src, s.nw, s.nh),
                                               reference::bilinearStretch(src, s.nw, s.nh)));
            }
    }
}

// Every byte against the defining formula evaluated in extended precision, on pictures of
// over a million values where zooms of 1.5 and 2.5 put many of them next to a tie.
TEST(ResampleExactness, BilinearStretchEqualsExtendedPrecisionEverywhere) {
    const std::vector<Size> sizes = {
        {600, 400, 900, 600}, {400, 300, 1000, 750}, {300, 300, 500, 500}, {300, 200, 525, 350}};
    for (const Size& s : sizes)
        for (auto& [kind, src] : pictures(s.w, s.h, uint32_t(s.nh))) {
            if (kind != "noise" && kind != "neighbours" && kind != "checker") continue;
            SCOPED_TRACE(describe(s, kind, engine::threadCount()));
            const Bitmap out = BilinearStretch(src, s.nw, s.nh);
            const double sx = double(s.w) / s.nw, sy = double(s.h) / s.nh;
            int wrong = 0;
            for (int y = 0; y < s.nh && wrong < 5; ++y) {
                const double fy = (y + 0.5) * sy - 0.5;
                const int r = int(std::floor(fy));
                const double dy = fy - r;
                const uint8_t* A = src.scanLine(r < 0 ? 0 : r);
                const uint8_t* B = src.scanLine(r + 1 > s.h - 1 ? s.h - 1 : r + 1);
                for (int x = 0; x < s.nw; ++x) {
                    const double fx = (x + 0.5) * sx - 0.5;
                    const int c = int(std::floor(fx));
                    const double dx = fx - c;
                    const int a = c < 0 ? 0 : c, b = c + 1 > s.w - 1 ? s.w - 1 : c + 1;
                    for (int k = 0; k < 3; ++k) {
                        const int p00 = A[3 * a + k], p10 = A[3 * b + k], p01 = B[3 * a + k],
                                  p11 = B[3 * b + k];
                        const long double v =
                            (long double)p00 + (long double)dx * (p10 - p00) +
                            (long double)dy * (p01 - p00) +
                            (long double)dx * (long double)dy * (p00 + p11 - p10 - p01);
                        const int expected = int(std::nearbyint(v));
                        const int got = out.scanLine(y)[3 * x + k];
                        if (got != expected && ++wrong <= 5)
                            ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": "
                                          << got << " instead of " << expected;
                    }
                }
            }
        }
}

TEST(ResampleExactness, AreaAverageShrinkEqualsReferenceOnSmallShapes) {
    const std::vector<Size> sizes = {
        {1, 1, 1, 1},     {2, 2, 1, 1},     {4, 4, 2, 2},     {6, 2, 3, 1},     {2, 6, 1, 3},
        {7, 5, 3, 2},     {9, 9, 4, 4},     {1, 9, 1, 4},     {9, 1, 4, 1},     {1, 40, 1, 20},
        {40, 1, 20, 1},   {30, 1, 1, 1},    {5, 5, 5, 5},     {37, 29, 36, 28}, {10, 10, 3, 7},
        {64, 48, 32, 24}, {66, 50, 33, 25}, {67, 51, 33, 25}, {12, 12, 4, 4},   {30, 30, 10, 15}};
    for (const Size& s : sizes)
        for (auto& [kind, src] : pictures(s.w, s.h, uint32_t(s.w * 17 + s.h)))
            for (int threads : {1, 2}) {
                SCOPED_TRACE(describe(s, kind, threads));
                Threads t(threads);
                ASSERT_TRUE(pwtest::sameBitmap(AreaAverageShrink(src, s.nw, s.nh),
                                               reference::areaAverageShrink(src, s.nw, s.nh)));
            }
}

TEST(ResampleExactness, AreaAverageShrinkEqualsReferenceOnLargePictures) {
    const std::vector<Size> sizes = {
        {1600, 1200, 800, 600}, {1602, 1000, 801, 500}, {1000, 999, 500, 333},
        {999, 1000, 333, 500},  {1001, 1000, 500, 500}, {1200, 900, 400, 300},
        {1200, 900, 300, 225},  {1600, 1200, 512, 341}, {1500, 1000, 1499, 999},
        {1400, 1100, 1, 1},     {1400, 1100, 3, 2},     {1300, 1700, 650, 1}};
    uint32_t seed = 100;
    for (const Size& s : sizes)
        for (auto& [kind, src] : pictures(s.w, s.h, ++seed)) {
            if (kind.rfind("uniform", 0) == 0 && kind != "uniform 255") continue;
            const int threads = seed % 2 ? 1 : 2;
            SCOPED_TRACE(describe(s, kind, threads));
            Threads t(threads);
            ASSERT_TRUE(pwtest::sameBitmap(AreaAverageShrink(src, s.nw, s.nh),
                                           reference::areaAverageShrink(src, s.nw, s.nh)));
        }
}

class GenericKernels {
public:
    GenericKernels() { engine::useGenericResampleKernels(true); }
    ~GenericKernels() { engine::useGenericResampleKernels(false); }
    GenericKernels(const GenericKernels&) = delete;
    GenericKernels& operator=(const GenericKernels&) = delete;
};

// The plain kernels (used where the processor has no AVX2) give the same bytes as the
// vector ones, here through the reference.
TEST(ResampleExactness, PlainKernelsEqualReference) {
    const GenericKernels generic;
    const std::vector<Size> stretches = {{1, 1, 3, 2},          {7, 5, 13, 11},
                                         {600, 400, 900, 600},  {300, 200, 600, 400},
                                         {333, 211, 1000, 500}, {50, 40, 49, 39}};
    for (const Size& s : stretches)
        for (auto& [kind, src] : pictures(s.w, s.h, uint32_t(s.nw))) {
            SCOPED_TRACE(describe(s, kind, 1));
            ASSERT_TRUE(pwtest::sameBitmap(BilinearStretch(src, s.nw, s.nh),
                                           reference::bilinearStretch(src, s.nw, s.nh)));
        }
    const std::vector<Size> shrinks = {{2, 2, 1, 1},
                                       {14, 6, 7, 3},
                                       {800, 600, 400, 300},
                                       {802, 600, 401, 300},
                                       {800, 600, 300, 200}};
    for (const Size& s : shrinks)
        for (auto& [kind, src] : pictures(s.w, s.h, uint32_t(s.nw))) {
            SCOPED_TRACE(describe(s, kind, 1));
            ASSERT_TRUE(pwtest::sameBitmap(AreaAverageShrink(src, s.nw, s.nh),
                                           reference::areaAverageShrink(src, s.nw, s.nh)));
        }
}

// A reduction to exactly half adds, per channel, p00 + w1 p01 + w1' p10 + (w1 w1') p11 in
// double precision, where 1 is the weight of a cell's first column or row and w1, w1' the
// weight of its second one, (2k + 2 − 0.000001) − (2k + 1) for cell k, which depends on k
// through the rounding of 2k + 2 − 0.000001. Dividing that sum by four and rounding equals
// (T + 1) div 4 for T = p00 + p01 + p10 + p11, except that a lone p00 ≡ 6 (mod 8) is an
// exact tie and goes up to the even (p00 + 2) / 4. Checked here for every second weight a
// picture of the largest allowed side can have, pairing each with each, over every p00 and
// the values of the other three that bound the sum's shortfall from below and above.
TEST(ResampleExactness, HalfReductionRuleHoldsForEveryWeight) {
    std::set<double> weights;
    for (int k = 0; k < 32768; ++k) {
        const double hi = (k + 1) * 2.0 - 0.000001;
        weights.insert(hi - (2 * k + 1));
    }
    ASSERT_LT(weights.size(), 40u);
    const int others[] = {0, 1, 2, 3, 4, 5, 127, 128, 129, 252, 253, 254, 255};
    for (double wx : weights)
        for (double wy : weights) {
            const double c01 = wx * 1.0, c10 = 1.0 * wy, c11 = wx * wy;
            for (int p00 = 0; p00 < 256; ++p00)
                for (int p01 : others)
                    for (int p10 : others)
                        for (int p11 : others) {
                            double sum = (1.0 * 1.0) * p00;
                            sum += c01 * p01;
                            sum += c10 * p10;
                            sum += c11 * p11;
                            const int byRounding = int(std::nearbyint(sum / 4.0));
                            const int total = p00 + p01 + p10 + p11;
                            int byRule = (total + 1) >> 2;
                            if (p01 == 0 && p10 == 0 && p11 == 0 && p00 % 8 == 6)
                                byRule = (p00 + 2) / 4;
                            ASSERT_EQ(byRounding, byRule) << p00 << " " << p01 << " " << p10 << " "
                                                          << p11 << " weights " << wx << " " << wy;
                        }
        }
}

} // namespace
