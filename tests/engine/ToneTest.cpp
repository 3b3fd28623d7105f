#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ToneTestHelpers.h"
#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "engine/ToneTables.h"
#include "engine/VectorLevel.h"
#include "platform/Bitmap.h"
#include "support/TestSupport.h"

using namespace tonetest;

namespace {

struct Engine {
    TFastPicture fp;
    EventLog log{fp};
    explicit Engine(const Bitmap& bmp) { fp.picture().assign(&bmp); }
    Bitmap& bmp() { return held(fp); }
};

uint8_t byteAt(const Bitmap& b, int x, int c, int y = 0) {
    return b.scanLine(y)[3 * x + c];
}

} // namespace

// Calls whose arguments make the operation a no-op: OnAmend only, picture untouched.
struct GuardCase {
    std::string name;
    std::string kind;
    std::function<void(TFastPicture&)> call;
};

class ToneGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(ToneGuard, RaisesOnlyAmendAndKeepsPicture) {
    Bitmap ramp = makeRamp();
    Engine e(ramp);
    GetParam().call(e.fp);
    EXPECT_EQ(e.log.events, std::vector<std::string>{"Amend " + GetParam().kind});
    EXPECT_EQ(e.log.invalidations, 0);
    EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), ramp));
}

INSTANTIATE_TEST_SUITE_P(
    Tone, ToneGuard,
    ::testing::Values(
        GuardCase{"Bright100", "Bright", [](TFastPicture& f) { f.Bright(100); }},
        GuardCase{"BrightNegative", "Bright", [](TFastPicture& f) { f.Bright(-1); }},
        GuardCase{"Contrast100", "Contrast", [](TFastPicture& f) { f.Contrast(100); }},
        GuardCase{"ContrastNegative", "Contrast", [](TFastPicture& f) { f.Contrast(-5); }},
        GuardCase{"Gamma1", "Gamma", [](TFastPicture& f) { f.Gamma(1.0L); }},
        GuardCase{"Gamma009", "Gamma", [](TFastPicture& f) { f.Gamma(0.09L); }},
        GuardCase{"Gamma105", "Gamma", [](TFastPicture& f) { f.Gamma(10.5L); }},
        GuardCase{"Light0", "Light", [](TFastPicture& f) { f.Light(0); }},
        GuardCase{"Light256", "Light", [](TFastPicture& f) { f.Light(256); }},
        GuardCase{"LightMinus256", "Light", [](TFastPicture& f) { f.Light(-256); }},
        GuardCase{"Linear100_0", "Linear", [](TFastPicture& f) { f.Linear(100, 0); }},
        GuardCase{"Posterization1", "Posterization", [](TFastPicture& f) { f.Posterization(1); }},
        GuardCase{"Posterization129", "Posterization",
                  [](TFastPicture& f) { f.Posterization(129); }},
        GuardCase{"BlackAndWhite257", "BlackAndWhite",
                  [](TFastPicture& f) {
                      int used = 7;
                      f.BlackAndWhite(257, used);
                      EXPECT_EQ(used, 7);
                  }},
        GuardCase{"BlackAndWhiteMinus2", "BlackAndWhite",
                  [](TFastPicture& f) {
                      int used = 7;
                      f.BlackAndWhite(-2, used);
                  }},
        GuardCase{"Automatic50", "Automatic", [](TFastPicture& f) { f.Automatic(50); }},
        GuardCase{"AutomaticMinus1", "Automatic",
                  [](TFastPicture& f) { f.Automatic(static_cast<unsigned>(-1)); }},
        GuardCase{"SpreadLowEqualsHigh", "Spread", [](TFastPicture& f) { f.Spread(9, 9, 0, 255); }},
        GuardCase{"SpreadOutOfRange", "Spread", [](TFastPicture& f) { f.Spread(0, 256, 0, 255); }},
        GuardCase{"SpreadOutReversed", "Spread",
                  [](TFastPicture& f) { f.Spread(0, 255, 200, 100); }},
        GuardCase{"Reduce6", "Reduce", [](TFastPicture& f) { f.Reduce(6); }}),
    [](const auto& info) { return info.param.name; });

