// Geometry: quarter turns and the mirror at every native depth, the two resampling
// routines against literal versions of their arithmetic, and trimming.
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <tuple>

#include <gtest/gtest.h>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "platform/Bitmap.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

namespace {

// The raw value of pixel (x, y) at the bitmap's own depth.
uint32_t raw(const Bitmap& bmp, int x, int y) {
    const uint8_t* row = bmp.scanLine(y);
    switch (bmp.bitsPerPixel()) {
    case 1:
        return (row[x / 8] >> (7 - x % 8)) & 1;
    case 4:
        return x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4;
    case 8:
        return row[x];
    case 16:
        return row[2 * x] | row[2 * x + 1] << 8;
    case 24:
        return row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16;
    default:
        return row[4 * x] | row[4 * x + 1] << 8 | row[4 * x + 2] << 16 |
               uint32_t(row[4 * x + 3]) << 24;
    }
}

// Random raw pixels at the given format, with a palette of its own for indexed formats.
Bitmap randomBitmap(int w, int h, PixelFormat format, uint32_t seed) {
    Bitmap bmp(w, h, format);
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = bmp.scanLine(y);
        for (int i = 0; i < bmp.stride(); ++i)
            row[i] = uint8_t(rng());
    }
    if (format == pf8bit) {
        std::vector<Rgb> entries;
        for (int i = 0; i < 256; ++i)
            entries.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
        bmp.setPalette(Palette(entries));
    }
    return bmp;
}

struct Events {
    std::vector<std::string> amend, amended;
};

struct Engine {
    TFastPicture pic;
    Events ev;
    explicit Engine(const Bitmap& bmp, int width = 0, int height = 0) {
        pic.picture().setGraphic(std::make_unique<Bitmap>(bmp));
        pic.Width = width ? width : bmp.width();
        pic.Height = height ? height : bmp.height();
        pic.OnAmend = [this](TFastPicture*, std::string k) { ev.amend.push_back(k); };
        pic.OnAmended = [this](TFastPicture*, std::string k) { ev.amended.push_back(k); };
    }
    const Bitmap& bmp() { return *pic.picture().as<Bitmap>(); }
};

class ThreadCount {
public:
    explicit ThreadCount(int n) : saved_(engine::threadCount()) { engine::setThreadCount(n); }
    ~ThreadCount() { engine::setThreadCount(saved_); }

private:
    int saved_;
};

const PixelFormat kNativeFormats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};

// Sizes below, at and around the 16 × 16 tiles of the vector kernel, with one and two
// threads (a thread's rows need not start on a tile).
TEST(Turn, MapsEveryPixelAtEveryDepth) {
    for (PixelFormat format : kNativeFormats)
        for (int angle : {90, 180, 270})
            for (auto [w, h, threads] : {std::tuple{3, 2, 1},
                                         {13, 7, 1},
                                         {70, 45, 1},
                                         {16, 16, 1},
                                         {161, 300, 2},
                                         {512, 97, 2}}) {
                SCOPED_TRACE("format " + std::to_string(format) + ", angle " +
                             std::to_string(angle) + ", " + std::to_string(w) + "x" +
                             std::to_string(h) + ", threads " + std::to_string(threads));
                const ThreadCount useThreads(threads);
                const Bitmap src = randomBitmap(w, h, format, uint32_t(w + angle));
                Engine e(src);
                e.pic.Turn(angle);
                const Bitmap& d = e.bmp();
                ASSERT_EQ(d.pixelFormat(), format);
                EXPECT_TRUE(d.palette() == src.palette());
                ASSERT_EQ(d.width(), angle == 180 ? w : h);
                ASSERT_EQ(d.height(), angle == 180 ? h : w);
                for (int y = 0; y < d.height(); ++y)
                    for (int x = 0; x < d.width(); ++x) {
                        const uint32_t expected = angle == 90    ? raw(src, y, h - 1 - x)
                                                  : angle == 180 ? raw(src, w - 1 - x, h - 1 - y)
                                                                 : raw(src, w - 1 - y, x);
                        ASSERT_EQ(raw(d, x, y), expected) << "at " << x << "," << y;
                    }
            }
}

