// Bitmap files built byte by byte: header variants, run-length codes, bit fields, and
// malformed files that must be refused without harm.
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

struct BmpLayout {
    uint32_t headerSize = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    std::vector<Rgb> palette;
    std::vector<uint32_t> masks; // after a 40-byte header, or inside a longer one
    std::vector<uint8_t> pixels;
    int64_t offBitsDelta = 0; // added to the correct pixel offset
};

BmpLayout layout(int32_t width, int32_t height, uint16_t bitCount, uint32_t compression = 0,
                 std::vector<Rgb> palette = {}) {
    BmpLayout s;
    s.width = width;
    s.height = height;
    s.bitCount = bitCount;
    s.compression = compression;
    s.palette = std::move(palette);
    return s;
}

std::vector<uint8_t> buildBmp(const BmpLayout& s) {
    std::vector<uint8_t> dib;
    if (s.headerSize == 12) {
        put32(dib, 12);
        put16(dib, uint32_t(s.width));
        put16(dib, uint32_t(s.height));
        put16(dib, 1);
        put16(dib, s.bitCount);
    } else {
        put32(dib, s.headerSize);
        put32(dib, uint32_t(s.width));
        put32(dib, uint32_t(s.height));
        put16(dib, 1);
        put16(dib, s.bitCount);
        put32(dib, s.compression);
        put32(dib, uint32_t(s.pixels.size()));
        put32(dib, 2835);
        put32(dib, 2835);
        put32(dib, uint32_t(s.palette.size()));
        put32(dib, 0);
        size_t m = 0;
        while (dib.size() < s.headerSize) {
            if (s.headerSize >= 52 && dib.size() >= 40 && m < s.masks.size() && dib.size() < 56)
                put32(dib, s.masks[m++]);
            else
                dib.push_back(0);
        }
        if (s.headerSize == 40)
            for (uint32_t mask : s.masks)
                put32(dib, mask);
    }
    for (const Rgb& c : s.palette) {
        dib.push_back(c.b);
        dib.push_back(c.g);
        dib.push_back(c.r);
        if (s.headerSize != 12) dib.push_back(0);
    }
    std::vector<uint8_t> file = {'B', 'M'};
    put32(file, uint32_t(14 + dib.size() + s.pixels.size()));
    put32(file, 0);
    put32(file, uint32_t(int64_t(14 + dib.size()) + s.offBitsDelta));
    file.insert(file.end(), dib.begin(), dib.end());
    file.insert(file.end(), s.pixels.begin(), s.pixels.end());
    return file;
}

Bitmap load(const std::vector<uint8_t>& bytes) {
    Bitmap bmp;
    bmp.loadFromBytes(bytes);
    return bmp;
}

std::string refusal(const std::vector<uint8_t>& bytes) {
    try {
        load(bytes);
    } catch (const EInvalidGraphic& e) {
        return e.what();
    }
    return "";
}

// Rows of colours as 0x00BBGGRR, top row first.
::testing::AssertionResult hasPixels(const Bitmap& bmp,
                                     const std::vector<std::vector<uint32_t>>& rows) {
    if (bmp.height() != int(rows.size()))
        return ::testing::AssertionFailure() << "height " << bmp.height();
    for (int y = 0; y < bmp.height(); ++y) {
        if (bmp.width() != int(rows[size_t(y)].size()))
            return ::testing::AssertionFailure() << "width " << bmp.width();
        for (int x = 0; x < bmp.width(); ++x)
            if (bmp.pixelColor(x, y) != rows[size_t(y)][size_t(x)])
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << ": " << std::hex << bmp.pixelColor(x, y)
                       << " want " << rows[size_t(y)][size_t(x)];
    }
    return ::testing::AssertionSuccess();
}

const std::vector<Rgb> kPal = {{0, 0, 0},     {255, 0, 0}, {0, 255, 0}, {0, 0, 255},
                               {255, 255, 0}, {9, 9, 9},   {0, 0, 0},   {1, 1, 1},
                               {2, 2, 2},     {3, 3, 3},   {4, 4, 4},   {5, 5, 5}};
constexpr uint32_t K = 0, R = 0x0000FF, G = 0x00FF00, B = 0xFF0000, Y = 0x00FFFF, N = 0x090909;

bool haveMagick() {
    return pwtest::haveTool("convert");
}