TEST(Tone, TablesOfTheWorkedExamples) {
    Bitmap ramp = makeRamp();
    struct Case {
        const char* name;
        std::function<void(TFastPicture&)> call;
        std::vector<std::pair<int, int>> samples; // input byte -> output byte
    };
    const Case cases[] = {
        {"Bright0", [](TFastPicture& f) { f.Bright(0); }, {{0, 0}, {128, 0}, {255, 0}}},
        {"Bright150", [](TFastPicture& f) { f.Bright(150); }, {{100, 150}, {170, 255}, {200, 255}}},
        // k = 50 * 1024 div 100 = 512: exactly half, truncated.
        {"Bright50", [](TFastPicture& f) { f.Bright(50); }, {{1, 0}, {3, 1}, {255, 127}}},
        {"Contrast0", [](TFastPicture& f) { f.Contrast(0); }, {{0, 128}, {255, 128}}},
        // Truncation toward zero on both sides of the pivot.
        {"Contrast50",
         [](TFastPicture& f) { f.Contrast(50); },
         {{0, 64}, {1, 65}, {127, 128}, {129, 128}, {255, 191}}},
        {"Contrast250",
         [](TFastPicture& f) { f.Contrast(250); },
         {{60, 0}, {77, 1}, {100, 58}, {127, 126}, {129, 130}, {200, 255}}},
        {"Gamma2",
         [](TFastPicture& f) { f.Gamma(2.0L); },
         {{0, 0}, {1, 16}, {64, 128}, {128, 181}, {200, 226}, {254, 254}, {255, 255}}},
        {"Gamma05",
         [](TFastPicture& f) { f.Gamma(0.5L); },
         {{1, 0}, {64, 16}, {128, 64}, {200, 157}, {254, 253}}},
        {"Light40", [](TFastPicture& f) { f.Light(40); }, {{0, 40}, {215, 255}, {250, 255}}},
        {"LightMinus255", [](TFastPicture& f) { f.Light(-255); }, {{0, 0}, {255, 0}}},
        {"Linear140_m50",
         [](TFastPicture& f) { f.Linear(140, -50); },
         {{0, 0}, {36, 0}, {200, 229}, {255, 255}}},
        {"Negative", [](TFastPicture& f) { f.Negative(); }, {{0, 255}, {100, 155}, {255, 0}}},
        {"Posterization2",
         [](TFastPicture& f) { f.Posterization(2); },
         {{0, 0}, {127, 0}, {128, 255}, {255, 255}}},
        {"Posterization5",
         [](TFastPicture& f) { f.Posterization(5); },
         {{50, 0},
          {51, 63},
          {101, 63},
          {102, 126},
          {152, 126},
          {153, 189},
          {203, 189},
          {204, 255}}},
        // Levels 128: bands of two, unit 2; the last band and the remainder are white.
        {"Posterization128",
         [](TFastPicture& f) { f.Posterization(128); },
         {{1, 0}, {2, 2}, {5, 4}, {253, 252}, {254, 255}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Engine e(ramp);
        c.call(e.fp);
        EXPECT_EQ(e.log.events.size(), 2u);
        EXPECT_EQ(e.log.invalidations, 1);
        ASSERT_EQ(e.bmp().pixelFormat(), pf24bit);
        // Every byte went through one table: the same input gives the same output in every
        // channel, and the sampled entries are as expected.
        int table[256];
        for (int& t : table)
            t = -1;
        for (int y = 0; y < ramp.height(); ++y)
            for (int i = 0; i < 256 * 3; ++i) {
                int in = ramp.scanLine(y)[i], out = e.bmp().scanLine(y)[i];
                if (table[in] < 0) table[in] = out;
                ASSERT_EQ(table[in], out) << "input " << in;
            }
        for (auto [in, out] : c.samples)
            EXPECT_EQ(table[in], out) << "input " << in;
    }
}

TEST(Tone, GammaRoundsHalfToEvenAndIsMonotonic) {
    // Gamma(10^(25/60)) as the slider passes it, checked at a few levels computed apart.
    auto t = engine::gammaTable(std::pow(10.0L, 25.0L / 60.0L));
    EXPECT_EQ(t[1], 31);
    EXPECT_EQ(t[64], 150);
    EXPECT_EQ(t[128], 196);
    EXPECT_EQ(t[200], 232);
    for (int i = 1; i < 256; ++i)
        EXPECT_LE(t[i - 1], t[i]);
}

TEST(Tone, GrayScaleAndSepiaTruncateEachTerm) {
    Engine white(uniform(3, 2, 255, 255, 255));
    white.fp.GrayScale();
    EXPECT_EQ(byteAt(white.bmp(), 1, 0), 254);
    EXPECT_EQ(byteAt(white.bmp(), 1, 1), 254);
    EXPECT_EQ(byteAt(white.bmp(), 1, 2), 254);

    Engine sepia(uniform(3, 2, 255, 255, 255));
    sepia.fp.Sepia();
    EXPECT_EQ(byteAt(sepia.bmp(), 2, 0), 153);
    EXPECT_EQ(byteAt(sepia.bmp(), 2, 1), 211);
    EXPECT_EQ(byteAt(sepia.bmp(), 2, 2), 254);
    EXPECT_EQ(sepia.log.events, (std::vector<std::string>{"Amend Sepia", "Amended Sepia"}));

    // Blue 10, green 100, red 200: 1 + 58 + 59 = 118; sepia 71, 98, 118.
    Engine mixed(uniform(1, 1, 10, 100, 200));
    mixed.fp.GrayScale();
    EXPECT_EQ(byteAt(mixed.bmp(), 0, 0), 118);
    EXPECT_EQ(byteAt(mixed.bmp(), 0, 2), 118);
    Engine mixedSepia(uniform(1, 1, 10, 100, 200));
    mixedSepia.fp.Sepia();
    EXPECT_EQ(byteAt(mixedSepia.bmp(), 0, 0), 71);
    EXPECT_EQ(byteAt(mixedSepia.bmp(), 0, 1), 98);
    EXPECT_EQ(byteAt(mixedSepia.bmp(), 0, 2), 118);
}

// Rows long enough for every vector width the kernels use, with remainders of every
// length: each pixel against the rule written out.
TEST(Tone, PixelKernelsMatchTheirRulesOnLongRows) {
    using engine::VectorLevel;
    for (VectorLevel vectors : {VectorLevel::Portable, VectorLevel::Avx2, VectorLevel::Avx512})
        for (int w : {63, 64, 65, 130, 203, 1000}) {
            const engine::VectorLevelCap cap(vectors);
            const Bitmap src = pwtest::makeTestBitmap(w, 3, uint32_t(w));
            Engine gray(src), sepia(src);
            gray.fp.GrayScale();
            sepia.fp.Sepia();
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < w; ++x) {
                    SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", width " +
                                 std::to_string(w) + " at " + std::to_string(x));
                    const uint8_t* p = src.scanLine(y) + 3 * x;
                    const unsigned luma =
                        ((p[0] * 117u) >> 10) + ((p[1] * 601u) >> 10) + ((p[2] * 306u) >> 10);
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(byteAt(gray.bmp(), x, c, y), luma);
                    ASSERT_EQ(byteAt(sepia.bmp(), x, 0, y), (luma * 619u) >> 10);
                    ASSERT_EQ(byteAt(sepia.bmp(), x, 1, y), (luma * 853u) >> 10);
                    ASSERT_EQ(byteAt(sepia.bmp(), x, 2, y), luma);
                }
            for (int t : {0, 1, 100, 128, 254, 255, 256}) {
                Engine bw(src);
                int used = -1;
                bw.fp.BlackAndWhite(t, used);
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < w; ++x) {
                        SCOPED_TRACE("vector level " + std::to_string(int(vectors)) + ", width " +
                                     std::to_string(w) + ", threshold " + std::to_string(t) +
                                     " at " + std::to_string(x));
                        const uint8_t* p = src.scanLine(y) + 3 * x;
                        const int v = p[0] + p[1] + p[2] >= 3 * t ? 255 : 0;
                        for (int c = 0; c < 3; ++c)
                            ASSERT_EQ(byteAt(bw.bmp(), x, c, y), v);
                    }
            }
        }
}