TEST(Turn, WorkedExampleAndAngleRules) {
    // a b c / d e f, pixels told apart by their blue byte.
    Bitmap src(3, 2, pf24bit);
    for (int i = 0; i < 6; ++i)
        src.scanLine(i / 3)[3 * (i % 3)] = uint8_t('a' + i);
    auto rows = [](const Bitmap& b) {
        std::string s;
        for (int y = 0; y < b.height(); ++y) {
            for (int x = 0; x < b.width(); ++x)
                s += char(b.scanLine(y)[3 * x]);
            s += '/';
        }
        return s;
    };
    auto turned = [&](int angle) {
        Engine e(src);
        e.pic.Turn(angle);
        return rows(e.bmp());
    };
    EXPECT_EQ(turned(90), "da/eb/fc/");
    EXPECT_EQ(turned(270), "cf/be/ad/");
    EXPECT_EQ(turned(180), "fed/cba/");
    EXPECT_EQ(turned(-90), turned(270));
    EXPECT_EQ(turned(450), turned(90));
    for (int angle : {0, 360, 45, -720}) {
        Engine e(src);
        e.pic.Turn(angle);
        EXPECT_EQ(rows(e.bmp()), "abc/def/");
        EXPECT_EQ(e.ev.amend, std::vector<std::string>{"Turn"});
        EXPECT_TRUE(e.ev.amended.empty());
    }
    // A quarter turn swaps the control's sides and keeps its flags.
    Engine e(src, 300, 200);
    e.pic.AutoSize = false;
    e.pic.Stretch = true;
    e.pic.Turn(90);
    EXPECT_EQ(e.pic.Width, 200);
    EXPECT_EQ(e.pic.Height, 300);
    EXPECT_TRUE(e.pic.Stretch);
    EXPECT_EQ(e.ev.amended, std::vector<std::string>{"Turn"});
}

TEST(Turn, FourQuarterTurnsAndTwoMirrorsAreTheIdentity) {
    for (PixelFormat format : kNativeFormats) {
        SCOPED_TRACE("format " + std::to_string(format));
        const Bitmap src = randomBitmap(37, 23, format, 9);
        Engine e(src);
        for (int i = 0; i < 4; ++i)
            e.pic.Turn(90);
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), src));
        e.pic.Reverse();
        e.pic.Reverse();
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), src));
    }
}

TEST(Reverse, MirrorsEachRowAtNativeDepth) {
    for (PixelFormat format : kNativeFormats)
        for (int w : {1, 2, 3, 10, 33}) {
            SCOPED_TRACE("format " + std::to_string(format) + ", width " + std::to_string(w));
            const Bitmap src = randomBitmap(w, 5, format, uint32_t(w));
            Engine e(src);
            e.pic.Reverse();
            const Bitmap& d = e.bmp();
            ASSERT_EQ(d.pixelFormat(), format);
            EXPECT_TRUE(d.palette() == src.palette());
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(raw(d, x, y), raw(src, w - 1 - x, y));
        }
    // A device-dependent bitmap ends as a 24-bit one.
    Bitmap dev = pwtest::makeTestBitmap(6, 4);
    dev.setPixelFormat(pfDevice);
    Engine e(dev);
    e.pic.Reverse();
    EXPECT_EQ(e.bmp().pixelFormat(), pf24bit);
    // Nothing to mirror in a metafile.
    TFastPicture meta;
    meta.picture().setGraphic(std::make_unique<Metafile>());
    meta.Reverse();
    EXPECT_EQ(meta.GetPictureType(), picMetafile);
}

// ----- resampling -----

Bitmap refBilinear(const Bitmap& s, int nw, int nh) {
    const int w = s.width(), h = s.height();
    Bitmap d(nw, nh, pf24bit);
    const double sx = double(w) / nw, sy = double(h) / nh;
    for (int y = 0; y < nh; ++y) {
        const double fy = (y + 0.5) * sy - 0.5;
        const int r = int(std::floor(fy));
        const double dy = fy - r;
        const uint8_t* A = s.scanLine(r < 0 ? 0 : r);
        const uint8_t* B = s.scanLine(r + 1 > h - 1 ? h - 1 : r + 1);
        for (int x = 0; x < nw; ++x) {
            const double fx = (x + 0.5) * sx - 0.5;
            const int c = int(std::floor(fx));
            const double dx = fx - c;
            const int a = c < 0 ? 0 : c, b = c + 1 > w - 1 ? w - 1 : c + 1;
            for (int k = 0; k < 3; ++k) {
                const int p00 = A[3 * a + k], p10 = A[3 * b + k], p01 = B[3 * a + k],
                          p11 = B[3 * b + k];
                const long double v = (long double)p00 + (long double)dx * (p10 - p00) +
                                      (long double)dy * (p01 - p00) +
                                      (long double)dx * (long double)dy * (p00 + p11 - p10 - p01);
                d.scanLine(y)[3 * x + k] = uint8_t(std::nearbyint(v));
            }
        }
    }
    return d;
}

