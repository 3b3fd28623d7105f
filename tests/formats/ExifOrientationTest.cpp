// JPEG pictures open upright: the EXIF orientation turns and mirrors the decoded pixels, a
// malformed EXIF block is ignored, and an unchanged picture keeps its bytes.
#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "PngTestSupport.h"
#include "formats/Jpeg.h"
#include "platform/Exceptions.h"
#include "support/TestSupport.h"

namespace {

// A JPEG file of a bitmap with an APP1 segment of the given body inserted after SOI.
std::vector<uint8_t> withApp1(const std::vector<uint8_t>& jpeg, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    size_t length = body.size() + 2;
    out.insert(out.end(), {0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// "Exif\0\0" and a TIFF block with one IFD entry: tag, type, count, value.
std::vector<uint8_t> exif(bool little, uint16_t tag, uint16_t type, uint32_t count, uint16_t value,
                          uint32_t ifdOffset = 8, uint16_t entries = 1) {
    std::vector<uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
    auto put16 = [&](uint16_t v) {
        if (little)
            b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
        else
            b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    };
    auto put32 = [&](uint32_t v) {
        if (little) {
            put16(uint16_t(v));
            put16(uint16_t(v >> 16));
        } else {
            put16(uint16_t(v >> 16));
            put16(uint16_t(v));
        }
    };
    b.insert(b.end(), little ? std::initializer_list<uint8_t>{'I', 'I'}
                             : std::initializer_list<uint8_t>{'M', 'M'});
    put16(42);
    put32(ifdOffset);
    put16(entries);
    put16(tag);
    put16(type);
    put32(count);
    put16(value);
    put16(0);
    put32(0); // no next IFD
    return b;
}

std::vector<uint8_t> plainJpeg(const Bitmap& b) {
    TJPEGImage jpeg;
    jpeg.assign(b);
    jpeg.SetCompressionQuality(95);
    return jpeg.saveToBytes();
}

} // namespace

TEST(ExifOrientation, ReadFromEitherByteOrderAndIgnoredWhenMalformed) {
    const auto base = plainJpeg(pwtest::makeTestBitmap(8, 8));
    EXPECT_EQ(jpegExifOrientation(base), 1);
    for (int o = 1; o <= 8; ++o) {
        EXPECT_EQ(jpegExifOrientation(withApp1(base, exif(true, 0x0112, 3, 1, uint16_t(o)))), o);
        EXPECT_EQ(jpegExifOrientation(withApp1(base, exif(false, 0x0112, 3, 1, uint16_t(o)))), o);
    }
    struct Bad {
        const char* what;
        std::vector<uint8_t> body;
    };
    auto truncated = exif(true, 0x0112, 3, 1, 6);
    truncated.resize(truncated.size() - 8);
    for (const Bad& bad : {
             Bad{"value 9", exif(true, 0x0112, 3, 1, 9)},
             {"value 0", exif(true, 0x0112, 3, 1, 0)},
             {"type LONG", exif(true, 0x0112, 4, 1, 6)},
             {"two values", exif(true, 0x0112, 3, 2, 6)},
             {"IFD beyond the block", exif(true, 0x0112, 3, 1, 6, 4000)},
             {"IFD inside the header", exif(true, 0x0112, 3, 1, 6, 2)},
             {"entry count beyond the block", exif(true, 0x0112, 3, 1, 6, 8, 60000)},
             {"entries cut off", truncated},
             {"other tag", exif(true, 0x0110, 3, 1, 6)},
             {"no TIFF header", {'E', 'x', 'i', 'f', 0, 0, 'X', 'X', 42, 0}},
         }) {
        SCOPED_TRACE(bad.what);
        auto file = withApp1(base, bad.body);
        EXPECT_EQ(jpegExifOrientation(file), 1);
        TJPEGImage jpeg; // the picture still opens, as stored
        jpeg.loadFromBytes(file);
        EXPECT_EQ(jpeg.bitmap().width(), 8);
    }
    // A segment whose length runs past the end of the file.
    auto cut = withApp1(base, exif(true, 0x0112, 3, 1, 6));
    cut.resize(20);
    EXPECT_EQ(jpegExifOrientation(cut), 1);
    EXPECT_EQ(jpegExifOrientation({}), 1);
}

// Eight files of one upright photo, each stored turned and mirrored the other way and tagged
// so by Pillow, all open to the upright pixels (which Pillow's own transposition agrees with).
TEST(ExifOrientation, EightOrientationsOfOnePhotoOpenAlike) {
    PW_NEED(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    std::string out;
    const char* program = R"PY(
import sys
from PIL import Image, ImageOps
d = sys.argv[1]
up = Image.new('RGB', (48, 32))
up.putdata([(255 * (x < 16), 255 * (y < 16), 128 + 127 * ((x // 8 + y // 8) % 2))
            for y in range(32) for x in range(48)])
T = Image.Transpose
undo = {1: [], 2: [T.FLIP_LEFT_RIGHT], 3: [T.ROTATE_180], 4: [T.FLIP_TOP_BOTTOM],
        5: [T.TRANSPOSE], 6: [T.ROTATE_90], 7: [T.TRANSVERSE], 8: [T.ROTATE_270]}
for o, ops in undo.items():
    stored = up
    for op in ops:
        stored = stored.transpose(op)
    exif = Image.Exif()
    exif[0x0112] = o
    path = '%s/o%d.jpg' % (d, o)
    stored.save(path, quality=100, subsampling=0, exif=exif.tobytes())
    ImageOps.exif_transpose(Image.open(path)).convert('RGB').save('%s/o%d.ppm' % (d, o))
)PY";
    ASSERT_EQ(pngtest::python(program, {dir.path().string()}, &out), 0) << out;
    fmtest::RgbImage upright;
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE(o);
        auto bytes = pwtest::readFile(dir / ("o" + std::to_string(o) + ".jpg"));
        ASSERT_EQ(jpegExifOrientation(bytes), o);
        TJPEGImage jpeg;
        jpeg.loadFromBytes(bytes);
        // The size is upright before decoding, and stays so after.
        EXPECT_EQ(jpeg.width(), 48);
        EXPECT_EQ(jpeg.height(), 32);
        auto rgb = fmtest::toRgb(jpeg.bitmap());
        EXPECT_EQ(jpeg.width(), 48);
        auto pillow = fmtest::readPnm(dir / ("o" + std::to_string(o) + ".ppm"));
        EXPECT_EQ(pngtest::maxDifference(rgb, pillow), 0);
        if (o == 1) upright = rgb;
        // JPEG's own losses differ with the stored direction; the picture does not.
        int diff = pngtest::maxDifference(rgb, upright);
        EXPECT_GE(diff, 0);
        EXPECT_LE(diff, 12);
        // Saved unchanged: the original bytes, tag included.
        EXPECT_EQ(jpeg.saveToBytes(), bytes);
        // Saved from its pixels: upright, with no tag left to turn it again.
        TJPEGImage changed;
        changed.assign(jpeg.bitmap());
        auto rewritten = changed.saveToBytes();
        EXPECT_EQ(jpegExifOrientation(rewritten), 1);
        TJPEGImage reread;
        reread.loadFromBytes(rewritten);
        EXPECT_EQ(reread.width(), 48);
    }
}

TEST(ExifOrientation, ExiftoolTagsAreHonoured) {
    PW_NEED(fmtest::haveTool("exiftool"), "exiftool");
    pwtest::TempDir dir;
    Bitmap b = pwtest::makeTestBitmap(20, 10);
    auto file = dir / "photo.jpg";
    pwtest::writeFile(file, plainJpeg(b));
    ASSERT_EQ(fmtest::run("exiftool -q -overwrite_original -n -Orientation=8 " +
                          fmtest::shellQuote(file)),
              0);
    TJPEGImage jpeg;
    jpeg.loadFromBytes(pwtest::readFile(file));
    EXPECT_EQ(jpeg.width(), 10);
    EXPECT_EQ(jpeg.height(), 20);
    TJPEGImage plain;
    plain.loadFromBytes(plainJpeg(b));
    // Orientation 8 turns the stored picture a quarter anticlockwise: the stored top-right
    // pixel shows at the top left.
    EXPECT_EQ(jpeg.bitmap().pixelColor(0, 0), plain.bitmap().pixelColor(19, 0));
    EXPECT_EQ(jpeg.bitmap().pixelColor(9, 19), plain.bitmap().pixelColor(0, 9));
}

TEST(ExifOrientation, TurnsEveryByteWidth) {
    for (PixelFormat f : {pf8bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(int(f));
        Bitmap b = pwtest::makeTestBitmap(5, 3);
        b.setPixelFormat(f);
        Bitmap t = orientBitmap(b, 6);
        ASSERT_EQ(t.width(), 3);
        ASSERT_EQ(t.height(), 5);
        EXPECT_EQ(t.pixelFormat(), f);
        // Turned a quarter clockwise: the stored bottom-left shows at the top left.
        EXPECT_EQ(t.pixelColor(0, 0), b.pixelColor(0, 2));
        EXPECT_EQ(t.pixelColor(2, 4), b.pixelColor(4, 0));
        // Four quarter turns, and mirroring twice, give the picture back.
        EXPECT_TRUE(pwtest::sameBitmap(orientBitmap(orientBitmap(orientBitmap(t, 6), 6), 6), b));
        EXPECT_TRUE(pwtest::sameBitmap(orientBitmap(orientBitmap(b, 2), 2), b));
        EXPECT_TRUE(pwtest::sameBitmap(orientBitmap(orientBitmap(b, 5), 5), b));
    }
}