TEST(Tone, BlackAndWhiteThresholds) {
    Bitmap ramp = makeRamp();
    int used = -5;
    Engine allWhite(ramp);
    allWhite.fp.BlackAndWhite(0, used);
    EXPECT_EQ(used, 0);
    for (int i = 0; i < 256 * 3; ++i)
        ASSERT_EQ(allWhite.bmp().scanLine(1)[i], 255);

    Engine allBlack(ramp);
    allBlack.fp.BlackAndWhite(256, used);
    EXPECT_EQ(used, 256);
    for (int i = 0; i < 256 * 3; ++i)
        ASSERT_EQ(allBlack.bmp().scanLine(2)[i], 0);

    // The sum of the three bytes against 3 × T.
    Bitmap two(2, 1, pf24bit);
    uint8_t px[6] = {100, 100, 100, 100, 100, 99};
    std::copy(px, px + 6, two.scanLine(0));
    Engine e(two);
    e.fp.BlackAndWhite(100, used);
    EXPECT_EQ(byteAt(e.bmp(), 0, 1), 255);
    EXPECT_EQ(byteAt(e.bmp(), 1, 1), 0);

    // Automatic: the midpoint of the levels found at 40 per cent.
    Engine automatic(ramp);
    int low = 0, high = 0;
    automatic.fp.FindLevels(low, high, 40, 1);
    automatic.fp.BlackAndWhite(-1, used);
    EXPECT_EQ(used, (low + high) / 2);
    EXPECT_EQ(automatic.log.events,
              (std::vector<std::string>{"Amend BlackAndWhite", "Amended BlackAndWhite"}));
}

