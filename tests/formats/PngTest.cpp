// PNG reading and writing: round trips, files of other writers against an independent
// decoder, and hostile files.
#include <gtest/gtest.h>

#include <random>

#include "FormatsTestSupport.h"
#include "PngTestSupport.h"
#include "formats/Png.h"
#include "platform/Exceptions.h"
#include "support/TestSupport.h"

using fmtest::RgbImage;

namespace {

Palette randomPalette(int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Rgb> entries(static_cast<size_t>(count));
    for (auto& e : entries)
        e = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
    return Palette(std::move(entries));
}

Palette greyRamp() {
    std::vector<Rgb> e(256);
    for (int i = 0; i < 256; ++i)
        e[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    return Palette(std::move(e));
}

// A bitmap of every kind the writer meets, with the bitmap the reader should give back.
struct WriteCase {
    const char* name;
    Bitmap bitmap;
    Bitmap expected;
};

std::vector<WriteCase> writeCases() {
    std::vector<WriteCase> cases;
    Bitmap photo = pwtest::makeTestBitmap(37, 23, 5);
    cases.push_back({"24-bit", photo, photo});
    for (auto [name, format, colours] : {std::tuple{"1-bit", pf1bit, 2},
                                         {"4-bit", pf4bit, 16},
                                         {"4-bit, 5 colours", pf4bit, 5},
                                         {"8-bit", pf8bit, 256},
                                         {"8-bit, 40 colours", pf8bit, 40}}) {
        Bitmap b(33, 17, format);
        b.setPalette(randomPalette(colours, uint32_t(colours)));
        std::mt19937 rng(7);
        for (int y = 0; y < b.height(); ++y)
            for (int x = 0; x < b.width(); ++x) {
                int v = int(rng() % uint32_t(colours));
                uint8_t* row = b.scanLine(y);
                if (format == pf8bit)
                    row[x] = uint8_t(v);
                else if (format == pf4bit)
                    row[x / 2] |= uint8_t(x % 2 ? v : v << 4);
                else
                    row[x / 8] |= uint8_t(v << (7 - x % 8));
            }
        cases.push_back({name, b, b});
    }
    Bitmap grey(19, 11, pf8bit);
    grey.setPalette(greyRamp());
    for (int y = 0; y < grey.height(); ++y)
        for (int x = 0; x < grey.width(); ++x)
            grey.scanLine(y)[x] = uint8_t(x * 13 + y * 7);
    cases.push_back({"8-bit grey", grey, grey});
    Bitmap wide = photo;
    wide.setPixelFormat(pf32bit);
    cases.push_back({"32-bit", wide, photo});
    Bitmap dense = photo;
    dense.setPixelFormat(pf16bit);
    Bitmap denseAs24 = dense;
    denseAs24.setPixelFormat(pf24bit);
    cases.push_back({"16-bit", dense, denseAs24});
    return cases;
}

} // namespace

TEST(Png, RoundTripKeepsEveryBitmapKind) {
    for (auto& c : writeCases()) {
        SCOPED_TRACE(c.name);
        auto bytes = encodePng(c.bitmap);
        ASSERT_TRUE(isPngData(bytes));
        EXPECT_TRUE(pwtest::sameBitmap(decodePng(bytes), c.expected));
    }
}

TEST(Png, OurFilesAreReadAlikeByOtherDecoders) {
    PW_NEED(fmtest::haveTool("pngcheck"), "pngcheck");
    PW_NEED(pngtest::haveMagick(), "ImageMagick");
    PW_NEED(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    for (auto& c : writeCases()) {
        SCOPED_TRACE(c.name);
        auto file = dir / "ours.png";
        pwtest::writeFile(file, encodePng(c.bitmap));
        EXPECT_EQ(fmtest::run("pngcheck -q " + fmtest::shellQuote(file) + " >/dev/null"), 0);
        EXPECT_EQ(pngtest::maxDifference(pngtest::magickFlat(file), fmtest::toRgb(c.expected)), 0);
        auto ppm = dir / "pillow.ppm";
        ASSERT_EQ(pngtest::python("import sys\nfrom PIL import Image\n"
                                  "Image.open(sys.argv[1]).convert('RGB').save(sys.argv[2])\n",
                                  {file.string(), ppm.string()}),
                  0);
        EXPECT_EQ(pngtest::maxDifference(fmtest::readPnm(ppm), fmtest::toRgb(c.expected)), 0);
    }
}

// Every colour type, bit depth and interlacing, as Pillow and ImageMagick write them, opens
// with the pixels ImageMagick reads (flattened over white, rounded to 8 bits), as the
// bitmap kind the file calls for.
TEST(Png, FilesOfOtherWritersOpenWithTheirPixels) {
    PW_NEED(pngtest::haveMagick(), "ImageMagick");
    PW_NEED(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    std::string out;
    const char* program = R"PY(
import sys, os, random
from PIL import Image
d = sys.argv[1]
random.seed(3)
W, H = 29, 21
def pattern(mode, f):
    im = Image.new(mode, (W, H))
    im.putdata([f(x, y) for y in range(H) for x in range(W)])
    return im
rgb = pattern('RGB', lambda x, y: (x * 8 % 256, y * 12 % 256, (x * y) % 256))
rgba = pattern('RGBA', lambda x, y: (x * 8 % 256, y * 12 % 256, (x * y) % 256, (x * 9 + y * 5) % 256))
rgb.save(os.path.join(d, 'pil-rgb.png'))
rgba.save(os.path.join(d, 'pil-rgba.png'))
pattern('L', lambda x, y: (x * 9 + y) % 256).save(os.path.join(d, 'pil-grey.png'))
pattern('LA', lambda x, y: ((x * 9) % 256, (y * 11) % 256)).save(os.path.join(d, 'pil-grey-alpha.png'))
pattern('1', lambda x, y: 255 * ((x + y) % 3 == 0)).save(os.path.join(d, 'pil-bilevel.png'))
pattern('I;16', lambda x, y: (x * 2311 + y * 97) % 65536).save(os.path.join(d, 'pil-grey16.png'))
grey = pattern('L', lambda x, y: (x * 40) % 256)
grey.save(os.path.join(d, 'pil-grey-key.png'), transparency=80)
rgb.save(os.path.join(d, 'pil-rgb-key.png'), transparency=(16, 24, 0))
pal = rgb.quantize(16)
pal.save(os.path.join(d, 'pil-palette16.png'), bits=4)
rgb.quantize(4).save(os.path.join(d, 'pil-palette4.png'), bits=2)
pal256 = rgba.quantize(200)
pal256.save(os.path.join(d, 'pil-palette.png'))
pal.info['transparency'] = bytes([0, 64, 128, 200])
pal.save(os.path.join(d, 'pil-palette-alpha.png'), transparency=bytes([0, 64, 128, 200]))
)PY";
    ASSERT_EQ(pngtest::python(program, {dir.path().string()}, &out), 0) << out;
    const std::string im = pngtest::magick() + " " + fmtest::shellQuote(dir / "pil-rgba.png");
    struct Made {
        const char* name;
        std::string args;
    };
    for (const Made& m : {Made{"im-rgb48.png", " -alpha off -depth 16 PNG48:"},
                          Made{"im-rgba64.png", " -depth 16 PNG64:"},
                          Made{"im-rgb-interlaced.png", " -alpha off -interlace PNG PNG24:"},
                          Made{"im-rgba-interlaced.png", " -interlace PNG PNG32:"},
                          Made{"im-grey2.png", " -alpha off -colorspace Gray -depth 2 PNG:"},
                          Made{"im-grey4-interlaced.png",
                               " -alpha off -colorspace Gray -depth 4 -interlace PNG PNG:"},
                          Made{"im-grey-alpha16.png", " -colorspace Gray -depth 16 PNG:"},
                          Made{"im-palette.png", " -alpha off -colors 4 PNG8:"},
                          Made{"im-palette-interlaced.png", " -colors 60 -interlace PNG PNG8:"}})
        ASSERT_EQ(fmtest::run(im + m.args + fmtest::shellQuote(dir / m.name)), 0) << m.name;

    struct Expect {
        const char* file;
        PixelFormat format;
        bool alpha;
        int tolerance; // alpha and 16-bit samples may round either way
    };
    for (const Expect& e : {
             Expect{"pil-rgb.png", pf24bit, false, 0},
             {"pil-rgba.png", pf24bit, true, 1},
             {"pil-grey.png", pf8bit, false, 0},
             {"pil-grey-alpha.png", pf8bit, true, 1},
             {"pil-bilevel.png", pf8bit, false, 0},
             {"pil-grey16.png", pf8bit, false, 1},
             {"pil-grey-key.png", pf8bit, true, 0},
             {"pil-rgb-key.png", pf24bit, true, 0},
             {"pil-palette16.png", pf4bit, false, 0},
             {"pil-palette.png", pf8bit, true, 1},
             {"pil-palette4.png", pf4bit, false, 0},
             {"pil-palette-alpha.png", pf4bit, true, 1},
             {"im-rgb48.png", pf24bit, false, 1},
             {"im-rgba64.png", pf24bit, true, 1},
             {"im-rgb-interlaced.png", pf24bit, false, 0},
             {"im-rgba-interlaced.png", pf24bit, true, 1},
             {"im-grey2.png", pf8bit, false, 0},
             {"im-grey4-interlaced.png", pf8bit, false, 0},
             {"im-grey-alpha16.png", pf8bit, true, 1},
             {"im-palette.png", pf8bit, false, 0},
             {"im-palette-interlaced.png", pf8bit, true, 1},
         }) {
        SCOPED_TRACE(e.file);
        PngFacts facts;
        Bitmap b = decodePng(pwtest::readFile(dir / e.file), &facts);
        EXPECT_EQ(b.pixelFormat(), e.format)
            << "depth " << facts.bitDepth << " type " << facts.colorType;
        EXPECT_EQ(facts.alphaComposited, e.alpha);
        int diff = pngtest::maxDifference(fmtest::toRgb(b), pngtest::magickFlat(dir / e.file));
        EXPECT_GE(diff, 0);
        EXPECT_LE(diff, e.tolerance);
    }
}

// The sizes of a picture are checked before its memory is taken; malformed, truncated and
// corrupt files are refused with a message.
TEST(Png, HostileFilesAreRefused) {
    using namespace pngtest;
    std::vector<uint8_t> rows;
    for (int y = 0; y < 4; ++y) {
        rows.push_back(1); // Sub
        for (int x = 0; x < 12; ++x)
            rows.push_back(uint8_t(x * 20 + y));
    }
    const auto idat = chunk("IDAT", deflate(rows));
    const auto good = png({ihdr(4, 4, 8, 2), idat});
    ASSERT_EQ(decodePng(good).width(), 4);

    auto refused = [](const std::vector<uint8_t>& bytes, const char* what) {
        SCOPED_TRACE(what);
        EXPECT_THROW(decodePng(bytes), EInvalidGraphic);
    };
    refused({}, "empty");
    refused({0x89, 'P', 'N', 'G'}, "a piece of the signature");
    refused(std::vector<uint8_t>(good.begin(), good.begin() + 8), "signature only");
    for (size_t cut : {size_t(20), size_t(33), size_t(45), good.size() - 24, good.size() - 20})
        refused(std::vector<uint8_t>(good.begin(), good.begin() + long(cut)), "truncated");
    // All pixel data without the closing chunk (or its CRC) is a picture that decoded whole.
    EXPECT_EQ(decodePng(std::vector<uint8_t>(good.begin(), good.end() - 12)).height(), 4);
    auto badCrc = good;
    badCrc[29] ^= 1; // IHDR's CRC
    refused(badCrc, "IHDR CRC");
    badCrc = good;
    badCrc[33 + 8 + 3] ^= 0x40; // inside the compressed rows
    refused(badCrc, "IDAT CRC");
    refused(png({ihdr(4, 4, 8, 2), chunk("IDAT", {0x78, 0x9C, 0xFF, 0xFF, 0xFF})}),
            "bad zlib data");
    refused(png({ihdr(4, 4, 3, 2), idat}), "bit depth 3");
    refused(png({ihdr(4, 4, 8, 5), idat}), "colour type 5");
    refused(png({ihdr(4, 4, 8, 3), idat}), "palette picture without a palette");
    refused(png({ihdr(0, 4, 8, 2), idat}), "zero width");
    refused(png({idat, ihdr(4, 4, 8, 2)}), "IDAT before IHDR");
    std::vector<uint8_t> badFilter = rows;
    badFilter[0] = 9;
    refused(png({ihdr(4, 4, 8, 2), chunk("IDAT", deflate(badFilter))}), "filter type 9");

    // Too large for the limits: refused as such before allocating, whatever follows.
    EXPECT_THROW(decodePng(png({ihdr(70000, 4, 8, 2), idat})), EPictureTooLarge);
    EXPECT_THROW(decodePng(png({ihdr(30000, 30000, 8, 6), idat})), EPictureTooLarge);
    // Within the limits, but the rows are not there: refused without taking 768 MB.
    refused(png({ihdr(16000, 16000, 8, 2), idat}), "16000 x 16000 with 4 rows of data");
}

TEST(Png, CompressionBombsStayBounded) {
    using namespace pngtest;
    // 32 MB of zeros behind a 1 × 1 picture: only the picture's own row is inflated.
    std::vector<uint8_t> zeros(32u << 20, 0);
    auto bomb = png({ihdr(1, 1, 8, 0), chunk("IDAT", deflate(zeros))});
    ASSERT_LT(bomb.size(), 200000u);
    try {
        Bitmap b = decodePng(bomb);
        EXPECT_EQ(b.width(), 1);
    } catch (const EInvalidGraphic&) {
    }
    // A text chunk that would inflate to 32 MB is not held in memory.
    std::vector<uint8_t> ztxt = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
    auto packed = deflate(zeros);
    ztxt.insert(ztxt.end(), packed.begin(), packed.end());
    std::vector<uint8_t> row = {0, 7};
    auto text = png({ihdr(1, 1, 8, 0), chunk("zTXt", ztxt), chunk("IDAT", deflate(row))});
    try {
        Bitmap b = decodePng(text);
        EXPECT_EQ(b.scanLine(0)[0], 7);
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(std::string(e.what()).find("PNG"), std::string::npos);
    }
}

// Palette transparency goes into the palette; indices beyond the palette show black.
TEST(Png, PaletteTransparencyAndStrayIndices) {
    using namespace pngtest;
    std::vector<uint8_t> rows = {0, 0x01, 0x2F}; // 8 pixels at 2 bits: 0 0 0 1 0 2 3 3
    auto bytes = png({ihdr(8, 1, 2, 3), chunk("PLTE", {200, 100, 0, 0, 0, 255, 10, 20, 30}),
                      chunk("tRNS", {255, 0}), chunk("IDAT", deflate(rows))});
    PngFacts facts;
    Bitmap b = decodePng(bytes, &facts);
    EXPECT_TRUE(facts.alphaComposited);
    ASSERT_EQ(b.pixelFormat(), pf4bit);
    ASSERT_GE(b.palette().size(), 4);
    EXPECT_EQ(b.palette()[0], (Rgb{200, 100, 0}));
    EXPECT_EQ(b.palette()[1], (Rgb{255, 255, 255})); // fully transparent: white
    EXPECT_EQ(b.palette()[2], (Rgb{10, 20, 30}));
    EXPECT_EQ(b.palette()[3], (Rgb{0, 0, 0})); // no such entry in the file
    EXPECT_EQ(b.pixelColor(3, 0), 0x00FFFFFFu);
    EXPECT_EQ(b.pixelColor(6, 0), 0u);
}
