// Neighbourhood and effect filters: each result is compared pixel for pixel with a plain,
// literal version of the filter's rule, on pictures of awkward sizes, with one and with
// two threads; the worked examples and the guards are checked on their own.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "engine/VectorLevel.h"
#include "platform/Bitmap.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

namespace {

struct Px {
    int b, g, r;
};

Px at(const Bitmap& bmp, int x, int y) {
    const uint8_t* p = bmp.scanLine(y) + 3 * x;
    return {p[0], p[1], p[2]};
}

void put(Bitmap& bmp, int x, int y, Px v) {
    uint8_t* p = bmp.scanLine(y) + 3 * x;
    p[0] = uint8_t(v.b);
    p[1] = uint8_t(v.g);
    p[2] = uint8_t(v.r);
}

int clamp255(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

// A picture whose channels take only a few values, so that many 3 × 3 windows hold
// different colours with the same brightness sum.
Bitmap fewColours(int w, int h, uint32_t seed) {
    Bitmap bmp(w, h, pf24bit);
    std::mt19937 rng(seed);
    const int values[] = {0, 1, 2, 3, 128, 250, 255};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            put(bmp, x, y, {values[rng() % 7], values[rng() % 7], values[rng() % 7]});
    return bmp;
}

// A picture whose colours share a handful of brightness sums (60, 63, 66), so that nearly
// every window holds its median sum in several entries of different colours, with a
// white or black pixel now and then that lies far from its window's median.
Bitmap equalSums(int w, int h, uint32_t seed) {
    static const Px palette[] = {{10, 20, 30}, {30, 20, 10}, {20, 20, 20}, {0, 30, 30},
                                 {60, 0, 0},   {40, 20, 3},  {3, 40, 20},  {21, 21, 21},
                                 {66, 0, 0},   {0, 0, 66},   {22, 22, 22}, {255, 255, 255},
                                 {0, 0, 0}};
    Bitmap bmp(w, h, pf24bit);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t pick = rng() % 24;
            put(bmp, x, y, palette[pick < 22 ? pick % 11 : 11 + pick % 2]);
        }
    return bmp;
}

// ----- literal versions of the rules -----

Bitmap refBlur(const Bitmap& s) {
    Bitmap d = s;
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x) {
            int sum[3] = {0, 0, 0}, n = 0;
            for (int yy = y - 1; yy <= y + 1; ++yy)
                for (int xx = x - 1; xx <= x + 1; ++xx) {
                    if (xx < 0 || yy < 0 || xx >= s.width() || yy >= s.height()) continue;
                    Px p = at(s, xx, yy);
                    sum[0] += p.b, sum[1] += p.g, sum[2] += p.r, ++n;
                }
            put(d, x, y, {sum[0] / n, sum[1] / n, sum[2] / n});
        }
    return d;
}

Bitmap refEdge(const Bitmap& s, int level) {
    Bitmap d = s;
    for (int y = 1; y < s.height() - 1; ++y)
        for (int x = 1; x < s.width() - 1; ++x) {
            const uint8_t* c = s.scanLine(y) + 3 * x;
            uint8_t* o = d.scanLine(y) + 3 * x;
            for (int k = 0; k < 3; ++k) {
                int sharp = 5 * c[k] - s.scanLine(y - 1)[3 * x + k] - s.scanLine(y + 1)[3 * x + k] -
                            c[k - 3] - c[k + 3];
                o[k] = uint8_t(clamp255(c[k] + ((sharp - c[k]) * level) / 100));
            }
        }
    return d;
}

Bitmap refMedian(const Bitmap& s, int level) {
    Bitmap d = s;
    const int t = ((100 - level) * 255) / 100;
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x) {
            int key[9];
            Px pix[9];
            int n = 0;
            for (int yy = y - 1; yy <= y + 1; ++yy)
                for (int xx = x - 1; xx <= x + 1; ++xx) {
                    if (xx < 0 || yy < 0 || xx >= s.width() || yy >= s.height()) continue;
                    pix[n] = at(s, xx, yy);
                    key[n] = pix[n].b + pix[n].g + pix[n].r;
                    ++n;
                }
            const int m = n / 2;
            for (int p = 0; p <= m; ++p)
                for (int q = p + 1; q < n; ++q)
                    if (key[q] < key[p]) std::swap(key[p], key[q]), std::swap(pix[p], pix[q]);
            Px c = at(s, x, y);
            if (std::abs(c.b + c.g + c.r - key[m]) >= t) put(d, x, y, pix[m]);
        }
    return d;
}

