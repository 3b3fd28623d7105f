#include <algorithm>
#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QThread>

#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "formats/GIFImage.h"
#include "formats/GIFPainter.h"
#include "formats/GIFReduce.h"
#include "formats/Jpeg.h"
#include "support/TestSupport.h"

using fmtest::shellQuote;

namespace {

int webSafeIndex(int r, int g, int b) {
    auto level = [](int c) {
        return c < 48 ? 0 : c < 99 ? 1 : c < 150 ? 2 : c < 201 ? 3 : c < 252 ? 4 : 5;
    };
    return level(r) * 36 + level(g) * 6 + level(b);
}

Bitmap solid(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    Bitmap bmp(w, h, pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bmp.scanLine(y)[3 * x] = b;
            bmp.scanLine(y)[3 * x + 1] = g;
            bmp.scanLine(y)[3 * x + 2] = r;
        }
    return bmp;
}

// An animation of n frames of 4 × 3, each with a graphic control extension of the given
// delay, and a loop extension with the given count on the first (no loop extension when
// loops < 0).
TGIFImage animation(int n, int delay, int loops) {
    TGIFImage gif;
    for (int i = 0; i < n; ++i) {
        auto f = std::make_unique<TGIFSubImage>(&gif);
        f->Width = 4;
        f->Height = 3;
        f->ColorMap.Colors = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 0, 255}};
        f->Data.assign(12, static_cast<uint8_t>(i % 4));
        if (i == 0 && loops >= 0) {
            auto loop = std::make_unique<TGIFAppExtNSLoop>();
            loop->Loops = static_cast<uint16_t>(loops);
            f->Extensions.push_back(std::move(loop));
        }
        if (delay >= 0) {
            auto gce = std::make_unique<TGIFGraphicControlExtension>();
            gce->Delay = static_cast<uint16_t>(delay);
            f->Extensions.push_back(std::move(gce));
        }
        gif.Images.push_back(std::move(f));
    }
    gif.growScreen(false);
    return gif;
}

} // namespace