TEST(Tone, FindLevelsOnUniformPicturesAndGuards) {
    for (int v : {0, 1, 77, 254, 255}) {
        SCOPED_TRACE(v);
        Engine e(uniform(5, 4, static_cast<uint8_t>(v), static_cast<uint8_t>(v),
                         static_cast<uint8_t>(v)));
        int low = -9, high = -9;
        e.fp.FindLevels(low, high, 10, 1);
        EXPECT_EQ(low, std::max(0, v - 1));
        EXPECT_EQ(high, std::min(255, v + 1));
        EXPECT_TRUE(e.log.events.empty());
        EXPECT_EQ(e.fp.Kind, "");
    }
    Engine e(makeRamp());
    int low = 0, high = 0;
    e.fp.FindLevels(low, high, 50, 1);
    EXPECT_EQ(low, 255);
    EXPECT_EQ(high, 0);
    e.fp.FindLevels(low, high, 10, 9);
    EXPECT_EQ(low, 255);
    EXPECT_EQ(high, 0);
    TFastPicture empty;
    empty.FindLevels(low, high, 10, 1);
    EXPECT_EQ(low, 255);
    EXPECT_EQ(high, 0);
}

TEST(Tone, FindLevelsWalksChannelsAndSamplesOnTheGrid) {
    // 100 pixels: blue 0 in 5 of them, 100 elsewhere; green and red 100 everywhere.
    Bitmap bmp = uniform(10, 10, 100, 100, 100);
    for (int x = 0; x < 5; ++x)
        bmp.scanLine(0)[3 * x] = 0;
    Engine e(bmp);
    int low = 0, high = 0;
    e.fp.FindLevels(low, high, 4, 1); // 5 % of blue at level 0 exceeds 4 %
    EXPECT_EQ(low, 0);
    e.fp.FindLevels(low, high, 5, 1); // not above 5 %: the walk reaches level 100
    EXPECT_EQ(low, 99);
    EXPECT_EQ(high, 101);
    // Step 2 samples columns 0, 2, 4 of row 0: 3 of 25 pixels (12 %).
    e.fp.FindLevels(low, high, 11, 2);
    EXPECT_EQ(low, 0);
    e.fp.FindLevels(low, high, 12, 2);
    EXPECT_EQ(low, 99);
}

TEST(Tone, SpreadAnchorsHighUpToTheGainTruncation) {
    Bitmap ramp = makeRamp();
    Engine e(ramp);
    e.fp.Spread(50, 200, 20, 230);
    EXPECT_EQ(e.log.events, (std::vector<std::string>{"Amend Spread", "Amend Linear",
                                                      "Amended Linear", "Amended Linear"}));
    EXPECT_TRUE(mappedBy(ramp, e.bmp(), engine::linearTable(140, -50)));
    EXPECT_EQ(engine::linearTable(140, -50)[200], 229);
}