Bitmap refSobel(const Bitmap& s, int level, bool overlay) {
    const int w = s.width(), h = s.height();
    Bitmap d = s;
    if (w < 3 || h < 3) {
        if (!overlay)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    put(d, x, y, {255, 255, 255});
        return d;
    }
    static const int wx[3][3] = {{1, 0, -1}, {2, 0, -2}, {1, 0, -1}};
    static const int wy[3][3] = {{1, 2, 1}, {0, 0, 0}, {-1, -2, -1}};
    for (int y = 1; y < h - 1; ++y)
        for (int x = 1; x < w - 1; ++x) {
            int v[3];
            for (int k = 0; k < 3; ++k) {
                int gx = 0, gy = 0;
                for (int i = -1; i <= 1; ++i)
                    for (int j = -1; j <= 1; ++j) {
                        int val = s.scanLine(y + i)[3 * (x + j) + k];
                        gx += wx[i + 1][j + 1] * val;
                        gy += wy[i + 1][j + 1] * val;
                    }
                int m = ((gx * gx + gy * gy) * level) / 100;
                v[k] = std::min(255, int(std::nearbyint(std::sqrt(double(m)))));
            }
            int e = 255 - (v[0] | v[1] | v[2]);
            Px c = at(s, x, y);
            put(d, x, y, overlay ? Px{c.b & e, c.g & e, c.r & e} : Px{e, e, e});
        }
    for (int x = 1; x < w - 1; ++x) {
        put(d, x, 0, at(d, x, 1));
        put(d, x, h - 1, at(d, x, h - 2));
    }
    for (int y = 0; y < h; ++y) {
        put(d, 0, y, at(d, 1, y));
        put(d, w - 1, y, at(d, w - 2, y));
    }
    return d;
}

Bitmap refMosaic(const Bitmap& s, int size) {
    Bitmap d = s;
    const int half = size / 2, w = s.width(), h = s.height();
    for (int cy = 0; cy < h; cy += size)
        for (int cx = 0; cx < w; cx += size) {
            Px sample =
                (cy + half < h && cx + half < w) ? at(s, cx + half, cy + half) : at(s, cx, cy);
            for (int y = cy; y < std::min(cy + size, h); ++y)
                for (int x = cx; x < std::min(cx + size, w); ++x)
                    put(d, x, y, sample);
        }
    return d;
}

// The four bands exactly as they are walked: top, left, bottom, right.
Bitmap refFraming(const Bitmap& s, int width, int contrast, bool fromLeft) {
    Bitmap d = s;
    const int w = s.width(), h = s.height();
    const int half = 100 + (contrast - 100) / 2;
    auto treat = [&](int x, int y, int factor, bool lighten) {
        uint8_t* p = d.scanLine(y) + 3 * x;
        for (int k = 0; k < 3; ++k)
            p[k] = uint8_t(lighten ? std::min(p[k] * factor / 100, 255) : p[k] * 100 / factor);
    };
    for (int k = 0; k < width && k < h / 2; ++k)
        for (int x = k; x <= w - 1 - k; ++x)
            treat(x, k, half, fromLeft);
    for (int k = 0; k < width && k < w / 2; ++k)
        for (int y = k + 1; y <= h - 1 - k; ++y)
            treat(k, y, contrast, fromLeft);
    for (int r = h - 1; r >= h - width && r >= h / 2; --r) {
        int k = h - 1 - r;
        for (int x = k + 1; x <= w - 1 - k; ++x)
            treat(x, r, half, !fromLeft);
    }
    for (int c = w - 1; c >= w - width && c >= w / 2; --c) {
        int k = w - 1 - c;
        for (int y = k + 1; y <= h - 2 - k; ++y)
            treat(c, y, contrast, !fromLeft);
    }
    return d;
}

// ----- running an operation -----

struct Events {
    std::vector<std::string> amend, amended;
};

// Runs op on a fresh engine holding bmp and returns the held bitmap afterwards.
Bitmap run(const Bitmap& bmp, const std::function<void(TFastPicture&)>& op,
           Events* events = nullptr) {
    TFastPicture pic;
    pic.picture().setGraphic(std::make_unique<Bitmap>(bmp));
    if (events) {
        pic.OnAmend = [events](TFastPicture*, std::string kind) { events->amend.push_back(kind); };
        pic.OnAmended = [events](TFastPicture*, std::string kind) {
            events->amended.push_back(kind);
        };
    }
    op(pic);
    return *pic.picture().as<Bitmap>();
}