Bitmap refAreaAverage(const Bitmap& s, int nw, int nh) {
    const int w = s.width(), h = s.height();
    Bitmap d(nw, nh, pf24bit);
    const double sx = double(w) / nw, sy = double(h) / nh;
    const float area = float(double(w) * h / nw / nh);
    auto weight = [](int j, double lo, double hi) {
        if (j > lo && j + 1 < hi) return 1.0;
        if (j <= lo && j + 1 < hi) return j + 1 - lo;
        if (j > lo && j + 1 >= hi) return hi - j;
        return hi - lo;
    };
    for (int y = 0; y < nh; ++y)
        for (int x = 0; x < nw; ++x) {
            const double x0 = x * sx, x1 = (x + 1) * sx - 0.000001;
            const double y0 = y * sy, y1 = (y + 1) * sy - 0.000001;
            double sum[3] = {0, 0, 0};
            for (int i = int(std::floor(y0)); i <= int(std::floor(y1)); ++i)
                for (int j = int(std::floor(x0)); j <= int(std::floor(x1)); ++j)
                    for (int k = 0; k < 3; ++k)
                        sum[k] += weight(j, x0, x1) * weight(i, y0, y1) * s.scanLine(i)[3 * j + k];
            for (int k = 0; k < 3; ++k)
                d.scanLine(y)[3 * x + k] = uint8_t(std::nearbyint(sum[k] / area));
        }
    return d;
}

TEST(Resample, BilinearStretchMatchesExtendedPrecisionFormula) {
    const std::vector<std::array<int, 4>> cases = {
        {1, 1, 4, 4},
        {2, 2, 4, 4},
        {3, 2, 7, 5},
        {5, 4, 10, 8},
        {7, 3, 7, 9},
        {10, 10, 15, 15},
        {13, 11, 39, 22},
        {4, 4, 3, 3},
        {40, 30, 41, 77},
        // Two thirds of a source step: many values fall a rounding error away from a tie.
        {120, 80, 180, 120}};
    for (auto [w, h, nw, nh] : cases)
        for (int threads : {1, 2}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " to " + std::to_string(nw) +
                         "x" + std::to_string(nh) + ", threads " + std::to_string(threads));
            ThreadCount tc(threads);
            const Bitmap src = pwtest::makeTestBitmap(w, h, uint32_t(w * h));
            EXPECT_TRUE(pwtest::sameBitmap(BilinearStretch(src, nw, nh), refBilinear(src, nw, nh)));
        }
    // An extended-precision tie: halfway between 0 and 1 rounds to the even 0, and between
    // 1 and 2 to the even 2.
    Bitmap two(2, 1, pf24bit);
    two.scanLine(0)[3] = 1;
    two.scanLine(0)[1] = 1;
    two.scanLine(0)[4] = 2;
    Bitmap wide = BilinearStretch(two, 4, 1); // dx = 0.75, 0.25, 0.75, ...
    EXPECT_TRUE(pwtest::sameBitmap(wide, refBilinear(two, 4, 1)));
    Bitmap halves = BilinearStretch(two, 6, 1);
    EXPECT_TRUE(pwtest::sameBitmap(halves, refBilinear(two, 6, 1)));
}

TEST(Resample, AreaAverageShrinkMatchesLiteralSums) {
    const std::vector<std::array<int, 4>> cases = {
        {4, 1, 2, 1},
        {1, 1, 1, 1},
        {9, 7, 4, 3},
        {10, 10, 3, 7},
        {64, 48, 32, 24},
        {100, 3, 1, 1},
        {37, 41, 36, 40},
        {5, 5, 5, 5},
        {100, 80, 37, 33},
        // Every destination pixel covering two columns and two rows, with rows longer than
        // one processing chunk.
        {150, 90, 100, 60},
        {700, 6, 350, 3}};
    for (auto [w, h, nw, nh] : cases)
        for (int threads : {1, 2}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " to " + std::to_string(nw) +
                         "x" + std::to_string(nh) + ", threads " + std::to_string(threads));
            ThreadCount tc(threads);
            const Bitmap src = pwtest::makeTestBitmap(w, h, uint32_t(w + h));
            EXPECT_TRUE(
                pwtest::sameBitmap(AreaAverageShrink(src, nw, nh), refAreaAverage(src, nw, nh)));
        }
    // 0, 100, 200, 255 to two pixels: 99.9998 / 2 and 454.9993 / 2.
    Bitmap grey(4, 1, pf24bit);
    const int values[] = {0, 100, 200, 255};
    for (int x = 0; x < 4; ++x)
        for (int k = 0; k < 3; ++k)
            grey.scanLine(0)[3 * x + k] = uint8_t(values[x]);
    Bitmap half = AreaAverageShrink(grey, 2, 1);
    EXPECT_EQ(half.scanLine(0)[0], 50);
    EXPECT_EQ(half.scanLine(0)[3], 227);
    EXPECT_THROW(AreaAverageShrink(grey, 0, 1), std::exception);
    EXPECT_THROW(BilinearStretch(Bitmap(), 3, 3), std::exception);
}