TEST(Tone, AutomaticNestsKindsAndStretches) {
    // Levels 40..210 only: Automatic(0) stretches them onto 0..255.
    Bitmap bmp(171, 2, pf24bit);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 171; ++x)
            for (int c = 0; c < 3; ++c)
                bmp.scanLine(y)[3 * x + c] = static_cast<uint8_t>(40 + x);
    Engine e(bmp);
    e.fp.Automatic(0);
    EXPECT_EQ(e.log.events,
              (std::vector<std::string>{"Amend Automatic", "Amend Spread", "Amend Linear",
                                        "Amended Linear", "Amended Linear", "Amended Linear"}));
    EXPECT_EQ(e.fp.Kind, "Linear");
    // Each level holds 2 of 342 pixels, 0 per cent after truncation: the walks stop at the
    // second level from each end, giving 40 and 210; gain 255 * 100 div 170 = 150,
    // offset 255 - 210 * 150 div 100 = -60.
    EXPECT_TRUE(mappedBy(bmp, e.bmp(), engine::linearTable(150, -60)));

    // Two per cent black and two per cent white: levels 0 and 255, gain 100 offset 0,
    // and Linear skips its work.
    Bitmap wide = uniform(10, 10, 90, 120, 150);
    for (int x = 0; x < 2; ++x)
        for (int c = 0; c < 3; ++c) {
            wide.scanLine(0)[3 * x + c] = 0;
            wide.scanLine(9)[3 * x + c] = 255;
        }
    Engine full(wide);
    full.fp.Automatic(0);
    EXPECT_TRUE(pwtest::sameBitmap(full.bmp(), wide));
    EXPECT_EQ(full.log.events,
              (std::vector<std::string>{"Amend Automatic", "Amend Spread", "Amend Linear",
                                        "Amended Linear", "Amended Linear"}));

    // No bitmap: FindLevels refuses, Low > High, a single OnAmend.
    TFastPicture none;
    EventLog log(none);
    none.Automatic(5);
    EXPECT_EQ(log.events, std::vector<std::string>{"Amend Automatic"});
}

TEST(Tone, FrameFormatsAroundPointOperations) {
    Bitmap ramp = makeRamp();
    {
        SCOPED_TRACE("8-bit stays 8-bit on the halftone palette");
        Bitmap eight = ramp;
        eight.setPixelFormat(pf8bit);
        Engine e(eight);
        e.fp.Negative();
        EXPECT_EQ(e.bmp().pixelFormat(), pf8bit);
        EXPECT_EQ(e.bmp().palette(), Palette::halftone());
    }
    {
        SCOPED_TRACE("32-bit comes back 32-bit");
        Bitmap wide = ramp;
        wide.setPixelFormat(pf32bit);
        Engine e(wide);
        e.fp.Negative();
        ASSERT_EQ(e.bmp().pixelFormat(), pf32bit);
        EXPECT_EQ(e.bmp().scanLine(0)[0], 255);     // blue 0 negated
        EXPECT_EQ(e.bmp().scanLine(0)[4 + 1], 169); // green 86 negated
    }
    {
        SCOPED_TRACE("16-bit becomes 24-bit");
        Bitmap sixteen = ramp;
        sixteen.setPixelFormat(pf16bit);
        Engine e(sixteen);
        e.fp.Light(1);
        EXPECT_EQ(e.bmp().pixelFormat(), pf24bit);
    }
    for (PixelFormat f : {pf1bit, pf4bit}) {
        SCOPED_TRACE(static_cast<int>(f));
        Bitmap low = ramp;
        low.setPixelFormat(f);
        Engine e(low);
        e.fp.Negative();
        EXPECT_EQ(e.log.events, std::vector<std::string>{"Amend Negative"});
        EXPECT_TRUE(pwtest::sameBitmap(e.bmp(), low));
    }
    {
        SCOPED_TRACE("a device-dependent bitmap is restored as a 32-bit DIB");
        Bitmap device = ramp;
        device.setPixelFormat(pfDevice);
        Engine e(device);
        e.fp.Negative();
        EXPECT_EQ(e.bmp().pixelFormat(), pf32bit);
    }
}

TEST(Tone, ReduceChecksDepth) {
    Bitmap ramp = makeRamp();
    Bitmap eight = ramp;
    eight.setPixelFormat(pf8bit);
    Engine e8(eight);
    e8.fp.Reduce(0);
    EXPECT_EQ(e8.log.events, std::vector<std::string>{"Amend Reduce"});
    EXPECT_TRUE(pwtest::sameBitmap(e8.bmp(), eight));

    for (uint8_t method = 0; method <= 5; ++method) {
        SCOPED_TRACE(method);
        Engine e(ramp);
        e.fp.Reduce(method);
        EXPECT_EQ(e.log.events, (std::vector<std::string>{"Amend Reduce", "Amended Reduce"}));
        EXPECT_EQ(e.bmp().pixelFormat(), pf8bit);
        EXPECT_GT(e.bmp().palette().size(), 0);
        EXPECT_LE(e.bmp().palette().size(), 256);
        EXPECT_EQ(e.bmp().width(), 256);
    }
}