class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(engine::threadCount()) { engine::setThreadCount(n); }
    ~ThreadCount() { engine::setThreadCount(saved_); }

private:
    int saved_;
};

struct Case {
    std::string name;
    std::function<void(TFastPicture&)> op;
    std::function<Bitmap(const Bitmap&)> reference;
};

std::vector<Case> filterCases() {
    std::vector<Case> cases;
    cases.push_back({"Blur", [](TFastPicture& p) { p.Blur(); }, refBlur});
    for (int level : {1, 50, 73, 100})
        cases.push_back({"Edge " + std::to_string(level),
                         [level](TFastPicture& p) { p.Edge(level); },
                         [level](const Bitmap& b) { return refEdge(b, level); }});
    for (int level : {0, 30, 90, 100})
        cases.push_back({"Median " + std::to_string(level),
                         [level](TFastPicture& p) { p.Median(level); },
                         [level](const Bitmap& b) { return refMedian(b, level); }});
    for (int level : {1, 37, 100})
        for (bool overlay : {true, false})
            cases.push_back(
                {"Sobel " + std::to_string(level) + (overlay ? " overlay" : " extract"),
                 [level, overlay](TFastPicture& p) { p.Sobel(level, overlay); },
                 [level, overlay](const Bitmap& b) { return refSobel(b, level, overlay); }});
    for (int size : {2, 3, 5, 50})
        cases.push_back({"Mosaic " + std::to_string(size),
                         [size](TFastPicture& p) { p.Mosaic(size); },
                         [size](const Bitmap& b) { return refMosaic(b, size); }});
    for (int width : {1, 2, 7, 1000, 2147483647})
        for (int contrast : {105, 180, 300})
            for (bool left : {true, false})
                cases.push_back(
                    {"Framing " + std::to_string(width) + " " + std::to_string(contrast) +
                         (left ? " left" : " right"),
                     [=](TFastPicture& p) { p.Framing(width, contrast, left); },
                     [=](const Bitmap& b) { return refFraming(b, width, contrast, left); }});
    return cases;
}

TEST(Filters, MatchLiteralRulesOnEverySizeAndThreadCount) {
    const std::vector<std::pair<int, int>> sizes = {{1, 1}, {2, 2}, {1, 6},   {6, 1},  {2, 7},
                                                    {3, 3}, {4, 3}, {17, 13}, {64, 41}};
    for (const Case& c : filterCases())
        for (auto [w, h] : sizes)
            for (int kind = 0; kind < 2; ++kind) {
                const Bitmap src = kind == 0 ? pwtest::makeTestBitmap(w, h, uint32_t(w * 31 + h))
                                             : fewColours(w, h, uint32_t(w * 7 + h));
                const Bitmap expected = c.reference(src);
                for (int threads : {1, 2}) {
                    SCOPED_TRACE(c.name + " on " + std::to_string(w) + "x" + std::to_string(h) +
                                 (kind ? " few colours" : " gradient") + ", threads " +
                                 std::to_string(threads));
                    ThreadCount tc(threads);
                    EXPECT_TRUE(pwtest::sameBitmap(run(src, c.op), expected));
                }
            }
}

// Enough rows that the row driver really splits the work between two threads.
TEST(Filters, TwoThreadsGiveTheSerialResultOnALargerPicture) {
    const Bitmap src = fewColours(331, 420, 5);
    for (const Case& c : filterCases()) {
        SCOPED_TRACE(c.name);
        Bitmap one, two;
        {
            ThreadCount tc(1);
            one = run(src, c.op);
        }
        {
            ThreadCount tc(2);
            two = run(src, c.op);
        }
        EXPECT_TRUE(pwtest::sameBitmap(one, two));
        EXPECT_TRUE(pwtest::sameBitmap(one, c.reference(src)));
    }
}