// ImageMagick's reading of a file, as 0x00BBGGRR rows.
std::vector<std::vector<uint32_t>> magickPixels(const std::vector<uint8_t>& bytes, int w, int h) {
    pwtest::TempDir dir;
    pwtest::writeFile(dir / "in.bmp", bytes);
    std::string cmd = "convert '" + (dir / "in.bmp").string() + "' -depth 8 rgb:'" +
                      (dir / "out.rgb").string() + "' >/dev/null 2>&1";
    [[maybe_unused]] int rc = std::system(cmd.c_str()); // warns about short files, still writes
    auto rgb = pwtest::readFile(dir / "out.rgb");
    auto rows = std::vector<std::vector<uint32_t>>(size_t(h), std::vector<uint32_t>(size_t(w)));
    if (rgb.size() != size_t(w * h * 3)) return {};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[size_t((y * w + x) * 3)];
            rows[size_t(y)][size_t(x)] = RGBColor(p[0], p[1], p[2]);
        }
    return rows;
}

} // namespace

TEST(Bmp, RunLengthCodesWithDeltasAndLineEnds) {
    // Rows from the bottom: a run, end of line; an absolute run (padded), a delta of one
    // right and one up; a run past the right edge, end of line; a full run; end of bitmap.
    BmpLayout rle8 = layout(6, 4, 8, 1, kPal);
    rle8.pixels = {3, 1, 0, 0, 0, 3, 2, 3, 4, 0, 0, 2, 1, 1, 4, 5, 0, 0, 6, 3, 0, 1};
    Bitmap b8 = load(buildBmp(rle8));
    EXPECT_EQ(b8.pixelFormat(), pf8bit);
    const std::vector<std::vector<uint32_t>> want8 = {
        {B, B, B, B, B, B}, {K, K, K, K, N, N}, {G, B, Y, K, K, K}, {R, R, R, K, K, K}};
    EXPECT_TRUE(hasPixels(b8, want8));

    BmpLayout rle4 = layout(7, 4, 4, 2, kPal);
    rle4.pixels = {5, 0x12, 0, 0, 0,    5, 0x34, 0x51, 0x20, 0, 0,
                   2, 1,    1, 3, 0xAB, 0, 0,    6,    0x77, 0, 1};
    Bitmap b4 = load(buildBmp(rle4));
    EXPECT_EQ(b4.pixelFormat(), pf4bit);
    const uint32_t g1 = 0x010101, g4 = 0x040404;
    const std::vector<std::vector<uint32_t>> want4 = {{g1, g1, g1, g1, g1, g1, K},
                                                      {K, K, K, K, K, K, g4},
                                                      {B, Y, N, R, G, K, K},
                                                      {R, G, R, G, R, K, K}};
    EXPECT_TRUE(hasPixels(b4, want4));

    // ImageMagick reads these codes the same way. (Pillow does not follow deltas.)
    if (haveMagick()) {
        EXPECT_EQ(magickPixels(buildBmp(rle8), 6, 4), want8);
        EXPECT_EQ(magickPixels(buildBmp(rle4), 7, 4), want4);
    }
}

TEST(Bmp, TruncatedRunLengthDataKeepsWhatWasRead) {
    BmpLayout rle8 = layout(3, 3, 8, 1, kPal);
    rle8.pixels = {3, 1, 0, 0, 2, 2, 0}; // ends inside the second row's codes
    EXPECT_TRUE(hasPixels(load(buildBmp(rle8)), {{K, K, K}, {G, G, K}, {R, R, R}}));
    // A delta that leaves the picture ends it; an absolute run cut by the end of data stops.
    rle8.pixels = {1, 3, 0, 2, 0, 200, 1, 4};
    EXPECT_TRUE(hasPixels(load(buildBmp(rle8)), {{K, K, K}, {K, K, K}, {B, K, K}}));
    rle8.pixels = {0, 9, 1, 2};
    EXPECT_TRUE(hasPixels(load(buildBmp(rle8)), {{K, K, K}, {K, K, K}, {R, G, K}}));
}

TEST(Bmp, TopDownAndBottomUpRows) {
    // 2 × 2, 24 bits: file rows are padded to 8 bytes.
    BmpLayout s = layout(2, -2, 24, 0);
    s.pixels = {255, 0, 0, 0, 255, 0, 0, 0, /**/ 0, 0, 255, 255, 255, 255, 0, 0};
    EXPECT_TRUE(hasPixels(load(buildBmp(s)), {{B, G}, {R, 0xFFFFFF}}));
    if (haveMagick()) {
        EXPECT_EQ(magickPixels(buildBmp(s), 2, 2),
                  (std::vector<std::vector<uint32_t>>{{B, G}, {R, 0xFFFFFF}}));
    }
    s.height = 2;
    EXPECT_TRUE(hasPixels(load(buildBmp(s)), {{R, 0xFFFFFF}, {B, G}}));
    // The last row may come without its padding.
    s.pixels.resize(s.pixels.size() - 2);
    EXPECT_TRUE(hasPixels(load(buildBmp(s)), {{R, 0xFFFFFF}, {B, G}}));
    // Anything shorter is refused.
    s.pixels.resize(s.pixels.size() - 1);
    EXPECT_NE(refusal(buildBmp(s)).find("途中で切れて"), std::string::npos);
}