TEST(Tone, ThreadedRowsMatchTheSerialLoop) {
    const Bitmap picture = pwtest::makeTestBitmap(123, 77, 5);
    std::vector<std::function<void(TFastPicture&)>> ops = {
        [](TFastPicture& f) { f.Contrast(170); },
        [](TFastPicture& f) { f.GrayScale(); },
        [](TFastPicture& f) { f.Sepia(); },
        [](TFastPicture& f) {
            int used;
            f.BlackAndWhite(-1, used);
        },
        [](TFastPicture& f) { f.Automatic(3); },
    };
    const int saved = engine::threadCount();
    for (size_t i = 0; i < ops.size(); ++i) {
        SCOPED_TRACE(i);
        engine::setThreadCount(1);
        Engine serial(picture);
        ops[i](serial.fp);
        engine::setThreadCount(3);
        Engine threaded(picture);
        ops[i](threaded.fp);
        EXPECT_TRUE(pwtest::sameBitmap(serial.bmp(), threaded.bmp()));
    }
    engine::setThreadCount(saved);
}

TEST(Tone, ChannelCountsMatchAByteByByteCount) {
    // Rows of every width up to a few blocks of eight, every step, and a start that is
    // not word aligned: each sampled pixel counted once in its own channel.
    uint32_t seed = 11;
    std::vector<uint8_t> bytes(3 * 80 + 1);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    const uint8_t* row = bytes.data() + 1;
    for (int step = 1; step <= 8; ++step)
        for (int width = 0; width <= 80; ++width) {
            auto counts = std::make_unique<engine::ChannelCounts>();
            counts->countRow(row, width, step);
            counts->countRow(row, width, step); // counts add up across rows
            int64_t actual[3][256] = {};
            counts->addTo(actual);
            int64_t expect[3][256] = {};
            for (int x = 0; x < width; x += step)
                for (int c = 0; c < 3; ++c)
                    expect[c][row[3 * x + c]] += 2;
            for (int c = 0; c < 3; ++c)
                for (int v = 0; v < 256; ++v)
                    ASSERT_EQ(actual[c][v], expect[c][v])
                        << "step " << step << " width " << width << " channel " << c;
        }
}

TEST(Tone, ThreadedLevelCountingMatchesTheSerialOne) {
    // Tall enough for many row ranges; the dark rows sit in the first range and the light
    // ones in the last, so a range lost or counted twice moves the levels.
    Bitmap picture = pwtest::makeTestBitmap(37, 2000, 3);
    for (int y = 0; y < 2000; y += 1999)
        std::memset(picture.scanLine(y), y == 0 ? 0 : 255, 37 * 3);
    for (int y = 1; y < 200; ++y)
        std::memset(picture.scanLine(y), 2, 37 * 3);
    for (int y = 1800; y < 1999; ++y)
        std::memset(picture.scanLine(y), 250, 37 * 3);
    const int saved = engine::threadCount();
    for (int step : {1, 2, 3, 8})
        for (unsigned percent : {0u, 5u, 9u, 10u, 30u, 49u}) {
            SCOPED_TRACE(testing::Message() << "step " << step << " percent " << percent);
            int levels[2][2] = {};
            for (int t = 0; t < 2; ++t) {
                engine::setThreadCount(t == 0 ? 1 : 3);
                Engine e(picture);
                e.fp.FindLevels(levels[t][0], levels[t][1], percent, step);
            }
            EXPECT_EQ(levels[1][0], levels[0][0]);
            EXPECT_EQ(levels[1][1], levels[0][1]);
            if (step == 1 && percent == 9) {
                // A tenth of the rows (less the one black row) are at 2, a tenth at 250.
                EXPECT_EQ(levels[0][0], 1);
                EXPECT_EQ(levels[0][1], 251);
            }
        }
    engine::setThreadCount(saved);
}

TEST(RowDriver, CoversEveryRowOnceAndPassesErrorsOn) {
    const int saved = engine::threadCount();
    for (int threads : {1, 2, 5}) {
        engine::setThreadCount(threads);
        for (int rows : {0, 1, 15, 16, 17, 100, 1001}) {
            std::vector<int> hits(static_cast<size_t>(rows), 0);
            engine::forEachRowRange(
                rows,
                [&](int y0, int y1) {
                    for (int y = y0; y < y1; ++y)
                        ++hits[static_cast<size_t>(y)];
                },
                4);
            for (int h : hits)
                ASSERT_EQ(h, 1) << threads << " threads, " << rows << " rows";
        }
        EXPECT_THROW(engine::forEachRowRange(
                         64,
                         [](int, int y1) {
                             if (y1 == 64) throw std::runtime_error("x");
                         },
                         4),
                     std::runtime_error);
    }
    engine::setThreadCount(saved);
}