// Every level of the median, on rows long enough for the vector steps and their
// remainders, on pictures full of equal brightness sums with different colours, with the
// kernels of every vector width this processor has.
TEST(Filters, MedianAtEveryLevelMatchesTheLiteralRule) {
    using engine::VectorLevel;
    for (VectorLevel vectors : {VectorLevel::Portable, VectorLevel::Avx2, VectorLevel::Avx512}) {
        const engine::VectorLevelCap cap(vectors);
        for (int w : {18, 19, 34, 35, 50, 97}) {
            const Bitmap ties = fewColours(w, 6, uint32_t(w));
            const Bitmap smooth = pwtest::makeTestBitmap(w, 5, uint32_t(w + 1));
            for (int level = 0; level <= 100; ++level) {
                SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", width " +
                             std::to_string(w) + ", level " + std::to_string(level));
                auto op = [level](TFastPicture& p) { p.Median(level); };
                EXPECT_TRUE(pwtest::sameBitmap(run(ties, op), refMedian(ties, level)));
                EXPECT_TRUE(pwtest::sameBitmap(run(smooth, op), refMedian(smooth, level)));
            }
        }
    }
}

// Every picture size from one pixel to a little over two AVX-512 vectors wide and up to
// five rows high, so that each kernel meets rows shorter than its vector, its last vector
// moved left, single rows, row pairs and a pair followed by a single row.
TEST(Filters, MedianMatchesTheLiteralRuleOnEverySmallSize) {
    using engine::VectorLevel;
    for (VectorLevel vectors : {VectorLevel::Portable, VectorLevel::Avx2, VectorLevel::Avx512}) {
        const engine::VectorLevelCap cap(vectors);
        for (int w = 1; w <= 70; ++w)
            for (int h = 1; h <= 5; ++h) {
                const Bitmap ties = equalSums(w, h, uint32_t(w * 8 + h));
                const Bitmap few = fewColours(w, h, uint32_t(w * 5 + h));
                for (int level : {0, 60, 80, 100}) {
                    SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", " +
                                 std::to_string(w) + "x" + std::to_string(h) + ", level " +
                                 std::to_string(level));
                    auto op = [level](TFastPicture& p) { p.Median(level); };
                    EXPECT_TRUE(pwtest::sameBitmap(run(ties, op), refMedian(ties, level)));
                    EXPECT_TRUE(pwtest::sameBitmap(run(few, op), refMedian(few, level)));
                }
            }
    }
}

// Two entries of one window hold the median sum with different colours, for every pair
// of window positions and with the window at every place in a vector of columns: the
// selection's order among equal sums decides which colour the pixel takes.
TEST(Filters, MedianTieBetweenAnyTwoWindowPositions) {
    using engine::VectorLevel;
    const Px low = {1, 1, 1}, high = {200, 200, 200}, first = {10, 20, 30}, second = {30, 20, 10};
    std::mt19937 rng(11);
    for (VectorLevel vectors : {VectorLevel::Portable, VectorLevel::Avx2, VectorLevel::Avx512}) {
        const engine::VectorLevelCap cap(vectors);
        for (int i = 0; i < 9; ++i)
            for (int j = i + 1; j < 9; ++j)
                for (int centre : {1, 2, 17, 32, 33, 34, 35, 64, 68}) {
                    // Four entries below the tie and three above, in an order of its own.
                    std::vector<Px> rest = {low, low, low, low, high, high, high};
                    std::shuffle(rest.begin(), rest.end(), rng);
                    Bitmap bmp(70, 4, pf24bit);
                    for (int y = 0; y < 4; ++y)
                        for (int x = 0; x < 70; ++x)
                            put(bmp, x, y, (x + y) % 2 ? high : low);
                    size_t next = 0;
                    for (int e = 0; e < 9; ++e) {
                        const Px v = e == i ? first : e == j ? second : rest[next++];
                        put(bmp, centre - 1 + e % 3, e / 3, v);
                    }
                    SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", tie at " +
                                 std::to_string(i) + " and " + std::to_string(j) +
                                 ", centre column " + std::to_string(centre));
                    const Bitmap expected = refMedian(bmp, 100);
                    // The window was built so that the tie holds its median.
                    const int taken = at(expected, centre, 1).b;
                    ASSERT_TRUE(taken == first.b || taken == second.b);
                    EXPECT_TRUE(pwtest::sameBitmap(run(bmp, [](TFastPicture& p) { p.Median(100); }),
                                                   expected));
                }
    }
}