TEST(Bmp, HeaderVariantsAndBitFields) {
    // OS/2 core header with a 3-byte colour table, 1 bit per pixel, 9 pixels wide.
    BmpLayout core = layout(9, 1, 1, 0, {{10, 20, 30}, {40, 50, 60}});
    core.headerSize = 12;
    core.pixels = {0xA5, 0x80, 0, 0};
    Bitmap b1 = load(buildBmp(core));
    EXPECT_EQ(b1.pixelFormat(), pf1bit);
    const uint32_t a = RGBColor(10, 20, 30), c = RGBColor(40, 50, 60);
    EXPECT_TRUE(hasPixels(b1, {{c, a, c, a, a, c, a, c, c}}));

    // OS/2 2.x header (64 bytes), 8 bits; the colour table has fewer entries than 256.
    BmpLayout os2 = layout(2, 1, 8, 0, kPal);
    os2.headerSize = 64;
    os2.pixels = {4, 5, 0, 0};
    EXPECT_TRUE(hasPixels(load(buildBmp(os2)), {{Y, N}}));

    // 16 bits with 4-4-4 masks after an INFO header: widened to 24 bits.
    BmpLayout f16 = layout(1, 1, 16, 3);
    f16.masks = {0x0F00, 0x00F0, 0x000F};
    f16.pixels = {0x5F, 0x0A, 0, 0}; // r = 0xA, g = 0x5, b = 0xF
    Bitmap b16 = load(buildBmp(f16));
    EXPECT_EQ(b16.pixelFormat(), pf24bit);
    EXPECT_EQ(b16.pixelColor(0, 0), RGBColor(0xAA, 0x55, 0xFF));

    // V4 header, 16-bit 5-6-5 masks inside the header: kept as 16 bits.
    BmpLayout v4 = layout(1, 1, 16, 3);
    v4.headerSize = 108;
    v4.masks = {0xF800, 0x07E0, 0x001F};
    v4.pixels = {0x1F, 0xF8, 0, 0};
    Bitmap b565 = load(buildBmp(v4));
    EXPECT_EQ(b565.pixelFormat(), pf16bit);
    EXPECT_EQ(b565.pixelColor(0, 0), RGBColor(255, 0, 255));

    // V5 header, 32 bits with red and blue swapped by the masks, and an alpha mask.
    BmpLayout v5 = layout(1, 1, 32, 3);
    v5.headerSize = 124;
    v5.masks = {0xFF, 0xFF00, 0xFF0000};
    v5.pixels = {0x11, 0x22, 0x33, 0x44};
    Bitmap b32 = load(buildBmp(v5));
    EXPECT_EQ(b32.pixelFormat(), pf32bit);
    EXPECT_EQ(b32.pixelColor(0, 0), RGBColor(0x11, 0x22, 0x33));
    EXPECT_EQ(b32.scanLine(0)[3], 255);

    // A V5 header with BI_RGB ignores whatever stands in its mask fields; the fourth byte
    // is kept as the file brought it, and painting goes through an opaque copy.
    v5.compression = 0;
    v5.masks = {1, 2, 4};
    Bitmap rgb32 = load(buildBmp(v5));
    EXPECT_EQ(rgb32.pixelColor(0, 0), RGBColor(0x33, 0x22, 0x11));
    EXPECT_EQ(rgb32.scanLine(0)[3], 0x44);
    EXPECT_FALSE(rgb32.opaqueRows());

    // A mask covering the whole word is a 32-bit channel: its top byte is read.
    v5.compression = 3;
    v5.masks = {0xFFFFFFFF, 0, 0};
    EXPECT_EQ(load(buildBmp(v5)).pixelColor(0, 0), RGBColor(0x44, 0, 0));

    // A pixel offset of zero means "right after the colour table".
    BmpLayout zeroOff = layout(1, 1, 8, 0, kPal);
    zeroOff.pixels = {2, 0, 0, 0};
    zeroOff.offBitsDelta = -int64_t(14 + 40 + 4 * kPal.size());
    EXPECT_EQ(load(buildBmp(zeroOff)).pixelColor(0, 0), G);
}