TEST(GifFrame, SavedBitmapIsWebSafe87aWithOneFrame) {
    Bitmap bmp = pwtest::makeTestBitmap(61, 43, 11);
    TGIFImage gif;
    gif.assign(bmp);
    ASSERT_EQ(gif.Images.size(), 1u);
    auto bytes = gif.saveToBytes();
    ASSERT_GT(bytes.size(), 13u + 10u + 768u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF87a");
    EXPECT_EQ(bytes[6] | (bytes[7] << 8), 61);
    EXPECT_EQ(bytes[8] | (bytes[9] << 8), 43);
    EXPECT_EQ(bytes[10] & 0x80, 0) << "no global table";
    const uint8_t* d = bytes.data() + 13;
    EXPECT_EQ(d[0], ',');
    EXPECT_EQ(d[1] | d[2] | d[3] | d[4], 0) << "frame at (0, 0)";
    EXPECT_EQ(d[9] & 0x87, 0x87) << "a local table of 256 entries";
    EXPECT_EQ(d[9] & 0x40, 0) << "not interlaced";
    const uint8_t* table = d + 10;
    for (int i = 0; i < 256; ++i) {
        int r = i < 216 ? 51 * (i / 36) : 0, g = i < 216 ? 51 * (i / 6 % 6) : 0,
            b = i < 216 ? 51 * (i % 6) : 0;
        ASSERT_EQ(table[3 * i], r) << i;
        ASSERT_EQ(table[3 * i + 1], g) << i;
        ASSERT_EQ(table[3 * i + 2], b) << i;
    }
    EXPECT_EQ(table[768], 8) << "minimum code size";

    // Independent readers decode the web-safe mapping of every pixel.
    std::vector<uint8_t> expected;
    for (int y = 0; y < 43; ++y)
        for (int x = 0; x < 61; ++x) {
            const uint8_t* p = bmp.scanLine(y) + 3 * x;
            int i = webSafeIndex(p[2], p[1], p[0]);
            expected.insert(expected.end(), {uint8_t(51 * (i / 36)), uint8_t(51 * (i / 6 % 6)),
                                             uint8_t(51 * (i % 6))});
        }
    pwtest::TempDir dir;
    auto file = dir / "web.gif";
    pwtest::writeFile(file, bytes);
    if (fmtest::haveTool("convert")) {
        std::string rgb;
        ASSERT_EQ(fmtest::run("convert " + shellQuote(file) + " -depth 8 rgb:-", &rgb), 0);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rgb.begin(), rgb.end(),
                               [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
            << "ImageMagick decodes other pixels";
    }
    if (fmtest::havePillow()) {
        std::string hex;
        ASSERT_EQ(fmtest::run("/usr/bin/python3 -c \"from PIL import Image; "
                              "print(Image.open(" +
                                  shellQuote(file) + ").convert('RGB').tobytes().hex())\"",
                              &hex),
                  0);
        std::string want;
        static const char* digits = "0123456789abcdef";
        for (uint8_t v : expected) {
            want += digits[v >> 4];
            want += digits[v & 15];
        }
        EXPECT_EQ(hex.substr(0, want.size()), want) << "Pillow decodes other pixels";
    }
    if (fmtest::haveTool("giftext")) {
        std::string text;
        EXPECT_EQ(fmtest::run("giftext " + shellQuote(file) + " 2>&1", &text), 0);
        EXPECT_NE(text.find("Width = 61, Height = 43"), std::string::npos) << text;
        EXPECT_NE(text.find("GIF file terminated normally"), std::string::npos) << text;
    }
}

TEST(GifFrame, WebSafeRuleAndCommonPixel) {
    Bitmap bmp = solid(1, 1, 47, 48, 255);
    Bitmap r = ReduceColors(bmp, 6, 0, 8);
    EXPECT_EQ(r.scanLine(0)[0], 11);
    EXPECT_EQ(r.palette()[11], (Rgb{0, 51, 255}));
    // Every channel value, through the general search too.
    ColorSearch search(6, webSafePalette());
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(search.find(c, 0, 0), webSafeIndex(c, 0, 0)) << c;
        Bitmap one = solid(1, 1, static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c),
                           static_cast<uint8_t>(c / 2));
        EXPECT_EQ(ReduceColors(one, 6, 0, 8).scanLine(0)[0], webSafeIndex(c, 255 - c, c / 2)) << c;
    }
}