// Two threads split a picture's rows at an even or an odd row, so that a range may start
// or end in the middle of what one thread would take as a pair of rows.
TEST(Filters, MedianOnTwoThreadsAtEitherRowParity) {
    using engine::VectorLevel;
    for (VectorLevel vectors : {VectorLevel::Portable, VectorLevel::Avx2, VectorLevel::Avx512}) {
        const engine::VectorLevelCap cap(vectors);
        for (int h : {331, 332}) {
            const Bitmap ties = equalSums(401, h, uint32_t(h));
            const Bitmap few = fewColours(401, h, uint32_t(h + 1));
            for (int level : {60, 100}) {
                SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", height " +
                             std::to_string(h) + ", level " + std::to_string(level));
                auto op = [level](TFastPicture& p) { p.Median(level); };
                ThreadCount tc(2);
                EXPECT_TRUE(pwtest::sameBitmap(run(ties, op), refMedian(ties, level)));
                EXPECT_TRUE(pwtest::sameBitmap(run(few, op), refMedian(few, level)));
            }
        }
    }
}

TEST(Filters, WorkedExamples) {
    // Blur of 2 × 2: every pixel the truncated mean of all four.
    Bitmap b(2, 2, pf24bit);
    put(b, 0, 0, {0, 10, 255});
    put(b, 1, 0, {1, 10, 255});
    put(b, 0, 1, {1, 11, 255});
    put(b, 1, 1, {1, 11, 254});
    Bitmap blurred = run(b, [](TFastPicture& p) { p.Blur(); });
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            EXPECT_EQ(at(blurred, x, y).b, 0);
            EXPECT_EQ(at(blurred, x, y).g, 10);
            EXPECT_EQ(at(blurred, x, y).r, 254);
        }

    // Edge: 4c − n − s − w − e = −3 at level 50 moves c by −1, truncating toward zero.
    Bitmap e(3, 3, pf24bit);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            put(e, x, y, {100, 100, 100});
    put(e, 1, 0, {101, 100, 100});
    put(e, 0, 1, {101, 100, 100});
    put(e, 2, 1, {101, 100, 100});
    EXPECT_EQ(at(run(e, [](TFastPicture& p) { p.Edge(50); }), 1, 1).b, 99);

    // Sobel: vB = 1 and vG = 2 combine by OR into e = 252, not by maximum.
    Bitmap s(3, 3, pf24bit);
    put(s, 0, 0, {1, 0, 0}); // blue: Gx = 1, Gy = 1, √2 rounds to 1
    put(s, 0, 1, {0, 1, 0}); // green: Gx = 2, Gy = 0
    Bitmap contours = run(s, [](TFastPicture& p) { p.Sobel(100, false); });
    EXPECT_EQ(at(contours, 1, 1).b, 252);
    EXPECT_EQ(at(contours, 0, 0).r, 252); // corners repeat their diagonal neighbour

    // Median at level 100: an isolated bright pixel takes the field colour; at a corner the
    // 3rd smallest of 4 keys wins.
    Bitmap m(5, 5, pf24bit);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            put(m, x, y, {20, 30, 40});
    put(m, 2, 2, {255, 255, 255});
    Bitmap cleaned = run(m, [](TFastPicture& p) { p.Median(100); });
    EXPECT_EQ(at(cleaned, 2, 2).r, 40);
    Bitmap corner(2, 2, pf24bit);
    put(corner, 0, 0, {10, 0, 0});
    put(corner, 1, 0, {40, 0, 0});
    put(corner, 0, 1, {30, 0, 0});
    put(corner, 1, 1, {20, 0, 0});
    EXPECT_EQ(at(run(corner, [](TFastPicture& p) { p.Median(100); }), 0, 0).b, 30);
    // At level 0 a key 254 away from the median's stays.
    put(m, 2, 2, {255, 49, 40}); // key 344, the field's 90
    EXPECT_EQ(at(run(m, [](TFastPicture& p) { p.Median(0); }), 2, 2).b, 255);
    put(m, 2, 2, {255, 50, 40}); // key 345: 255 away, replaced
    EXPECT_EQ(at(run(m, [](TFastPicture& p) { p.Median(0); }), 2, 2).b, 20);

    // Mosaic 5 on 7 × 7: cells whose sample falls outside take their top-left pixel.
    Bitmap mo = pwtest::makeTestBitmap(7, 7, 3);
    Bitmap tiles = run(mo, [](TFastPicture& p) { p.Mosaic(5); });
    EXPECT_EQ(at(tiles, 6, 6).g, at(mo, 5, 5).g);
    EXPECT_EQ(at(tiles, 1, 6).r, at(mo, 0, 5).r);
    EXPECT_EQ(at(tiles, 4, 4).b, at(mo, 2, 2).b);

    // Framing 1 on 3 × 3: the centre is untouched, the frame lightened or darkened.
    Bitmap f(3, 3, pf24bit);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            put(f, x, y, {200, 100, 0});
    Bitmap framed = run(f, [](TFastPicture& p) { p.Framing(1, 300, true); });
    EXPECT_EQ(at(framed, 1, 1).b, 200);
    EXPECT_EQ(at(framed, 2, 0).b, 255); // top: 200 × 200 / 100, limited to 255
    EXPECT_EQ(at(framed, 0, 2).g, 255); // left: 100 × 300 / 100
    EXPECT_EQ(at(framed, 1, 2).g, 50);  // bottom: 100 × 100 / 200
    EXPECT_EQ(at(framed, 2, 1).b, 66);  // right: 200 × 100 / 300
    EXPECT_EQ(at(framed, 2, 2).r, 0);   // darkening 0 stays 0
}

