// WebP reading and writing: round trips, the webp package's tools and Pillow as the other
// side, animations and hostile files.
#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "PngTestSupport.h"
#include "formats/Png.h"
#include "formats/Webp.h"
#include "platform/Exceptions.h"
#include "support/TestSupport.h"

namespace {

// Mean absolute difference per sample.
double meanDifference(const fmtest::RgbImage& a, const fmtest::RgbImage& b) {
    if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i)
        sum += std::abs(int(a.rgb[i]) - int(b.rgb[i]));
    return sum / double(a.rgb.size());
}

// dwebp's decoding of a file as RGB (through a PNG, flattened over white).
fmtest::RgbImage dwebp(const std::filesystem::path& file) {
    pwtest::TempDir dir;
    auto png = dir / "d.png";
    fmtest::run("dwebp -quiet " + fmtest::shellQuote(file) + " -o " + fmtest::shellQuote(png));
    return pngtest::magickFlat(png);
}

} // namespace

TEST(Webp, LosslessAtQuality100AndCloseWhenLossy) {
    Bitmap photo = pwtest::makeTestBitmap(64, 48, 2);
    auto lossless = encodeWebp(photo, 100);
    ASSERT_TRUE(isWebpData(lossless));
    WebpFacts facts;
    EXPECT_TRUE(pwtest::sameBitmap(decodeWebp(lossless, &facts), photo));
    EXPECT_TRUE(facts.lossless);
    EXPECT_FALSE(facts.alphaComposited);

    auto lossy = encodeWebp(photo, 90);
    Bitmap back = decodeWebp(lossy, &facts);
    EXPECT_FALSE(facts.lossless);
    EXPECT_LT(meanDifference(fmtest::toRgb(back), fmtest::toRgb(photo)), 6.0);
    // Lower quality, smaller file.
    EXPECT_LT(encodeWebp(photo, 20).size(), lossy.size());

    // Palette bitmaps are written as their colours.
    Bitmap palette = photo;
    palette.setPixelFormat(pf8bit);
    Bitmap expected = palette;
    expected.setPixelFormat(pf24bit);
    EXPECT_TRUE(pwtest::sameBitmap(decodeWebp(encodeWebp(palette, 100)), expected));
}