TEST(GifFrame, FloydSteinbergDiffusesInSerpentineOrder) {
    // Grey 40 rounds down to black on its own; the diffused error lifts the middle pixel
    // of the first row to (51, 51, 51) = entry 43, then the second row, scanned right to
    // left, turns grey throughout.
    Bitmap r = ReduceColors(solid(3, 2, 40, 40, 40), 6, 1, 8);
    EXPECT_EQ(r.scanLine(0)[0], 0);
    EXPECT_EQ(r.scanLine(0)[1], 43);
    EXPECT_EQ(r.scanLine(0)[2], 0);
    EXPECT_EQ(r.scanLine(1)[0], 43);
    EXPECT_EQ(r.scanLine(1)[1], 43);
    EXPECT_EQ(r.scanLine(1)[2], 43);
    // Direction matters: a row of 30 followed by a row of 20 scanned the other way.
    Bitmap two(2, 2, pf24bit);
    const uint8_t v[2][2] = {{30, 30}, {20, 25}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            std::fill_n(two.scanLine(y) + 3 * x, 3, v[y][x]);
    Bitmap d = ReduceColors(two, 6, 1, 8);
    // Row 0: 30 -> 0 (e 30, 210/16 ahead); 30 + 13 = 43 -> 0 (e 43).
    // Row 1 right to left: x1 = 25 + (30 * 1 + 43 * 5 + 8) / 16 = 25 + 15 = 40 -> 0, e 40;
    // x0 = 20 + (30 * 5 + 43 * 3 + 40 * 7 + 8) / 16 = 20 + 35 = 55 -> entry 43.
    EXPECT_EQ(d.scanLine(1)[1], 0);
    EXPECT_EQ(d.scanLine(1)[0], 43);
}

TEST(GifFrame, EveryMethodAndDithererGivesIndicesInsideItsPalette) {
    Bitmap bmp = pwtest::makeTestBitmap(40, 30, 3);
    Palette custom({{10, 20, 30}, {200, 100, 50}, {255, 255, 255}});
    for (int method = 1; method <= 9; ++method)
        for (int kind = 0; kind <= 6; ++kind) {
            SCOPED_TRACE(testing::Message() << "method " << method << " kind " << kind);
            Bitmap r = ReduceColors(bmp, method, kind, 4, custom);
            ASSERT_FALSE(r.empty());
            ASSERT_GT(r.palette().size(), 0);
            for (int y = 0; y < r.height(); ++y)
                for (int x = 0; x < r.width(); ++x)
                    ASSERT_LT(r.scanLine(y)[x], r.palette().size());
        }
    EXPECT_TRUE(ReduceColors(bmp, 10, 0, 8).empty());
    EXPECT_TRUE(ReduceColors(bmp, 6, 7, 8).empty());
    EXPECT_LE(ReduceColors(bmp, 7, 0, 4).palette().size(), 16);
}

TEST(GifFrame, PaletteBitmapsAreKeptAndMasksAddTransparency) {
    Bitmap eight(5, 4, pf8bit);
    std::vector<Rgb> pal(256);
    for (int i = 0; i < 256; ++i)
        pal[size_t(i)] = {uint8_t(i), uint8_t(i / 2), uint8_t(255 - i)};
    eight.setPalette(Palette(pal));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x)
            eight.scanLine(y)[x] = static_cast<uint8_t>(y * 5 + x + 100);
    TGIFImage gif;
    gif.assign(eight);
    auto& f = *gif.Images[0];
    EXPECT_EQ(f.ColorMap.toPalette(), eight.palette());
    EXPECT_EQ(f.Data[7], 107);
    EXPECT_TRUE(pwtest::sameBitmap(f.bitmap(), eight));

    // A mask: the table is sorted by use (unused entries dropped), a black transparent
    // entry appended.
    std::vector<uint8_t> mask(20, 0);
    mask[0] = mask[19] = 1;
    f.applyMask(mask);
    EXPECT_TRUE(f.Transparent);
    EXPECT_TRUE(f.ColorMap.Sorted);
    EXPECT_EQ(f.ColorMap.count(), 21) << "the 20 used colours and the transparent one";
    ASSERT_NE(f.GraphicControlExtension, nullptr);
    EXPECT_EQ(f.transparentIndex(), 20);
    EXPECT_EQ(f.Data[0], 20);
    EXPECT_EQ(f.Data[19], 20);
    for (int i = 1; i < 19; ++i)
        EXPECT_EQ(f.ColorMap.Colors[f.Data[size_t(i)]], pal[size_t(100 + i)]);

    // All 256 entries in use: no room for a transparent index.
    Bitmap full(16, 16, pf8bit);
    full.setPalette(Palette(pal));
    for (int i = 0; i < 256; ++i)
        full.scanLine(i / 16)[i % 16] = static_cast<uint8_t>(i);
    TGIFImage g2;
    g2.assign(full);
    g2.Images[0]->applyMask(std::vector<uint8_t>(256, 1));
    EXPECT_FALSE(g2.Images[0]->Transparent);
    EXPECT_TRUE(g2.Images[0]->Extensions.empty());

    // An empty bitmap gives an empty image.
    TGIFImage g3;
    g3.assign(Bitmap());
    EXPECT_TRUE(g3.empty());
}

TEST(GifFrame, TwentyFourBitFramesAndOverflow) {
    TGIFImage gif;
    gif.ReductionMethod = 0;
    Bitmap few = solid(3, 2, 1, 2, 3);
    few.scanLine(1)[0] = 99;
    gif.assign(few);
    auto& f = *gif.Images[0];
    EXPECT_EQ(f.ColorMap.count(), 2);
    EXPECT_EQ(f.ColorMap.Colors[0], (Rgb{1, 2, 3}));
    EXPECT_EQ(f.Data[3], 1);
    try {
        gif.assign(pwtest::makeTestBitmap(64, 64));
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), "Color table overflow");
    }
}