TEST(Bmp, MalformedFilesAreRefused) {
    BmpLayout ok = layout(1, 1, 24, 0);
    ok.pixels = {1, 2, 3, 0};
    EXPECT_NO_THROW(load(buildBmp(ok)));
    struct Case {
        const char* name;
        std::function<void(BmpLayout&)> change;
        const char* words;
    } cases[] = {
        {"bit count 7", [](BmpLayout& s) { s.bitCount = 7; }, "7 ビット"},
        {"header size 200", [](BmpLayout& s) { s.headerSize = 200; }, "ヘッダー"},
        {"negative width", [](BmpLayout& s) { s.width = -1; }, "幅"},
        {"JPEG inside", [](BmpLayout& s) { s.compression = 4; }, "JPEG"},
        {"RLE8 at 24 bits", [](BmpLayout& s) { s.compression = 1; }, "RLE8"},
        {"unknown compression", [](BmpLayout& s) { s.compression = 77; }, "77"},
        {"bit fields at 24 bits", [](BmpLayout& s) { s.compression = 3; }, "ビット フィールド"},
        {"gapped masks",
         [](BmpLayout& s) {
             s.bitCount = 32;
             s.compression = 3;
             s.masks = {0xF0F000, 0xFF00, 0xFF};
         },
         "連続"},
        {"too wide", [](BmpLayout& s) { s.width = 70000; }, "70000 × 1"},
        {"too many pixels", [](BmpLayout& s) { s.width = 60000, s.height = 60000; }, "268435456"},
        {"pixels missing", [](BmpLayout& s) { s.width = 1000, s.height = 1000; }, "途中で切れて"},
        {"huge top-down", [](BmpLayout& s) { s.height = INT32_MIN; }, "2147483648"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BmpLayout s = ok;
        c.change(s);
        std::string message = refusal(buildBmp(s));
        EXPECT_NE(message.find(c.words), std::string::npos) << message;
    }
    std::vector<uint8_t> notBmp = buildBmp(ok);
    notBmp[0] = 'X';
    EXPECT_FALSE(refusal(notBmp).empty());
    // Every prefix of a valid file is refused or read, never read outside the data.
    BmpLayout small = layout(3, 2, 8, 0, kPal);
    small.pixels = {1, 2, 3, 0, 4, 5, 0, 0};
    std::vector<uint8_t> file = buildBmp(small);
    for (size_t n = 0; n < file.size(); ++n) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + std::ptrdiff_t(n));
        try {
            load(cut);
        } catch (const EInvalidGraphic&) {
        }
    }
}

TEST(Bmp, WritesItsOwnFormatAndReadsItBack) {
    Bitmap src = pwtest::makeTestBitmap(13, 7, 2);
    for (PixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(int(f));
        Bitmap bmp = src;
        bmp.setPixelFormat(f);
        std::vector<uint8_t> bytes = bmp.saveToBytes();
        // Header facts other programs rely on.
        ASSERT_GE(bytes.size(), 54u);
        EXPECT_EQ(bytes[28] | bytes[29] << 8, bitsPerPixelOf(f));
        uint32_t compression = bytes[30];
        EXPECT_EQ(compression, f == pf16bit ? 3u : 0u);
        uint32_t fileSize = bytes[2] | bytes[3] << 8 | bytes[4] << 16 | uint32_t(bytes[5]) << 24;
        EXPECT_EQ(fileSize, bytes.size());
        EXPECT_TRUE(pwtest::sameBitmap(load(bytes), bmp));
        Bitmap dib;
        dib.loadFromDib(bmp.saveToDib());
        EXPECT_TRUE(pwtest::sameBitmap(dib, bmp));
    }
    // A palette of fewer entries than the depth allows is written as it is.
    Bitmap small(3, 1, pf8bit);
    small.setPalette(Palette({{1, 2, 3}, {4, 5, 6}}));
    small.scanLine(0)[1] = 1;
    Bitmap back = load(small.saveToBytes());
    EXPECT_EQ(back.palette().size(), 2);
    EXPECT_EQ(back.pixelColor(1, 0), RGBColor(4, 5, 6));
}

TEST(Bmp, PictureOpensAndSavesByExtension) {
    pwtest::TempDir dir;
    Bitmap bmp = pwtest::makeTestBitmap(20, 10);
    Picture pic;
    pic.assign(&bmp);
    pic.saveToFile(dir / "a.BMP");
    Picture other;
    other.loadFromFile(dir / "a.BMP");
    ASSERT_NE(other.as<Bitmap>(), nullptr);
    EXPECT_TRUE(pwtest::sameBitmap(*other.as<Bitmap>(), bmp));
}