TEST(Tone, ApplyToneFromBaseMatchesTheFourOperations) {
    const Bitmap picture = pwtest::makeTestBitmap(67, 31, 9);
    struct Args {
        int delta;
        long double gamma;
        int contrast, bright;
    };
    const Args argsList[] = {{20, 1.7L, 130, 90},
                             {0, 1.0L, 100, 100},
                             {-40, 1.0L, 60, 100},
                             {0, 0.4L, 100, 250},
                             {300, 1.0L, 100, 100}};
    for (PixelFormat format : {pf24bit, pf32bit, pf16bit, pf8bit, pfDevice, pf4bit}) {
        Bitmap base = picture;
        base.setPixelFormat(format);
        for (const Args& a : argsList) {
            SCOPED_TRACE(testing::Message() << "format " << int(format) << " delta " << a.delta
                                            << " contrast " << a.contrast);
            TFastPicture one;
            EventLog oneLog(one);
            one.picture().assign(&base);
            one.Light(a.delta);
            one.Gamma(a.gamma);
            one.Contrast(a.contrast);
            one.Bright(a.bright);

            TFastPicture composed;
            EventLog composedLog(composed);
            // A held picture of the result's size, so that its buffer is reused.
            Bitmap previous = picture;
            composed.picture().assign(&previous);
            composed.ApplyToneFromBase(base, a.delta, a.gamma, a.contrast, a.bright);
            EXPECT_EQ(composedLog.events, oneLog.events);
            EXPECT_EQ(composed.Kind, "Bright");
            ASSERT_NE(composed.picture().as<Bitmap>(), nullptr);
            EXPECT_TRUE(pwtest::sameBitmap(held(composed), held(one)));
        }
    }
    // The base may be the held picture itself.
    TFastPicture self;
    self.picture().assign(&picture);
    self.ApplyToneFromBase(*self.picture().graphic(), 10, 1.0L, 100, 100);
    EXPECT_TRUE(mappedBy(picture, held(self), engine::lightTable(10)));
}

TEST(Tone, VectorKernelsMatchThePortableOnes) {
    // Rows of every length up to a few vector widths, with random bytes and every
    // threshold, against the portable kernels.
    uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<uint8_t>(seed >> 24);
    };
    const engine::ToneTable table = engine::gammaTable(0.7L);
    for (size_t pixels = 0; pixels <= 70; ++pixels) {
        SCOPED_TRACE(pixels);
        std::vector<uint8_t> row(pixels * 3 + 1);
        for (auto& b : row)
            b = next();
        auto expect = row, actual = row;
        engine::portable::lookupRow(row.data(), expect.data(), pixels * 3, table.data());
        engine::lookupRow(row.data(), actual.data(), pixels * 3, table);
        ASSERT_EQ(actual, expect);

        expect = actual = row;
        engine::portable::grayRow(expect.data(), pixels);
        engine::grayRow(actual.data(), pixels);
        ASSERT_EQ(actual, expect);

        expect = actual = row;
        engine::portable::sepiaRow(expect.data(), pixels);
        engine::sepiaRow(actual.data(), pixels);
        ASSERT_EQ(actual, expect);

        for (int t : {0, 1, 85, 128, 255, 256}) {
            expect = actual = row;
            engine::portable::thresholdRow(expect.data(), pixels, 3 * t);
            engine::thresholdRow(actual.data(), pixels, 3 * t);
            ASSERT_EQ(actual, expect) << "threshold " << t;
        }
    }
    // Every byte value through the look-up, and the extremes of the luminance.
    std::vector<uint8_t> all(256 * 4);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> out(all.size());
    engine::lookupRow(all.data(), out.data(), all.size(), table);
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(out[i], table[all[i]]);
    std::vector<uint8_t> white(16 * 3, 255);
    engine::sepiaRow(white.data(), 16);
    EXPECT_EQ(white[45], 153);
    EXPECT_EQ(white[46], 211);
    EXPECT_EQ(white[47], 254);
}