TEST(GifFrame, RenderedBitmapOfImage) {
    TGIFImage gif = animation(1, -1, -1);
    Bitmap whole;
    gif.assignTo(whole);
    EXPECT_EQ(whole.pixelFormat(), pf8bit);
    EXPECT_TRUE(pwtest::sameBitmap(whole, gif.Images[0]->bitmap()));

    // A smaller first frame lands at its position on the screen.
    TGIFImage small = animation(1, -1, -1);
    small.Images[0]->Left = 2;
    small.Images[0]->Top = 1;
    small.Images[0]->Data.assign(12, 2);
    small.Header.Width = 10;
    small.Header.Height = 6;
    small.Header.ColorMap.Colors = small.Images[0]->ColorMap.Colors;
    small.Images[0]->ColorMap.clear();
    const Bitmap& r = small.bitmap();
    ASSERT_EQ(r.width(), 10);
    ASSERT_EQ(r.height(), 6);
    EXPECT_EQ(r.pixelColor(2, 1), RGBColor(255, 0, 0));
    EXPECT_EQ(r.pixelColor(5, 3), RGBColor(255, 0, 0));
    EXPECT_EQ(r.pixelColor(1, 1), RGBColor(0, 0, 0));
    EXPECT_EQ(r.pixelColor(6, 1), RGBColor(0, 0, 0));
}

TEST(GifFrame, JpegAndOtherGraphicsBecomeFrames) {
    TJPEGImage jpeg;
    jpeg.assign(pwtest::makeTestBitmap(20, 12));
    jpeg.loadFromBytes(jpeg.saveToBytes());
    TGIFImage gif;
    gif.assign(jpeg);
    ASSERT_EQ(gif.Images.size(), 1u);
    EXPECT_EQ(gif.width(), 20);
    EXPECT_EQ(gif.Images[0]->ColorMap.count(), 216);

    TGIFImage copy;
    copy.assign(gif);
    EXPECT_EQ(copy.Images[0]->Data, gif.Images[0]->Data);
    EXPECT_EQ(copy.Images[0]->Image, &copy);
}