TEST(Resample, EnlargeAndShrinkOperations) {
    const Bitmap src = pwtest::makeTestBitmap(20, 15);
    {
        Engine e(src);
        e.pic.Enlarge(20, 15);
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), src));
        e.pic.Shrink(20, 15);
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), src));
    }
    {
        Bitmap one(1, 1, pf24bit);
        one.scanLine(0)[0] = 9, one.scanLine(0)[1] = 99, one.scanLine(0)[2] = 199;
        Engine e(one);
        e.pic.Enlarge(4, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(raw(e.bmp(), x, y), raw(one, 0, 0));
    }
    // A flat picture keeps its exact colour at any reduction.
    for (uint8_t v : {uint8_t(0), uint8_t(1), uint8_t(128), uint8_t(255)}) {
        Bitmap flat(31, 17, pf24bit);
        for (int y = 0; y < 17; ++y)
            std::fill_n(flat.scanLine(y), 93, v);
        for (auto [nw, nh] : {std::pair{1, 1}, {3, 2}, {30, 16}, {7, 17}, {10, 5}}) {
            Engine e(flat);
            e.pic.Shrink(nw, nh);
            for (int y = 0; y < nh; ++y)
                for (int x = 0; x < nw; ++x)
                    ASSERT_EQ(raw(e.bmp(), x, y), raw(flat, 0, 0)) << int(v);
        }
    }
    // Wrong side of the current size, or nothing to keep: no change.
    for (auto op : std::vector<std::function<void(TFastPicture&)>>{
             [](TFastPicture& p) { p.Enlarge(19, 30); }, [](TFastPicture& p) { p.Shrink(10, 16); },
             [](TFastPicture& p) { p.Shrink(0, 5); }}) {
        Engine e(src);
        op(e.pic);
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), src));
        EXPECT_TRUE(e.ev.amended.empty());
    }
    // Starting formats: 8 and 32 bits come back, 16 bits end at 24.
    for (auto [from, to] : {std::pair{pf8bit, pf8bit}, {pf16bit, pf24bit}, {pf32bit, pf32bit}}) {
        Bitmap b = pwtest::makeTestBitmap(8, 8);
        b.setPixelFormat(from);
        Engine e(b);
        e.pic.Enlarge(12, 9);
        EXPECT_EQ(e.bmp().pixelFormat(), to);
        e.pic.Shrink(5, 5);
        EXPECT_EQ(e.bmp().pixelFormat(), to);
        EXPECT_EQ(e.ev.amended, (std::vector<std::string>{"Enlarge", "Shrink"}));
    }
}

// ----- trimming -----

TEST(Trimming, CropsInPictureOrControlPixels) {
    const Bitmap src = pwtest::makeTestBitmap(1000, 40);
    {
        // A stretched control shows the 1000-pixel picture at 500: control columns 100..199
        // are picture columns 200..398.
        Engine e(src, 500, 40);
        e.pic.Stretch = true;
        e.pic.AutoSize = false;
        e.pic.Trimming({100, 0, 199, 39}, false);
        ASSERT_EQ(e.bmp().width(), 199);
        EXPECT_EQ(e.pic.Width, 100);
        EXPECT_EQ(e.pic.Height, 40);
        for (int y = 0; y < 40; y += 13)
            for (int x = 0; x < 199; ++x)
                ASSERT_EQ(raw(e.bmp(), x, y), raw(src, 200 + x, y));
        EXPECT_TRUE(e.pic.Stretch);
        EXPECT_EQ(e.ev.amended, std::vector<std::string>{"Trimming"});
    }
    {
        // Picture coordinates on the same control: the control takes the scaled size.
        Engine e(src, 500, 20);
        e.pic.Trimming({10, 4, 109, 23}, true);
        EXPECT_EQ(e.bmp().width(), 100);
        EXPECT_EQ(e.bmp().height(), 20);
        EXPECT_EQ(e.pic.Width, 50);  // 5..54
        EXPECT_EQ(e.pic.Height, 10); // 2..11
        EXPECT_EQ(raw(e.bmp(), 0, 0), raw(src, 10, 4));
    }
    // Outside the picture, corners the wrong way round, or a control of no size: no change.
    for (TRect r :
         {TRect{0, 0, 1000, 39}, TRect{-1, 0, 10, 10}, TRect{50, 10, 40, 20}, TRect{0, 5, 10, 4}}) {
        Engine e(src);
        e.pic.Trimming(r, true);
        EXPECT_EQ(e.bmp().width(), 1000);
        EXPECT_TRUE(e.ev.amended.empty());
    }
    // Control pixels on a control of no size cannot be placed in the picture.
    Engine zero(src);
    zero.pic.Width = zero.pic.Height = 0;
    zero.pic.Trimming({0, 0, 1, 1}, false);
    EXPECT_TRUE(zero.ev.amended.empty());
}

