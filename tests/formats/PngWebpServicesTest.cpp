// PNG and WebP through the picture services every caller shares: loading by extension and
// by content, saving by extension at the size shown, and the notes the caption shows.
#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "PngTestSupport.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "formats/Png.h"
#include "formats/Webp.h"
#include "platform/Exceptions.h"
#include "support/TestSupport.h"

namespace {

Bitmap paletteBitmap(int width, int height, PixelFormat format) {
    Bitmap b(width, height, format);
    std::vector<Rgb> entries;
    for (int i = 0; i < (format == pf1bit ? 2 : 16); ++i)
        entries.push_back({uint8_t(i * 15), uint8_t(255 - i * 15), uint8_t(i * 7)});
    b.setPalette(Palette(entries));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int v = (x + 2 * y) % (format == pf1bit ? 2 : 16);
            uint8_t* row = b.scanLine(y);
            if (format == pf4bit)
                row[x / 2] |= uint8_t(x % 2 ? v : v << 4);
            else if (format == pf1bit)
                row[x / 8] |= uint8_t(v << (7 - x % 8));
            else
                row[x] = uint8_t(v);
        }
    return b;
}

} // namespace

TEST(PngWebpServices, LoadByExtensionAndByContent) {
    pwtest::TempDir dir;
    Bitmap photo = pwtest::makeTestBitmap(21, 13);
    pwtest::writeFile(dir / "a.png", encodePng(photo));
    pwtest::writeFile(dir / "a.webp", encodeWebp(photo, 100));
    pwtest::writeFile(dir / "png.unknown", encodePng(photo));
    pwtest::writeFile(dir / "webp.unknown", encodeWebp(photo, 100));
    for (const char* name : {"a.png", "a.webp", "png.unknown", "webp.unknown"}) {
        SCOPED_TRACE(name);
        auto g = loadPictureFile(dir / name);
        EXPECT_EQ(g->kind(), GraphicKind::Bitmap);
        EXPECT_STREQ(pictureKindName(g.get()), "Bitmap");
        ASSERT_NE(g->raster(), nullptr);
        EXPECT_TRUE(pwtest::sameBitmap(*g->raster(), photo));
        EXPECT_EQ(g->loadNote(), "");
    }
    auto png = encodePng(photo);
    EXPECT_EQ(loadPictureBytes(png, "")->width(), 21);
    EXPECT_EQ(loadPictureBytes(encodeWebp(photo, 100), "")->height(), 13);
    // A PNG under a wrong registered extension is read as that format, and refused.
    EXPECT_THROW(loadPictureBytes(png, "webp"), EInvalidGraphic);
    EXPECT_THROW(loadPictureBytes(std::span(png.data(), png.size() / 2), "png"), EInvalidGraphic);
}

TEST(PngWebpServices, SavingWritesWhatIsShown) {
    pwtest::TempDir dir;
    Bitmap photo = pwtest::makeTestBitmap(40, 30);
    SaveOptions half;
    half.width = 20;
    half.height = 15;
    savePictureFile(photo, dir / "half.PNG", half);
    auto bytes = pwtest::readFile(dir / "half.PNG");
    ASSERT_TRUE(isPngData(bytes));
    Bitmap back = decodePng(bytes);
    EXPECT_EQ(back.width(), 20);
    EXPECT_EQ(back.height(), 15);
    EXPECT_EQ(back.pixelFormat(), pf24bit);

    // Palette pictures stay palette pictures, at their own size and stretched.
    for (PixelFormat f : {pf1bit, pf4bit, pf8bit}) {
        SCOPED_TRACE(int(f));
        Bitmap pal = paletteBitmap(10, 6, f);
        SaveOptions same;
        same.width = 10;
        same.height = 6;
        savePictureFile(pal, dir / "pal.png", same);
        EXPECT_TRUE(pwtest::sameBitmap(decodePng(pwtest::readFile(dir / "pal.png")), pal));
        SaveOptions twice;
        twice.width = 20;
        twice.height = 12;
        savePictureFile(pal, dir / "pal2.png", twice);
        Bitmap big = decodePng(pwtest::readFile(dir / "pal2.png"));
        ASSERT_EQ(big.pixelFormat(), f);
        ASSERT_EQ(big.width(), 20);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 20; ++x)
                ASSERT_EQ(big.pixelColor(x, y), pal.pixelColor(x / 2, y / 2)) << x << "," << y;
    }

    SaveOptions lossless;
    lossless.jpegQuality = 100;
    savePictureFile(photo, dir / "a.webp", lossless);
    EXPECT_TRUE(pwtest::sameBitmap(decodeWebp(pwtest::readFile(dir / "a.webp")), photo));
    SaveOptions lossy;
    lossy.jpegQuality = 50;
    savePictureFile(photo, dir / "b.webp", lossy);
    WebpFacts facts;
    decodeWebp(pwtest::readFile(dir / "b.webp"), &facts);
    EXPECT_FALSE(facts.lossless);

    // Any other extension still writes the picture unchanged in its own format: a picture
    // read from a PNG file is a bitmap.
    pwtest::writeFile(dir / "c.png", encodePng(photo));
    auto loaded = loadPictureFile(dir / "c.png");
    savePictureFile(*loaded, dir / "c.dat");
    auto dat = pwtest::readFile(dir / "c.dat");
    ASSERT_GE(dat.size(), 2u);
    EXPECT_EQ(dat[0], 'B');
    EXPECT_EQ(dat[1], 'M');
}

TEST(PngWebpServices, NotesSayWhatReadingChanged) {
    using namespace pngtest;
    std::vector<uint8_t> rows = {0, 10, 20, 30, 128};
    PngBitmap alpha;
    alpha.loadFromBytes(png({ihdr(1, 1, 8, 6), chunk("IDAT", deflate(rows))}));
    EXPECT_NE(alpha.loadNote().find("白"), std::string::npos);
    std::vector<uint8_t> deep = {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    PngBitmap rounded;
    rounded.loadFromBytes(png({ihdr(1, 1, 16, 2), chunk("IDAT", deflate(deep))}));
    EXPECT_NE(rounded.loadNote().find("16"), std::string::npos);
    // Kept when it fails: a refused file leaves the picture as it was.
    EXPECT_THROW(rounded.loadFromBytes(std::vector<uint8_t>{1, 2, 3}), EInvalidGraphic);
    EXPECT_EQ(rounded.width(), 1);
}

// A turned JPEG is upright through the services: its size, its conversion and pwtool's
// view of it.
TEST(PngWebpServices, TurnedJpegIsUprightEverywhere) {
    Bitmap photo = pwtest::makeTestBitmap(24, 10);
    TJPEGImage jpeg;
    jpeg.assign(photo);
    auto plain = jpeg.saveToBytes();
    const std::vector<uint8_t> turned = pwtest::withExifOrientation(plain, 6);
    pwtest::TempDir dir;
    pwtest::writeFile(dir / "turned.jpg", turned);
    auto g = loadPictureFile(dir / "turned.jpg");
    EXPECT_EQ(g->kind(), GraphicKind::Jpeg);
    EXPECT_EQ(g->width(), 10);
    EXPECT_EQ(g->height(), 24);
    savePictureFile(*g, dir / "turned.png");
    Bitmap saved = decodePng(pwtest::readFile(dir / "turned.png"));
    EXPECT_EQ(saved.width(), 10);
    EXPECT_EQ(saved.height(), 24);
    // Unchanged as JPEG: the same bytes.
    savePictureFile(*g, dir / "same.jpg");
    EXPECT_EQ(pwtest::readFile(dir / "same.jpg"), turned);
}