TEST(GifFrame, DrawingSingleFrameRespectsTransparency) {
    TGIFImage gif = animation(1, -1, -1);
    auto& f = *gif.Images[0];
    f.Data = {0, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    auto gce = std::make_unique<TGIFGraphicControlExtension>();
    gce->setTransparent(true);
    gce->TransparentColorIndex = 0;
    f.GraphicControlExtension = gce.get();
    f.Extensions.push_back(std::move(gce));
    f.Transparent = true;
    f.invalidate();
    QImage canvas(4, 3, QImage::Format_RGB32);
    canvas.fill(qRgb(9, 99, 199));
    {
        QPainter p(&canvas);
        gif.paint(p, QRectF(0, 0, 4, 3));
    }
    EXPECT_EQ(canvas.pixel(0, 0), qRgb(9, 99, 199));
    EXPECT_EQ(canvas.pixel(1, 0), qRgb(255, 255, 255));
    EXPECT_EQ(canvas.pixel(0, 1), qRgb(255, 0, 0));
}

// ----- the animation painter -----

TEST(GifPainter, LoopCountAndDelays) {
    TGIFImage gif = animation(3, 1, 3);
    gif.PaintOptions &= static_cast<uint16_t>(~1); // on this thread
    gif.PlaySpeed = 100000;
    int paints = 0, loops = 0, ends = 0;
    std::vector<int> delays;
    gif.OnAfterPaint = [&](TGIFPainter& p) {
        ++paints;
        delays.push_back(p.Delay);
    };
    gif.OnLoop = [&](TGIFPainter&) { ++loops; };
    gif.OnEndPaint = [&](TGIFPainter& p) {
        ++ends;
        EXPECT_EQ(p.ActiveImage, -1);
    };
    TGIFPainter painter(gif, gif.PaintOptions & static_cast<uint16_t>(~1));
    painter.start();
    EXPECT_EQ(paints, 9) << "three frames, three passes";
    EXPECT_EQ(loops, 2);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(painter.running());
    EXPECT_TRUE(std::all_of(delays.begin(), delays.end(), [](int d) { return d == 3; }));

    TGIFImage plain = animation(2, -1, -1);
    std::vector<int> plainDelays;
    plain.OnAfterPaint = [&](TGIFPainter& p) { plainDelays.push_back(p.Delay); };
    plain.PlaySpeed = 100000;
    TGIFPainter once(plain, plain.PaintOptions & static_cast<uint16_t>(~1));
    once.start();
    EXPECT_EQ(plainDelays, (std::vector<int>{10, 10})) << "no loop extension: one pass";
}

TEST(GifPainter, DisposalRestoresBackground) {
    TGIFImage gif = animation(2, 1, -1);
    gif.BackdropColor = RGBColor(1, 2, 3);
    gif.Images[0]->GraphicControlExtension =
        dynamic_cast<TGIFGraphicControlExtension*>(gif.Images[0]->Extensions[0].get());
    gif.Images[0]->GraphicControlExtension->setDisposal(2);
    gif.Images[1]->Width = 2;
    gif.Images[1]->Data.assign(6, 3);
    gif.PlaySpeed = 100000;
    std::vector<uint32_t> seen;
    gif.OnAfterPaint = [&](TGIFPainter& p) { seen.push_back(p.target().pixelColor(3, 0)); };
    TGIFPainter painter(gif, gif.PaintOptions & static_cast<uint16_t>(~1));
    painter.start();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], RGBColor(0, 0, 0)) << "frame 0 paints index 0";
    EXPECT_EQ(seen[1], RGBColor(1, 2, 3)) << "disposal 2 restored the background";
}

TEST(GifPainter, ThreadedPainterLoopsForEverUntilStopped) {
    TGIFImage gif = animation(2, 3, 0);
    gif.PlaySpeed = 1000; // 3.6 ms a frame
    int paints = 0;
    bool offUiThread = false;
    gif.OnPaint = [&](TGIFPainter&) {
        ++paints;
        offUiThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
    };
    auto painter = std::make_unique<TGIFPainter>(gif, gif.PaintOptions);
    painter->start();
    EXPECT_EQ(paints, 1) << "the first frame is painted at once";
    EXPECT_TRUE(gif.hasRunningPainter());
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (paints < 8 && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_GE(paints, 8) << "a loop count of 0 plays for ever";
    gif.stopPainters();
    EXPECT_FALSE(gif.hasRunningPainter());
    int after = paints;
    QCoreApplication::processEvents();
    EXPECT_EQ(paints, after);
    EXPECT_FALSE(offUiThread) << "paint steps run on the user-interface thread";
    painter.reset();
    gif.clear();
    EXPECT_TRUE(gif.empty());
}

TEST(GifPainter, DrawingIntoABitmapNeverWaitsOutTheDelays) {
    // Ten thousand frames of the longest delay would play for days; drawing into an
    // image composes the first frame at once and leaves no painter running.
    TGIFImage gif = animation(10000, 65535, 0);
    gif.Images[1]->Data.assign(12, 2);
    for (uint16_t options : {gif.PaintOptions, static_cast<uint16_t>(gif.PaintOptions & ~1)}) {
        SCOPED_TRACE(options);
        gif.PaintOptions = options;
        int paints = 0;
        gif.OnPaint = [&](TGIFPainter&) { ++paints; };
        QImage canvas(4, 3, QImage::Format_RGB32);
        canvas.fill(qRgb(1, 2, 3));
        const auto start = std::chrono::steady_clock::now();
        {
            QPainter p(&canvas);
            gif.paint(p, QRectF(0, 0, 4, 3));
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(paints, 1);
        EXPECT_FALSE(gif.hasRunningPainter());
        EXPECT_EQ(canvas.pixel(0, 0), qRgb(0, 0, 0)) << "the first frame, not a later one";
    }
}