TEST(Trimming, PicturePixelsNeedNoControlSize) {
    // pwtool's engine has no control size: a rectangle in picture pixels crops all the same,
    // and an axis of no size keeps it.
    const Bitmap src = pwtest::makeTestBitmap(30, 20);
    for (auto [cw, ch] : {std::pair{0, 0}, {60, 0}, {0, 10}}) {
        SCOPED_TRACE(std::to_string(cw) + " x " + std::to_string(ch));
        Engine e(src);
        e.pic.Width = cw;
        e.pic.Height = ch;
        e.pic.Trimming({4, 3, 13, 7}, true);
        ASSERT_EQ(e.ev.amended, std::vector<std::string>{"Trimming"});
        ASSERT_EQ(e.bmp().width(), 10);
        ASSERT_EQ(e.bmp().height(), 5);
        EXPECT_EQ(raw(e.bmp(), 0, 0), raw(src, 4, 3));
        EXPECT_EQ(raw(e.bmp(), 9, 4), raw(src, 13, 7));
        EXPECT_EQ(e.pic.Width, cw ? 19 : 0); // 8..26 on a control twice the picture's width
        EXPECT_EQ(e.pic.Height, ch ? 3 : 0); // 1..3 on a control half its height
    }
}

TEST(Trimming, KeepsNativeDepthAndPalette) {
    for (PixelFormat format : kNativeFormats) {
        SCOPED_TRACE("format " + std::to_string(format));
        const Bitmap src = randomBitmap(29, 11, format, 4);
        Engine e(src);
        e.pic.AutoSize = true; // the rectangle is then in picture pixels
        e.pic.Trimming({3, 2, 20, 9}, false);
        const Bitmap& d = e.bmp();
        ASSERT_EQ(d.pixelFormat(), format);
        EXPECT_TRUE(d.palette() == src.palette());
        ASSERT_EQ(d.width(), 18);
        ASSERT_EQ(d.height(), 8);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 18; ++x)
                ASSERT_EQ(raw(d, x, y), raw(src, 3 + x, 2 + y));
    }
}

TEST(Trimming, MetafileBecomesARasterOfTheKeptArea) {
    // A metafile that shows a bitmap: left half red, right half blue.
    Bitmap drawing(40, 20, pf24bit);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            drawing.scanLine(y)[3 * x + (x < 20 ? 2 : 0)] = 255;
    TFastPicture pic;
    pic.picture().setGraphic(std::make_unique<Bitmap>(drawing));
    pic.SetPictureType(picMetafile);
    ASSERT_EQ(pic.GetPictureType(), picMetafile);
    const int w = pic.picture().width(), h = pic.picture().height();
    pic.Width = w;
    pic.Height = h;
    pic.AutoSize = true;
    std::vector<std::string> amended;
    pic.OnAmended = [&](TFastPicture*, std::string k) { amended.push_back(k); };
    pic.Trimming({w / 2, 0, w - 1, h - 1}, true);
    ASSERT_EQ(amended, std::vector<std::string>{"Trimming"});
    ASSERT_EQ(pic.GetPictureType(), picMetafile);
    EXPECT_NEAR(pic.picture().width(), w - w / 2, 1);
    pic.SetPictureType(picBitmap);
    const Bitmap& kept = *pic.picture().as<Bitmap>();
    Bitmap rgb = kept;
    rgb.setPixelFormat(pf24bit);
    const uint8_t* mid = rgb.scanLine(rgb.height() / 2) + 3 * (rgb.width() / 2);
    EXPECT_GT(mid[0], 200); // blue: the right half was kept
    EXPECT_LT(mid[2], 50);
}

} // namespace