TEST(Webp, OurFilesAndTheToolsFilesAgree) {
    PW_NEED(fmtest::haveTool("dwebp") && fmtest::haveTool("cwebp"), "dwebp and cwebp");
    PW_NEED(pngtest::haveMagick(), "ImageMagick");
    PW_NEED(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    Bitmap photo = pwtest::makeTestBitmap(45, 31, 3);
    for (int quality : {100, 75}) {
        SCOPED_TRACE(quality);
        auto file = dir / "ours.webp";
        auto bytes = encodeWebp(photo, quality);
        pwtest::writeFile(file, bytes);
        EXPECT_EQ(pngtest::maxDifference(dwebp(file), fmtest::toRgb(decodeWebp(bytes))), 0);
    }

    // Files made by cwebp and by Pillow, with and without alpha, against dwebp's pixels.
    auto source = dir / "source.png";
    std::string out;
    ASSERT_EQ(pngtest::python(
                  "import sys\nfrom PIL import Image\n"
                  "im = Image.new('RGBA', (40, 30))\n"
                  "im.putdata([(x * 6, y * 8, (x * y) % 256, (x * 7 + y * 3) % 256)"
                  " for y in range(30) for x in range(40)])\n"
                  "im.save(sys.argv[1] + '/source.png')\n"
                  "im.save(sys.argv[1] + '/pil-alpha.webp', quality=80)\n"
                  "im.convert('RGB').save(sys.argv[1] + '/pil-lossless.webp', lossless=True)\n",
                  {dir.path().string()}, &out),
              0)
        << out;
    for (auto [name, args] : {std::pair{"cwebp-lossy.webp", "-q 80"},
                              {"cwebp-lossless.webp", "-lossless"},
                              {"cwebp-alpha.webp", "-q 60 -alpha_q 50"}})
        ASSERT_EQ(fmtest::run("cwebp -quiet " + std::string(args) + " " +
                              fmtest::shellQuote(source) + " -o " + fmtest::shellQuote(dir / name)),
                  0);
    for (const char* name : {"cwebp-lossy.webp", "cwebp-lossless.webp", "cwebp-alpha.webp",
                             "pil-alpha.webp", "pil-lossless.webp"}) {
        SCOPED_TRACE(name);
        WebpFacts facts;
        Bitmap b = decodeWebp(pwtest::readFile(dir / name), &facts);
        EXPECT_EQ(b.pixelFormat(), pf24bit);
        bool alpha = std::string(name).find("alpha") != std::string::npos ||
                     std::string(name).find("cwebp") != std::string::npos;
        EXPECT_EQ(facts.alphaComposited, alpha);
        int diff = pngtest::maxDifference(fmtest::toRgb(b), dwebp(dir / name));
        EXPECT_GE(diff, 0);
        EXPECT_LE(diff, alpha ? 1 : 0);
    }
}

TEST(Webp, AnimationOpensAtItsFirstFrame) {
    PW_NEED(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    std::string out;
    // Frame 1 covers the canvas's left half with half-transparent red; frame 2 is blue.
    ASSERT_EQ(pngtest::python("import sys\nfrom PIL import Image\n"
                              "a = Image.new('RGBA', (20, 10), (0, 0, 0, 0))\n"
                              "a.paste((255, 0, 0, 128), (0, 0, 10, 10))\n"
                              "b = Image.new('RGBA', (20, 10), (0, 0, 255, 255))\n"
                              "a.save(sys.argv[1], save_all=True, append_images=[b],"
                              " duration=100, lossless=True)\n",
                              {(dir / "anim.webp").string()}, &out),
              0)
        << out;
    WebpFacts facts;
    Bitmap b = decodeWebp(pwtest::readFile(dir / "anim.webp"), &facts);
    EXPECT_TRUE(facts.animated);
    ASSERT_EQ(b.width(), 20);
    ASSERT_EQ(b.height(), 10);
    EXPECT_EQ(b.pixelColor(3, 3), 0x007F7FFFu);  // red at alpha 128 over white
    EXPECT_EQ(b.pixelColor(15, 3), 0x00FFFFFFu); // transparent: white
}

TEST(Webp, HostileFilesAndImpossibleSavesAreRefused) {
    Bitmap photo = pwtest::makeTestBitmap(30, 20, 4);
    for (int quality : {100, 80}) {
        auto good = encodeWebp(photo, quality);
        for (size_t cut :
             {size_t(0), size_t(11), size_t(20), size_t(30), good.size() / 2, good.size() - 1}) {
            SCOPED_TRACE(cut);
            EXPECT_THROW(decodeWebp(std::span(good.data(), cut)), EInvalidGraphic);
        }
        auto scrambled = good;
        for (size_t i = 30; i < scrambled.size(); i += 7)
            scrambled[i] ^= 0x5A;
        try {
            Bitmap b = decodeWebp(scrambled);
            EXPECT_EQ(b.width(), 30); // a lossy stream may still decode, to garbage
        } catch (const EInvalidGraphic&) {
        }
    }
    // An extended header announcing a 16384 × 16384 canvas (within the limits) with nothing
    // behind it is refused before the picture's memory is taken; 20000 × 20000 is too large.
    std::vector<uint8_t> vp8x = {'R',  'I', 'F', 'F', 22,   0,    0,  0,    'W',  'E',
                                 'B',  'P', 'V', 'P', '8',  'X',  10, 0,    0,    0,
                                 0x10, 0,   0,   0,   0xFF, 0x3F, 0,  0xFF, 0x3F, 0};
    EXPECT_THROW(decodeWebp(vp8x), EInvalidGraphic);
    vp8x[24] = vp8x[27] = 0x1F; // 20000 - 1 = 0x4E1F
    vp8x[25] = vp8x[28] = 0x4E;
    EXPECT_THROW(decodeWebp(vp8x), EPictureTooLarge);
    EXPECT_THROW(decodeWebp(encodePng(photo)), EInvalidGraphic);

    EXPECT_THROW(encodeWebp(Bitmap(), 80), EInvalidGraphic);
    try {
        encodeWebp(Bitmap(kWebpMaxSide + 1, 2), 80);
        ADD_FAILURE() << "a picture wider than WebP allows was written";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(std::string(e.what()).find("16383"), std::string::npos);
    }
}