TEST(Filters, ArgumentsOutOfRangeRaiseOnlyOnAmend) {
    const Bitmap src = pwtest::makeTestBitmap(9, 9);
    const std::vector<std::pair<std::string, std::function<void(TFastPicture&)>>> calls = {
        {"Mosaic", [](TFastPicture& p) { p.Mosaic(1); }},
        {"Mosaic", [](TFastPicture& p) { p.Mosaic(51); }},
        {"Edge", [](TFastPicture& p) { p.Edge(0); }},
        {"Edge", [](TFastPicture& p) { p.Edge(101); }},
        {"Median", [](TFastPicture& p) { p.Median(-1); }},
        {"Median", [](TFastPicture& p) { p.Median(101); }},
        {"Sobel", [](TFastPicture& p) { p.Sobel(0, true); }},
        {"Framing", [](TFastPicture& p) { p.Framing(1, 104, true); }},
        {"Framing", [](TFastPicture& p) { p.Framing(1, 301, true); }},
        {"Framing", [](TFastPicture& p) { p.Framing(0, 200, true); }},
    };
    for (const auto& [kind, op] : calls) {
        SCOPED_TRACE(kind);
        Events ev;
        EXPECT_TRUE(pwtest::sameBitmap(run(src, op, &ev), src));
        EXPECT_EQ(ev.amend, std::vector<std::string>{kind});
        EXPECT_TRUE(ev.amended.empty());
    }
    Events ev;
    run(
        src, [](TFastPicture& p) { p.Blur(); }, &ev);
    EXPECT_EQ(ev.amended, std::vector<std::string>{"Blur"});
}

TEST(Filters, PictureKindAndDepthGuardAndRestore) {
    // A 4-bit picture and a metafile are left alone.
    Bitmap four = pwtest::makeTestBitmap(8, 8);
    four.setPixelFormat(pf4bit);
    Events ev;
    EXPECT_TRUE(pwtest::sameBitmap(run(
                                       four, [](TFastPicture& p) { p.Blur(); }, &ev),
                                   four));
    EXPECT_TRUE(ev.amended.empty());
    TFastPicture meta;
    meta.picture().setGraphic(std::make_unique<Metafile>());
    meta.Median(50);
    EXPECT_EQ(meta.GetPictureType(), picMetafile);

    // 8 bits come back at 8 bits, 16 bits at 24, 32 at 32.
    for (auto [from, to] : {std::pair{pf8bit, pf8bit}, {pf16bit, pf24bit}, {pf32bit, pf32bit}}) {
        Bitmap b = pwtest::makeTestBitmap(10, 6);
        b.setPixelFormat(from);
        EXPECT_EQ(run(b, [](TFastPicture& p) { p.Sobel(50, true); }).pixelFormat(), to);
        EXPECT_EQ(run(b, [](TFastPicture& p) { p.Mosaic(3); }).pixelFormat(), to);
    }
}

TEST(Filters, FlatPicturesStayFlat) {
    Bitmap flat(12, 9, pf24bit);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 12; ++x)
            put(flat, x, y, {17, 130, 250});
    for (const Case& c : filterCases()) {
        if (c.name.rfind("Framing", 0) == 0 || c.name.find("extract") != std::string::npos)
            continue;
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(pwtest::sameBitmap(run(flat, c.op), flat));
    }
    Bitmap white = run(flat, [](TFastPicture& p) { p.Sobel(100, false); });
    EXPECT_EQ(at(white, 5, 5).b, 255);
    EXPECT_EQ(at(white, 0, 8).r, 255);
}

} // namespace
