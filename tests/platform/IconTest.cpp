#include <cstdlib>
#include <string>

#include <QBuffer>
#include <QPainter>

#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/Icon.h"
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

// A packed DIB for an icon: the picture (any format) and its AND mask, where
// transparent(x, y) sets the mask bit.
template <class Fn> std::vector<uint8_t> iconDib(const Bitmap& bmp, Fn transparent) {
    std::vector<uint8_t> dib = bmp.saveToDib();
    // Double the height for the mask and drop the image size (writers often leave it 0).
    uint32_t h2 = uint32_t(bmp.height() * 2);
    for (int i = 0; i < 4; ++i)
        dib[8 + size_t(i)] = uint8_t(h2 >> (8 * i));
    for (int i = 0; i < 4; ++i)
        dib[20 + size_t(i)] = 0;
    size_t stride = size_t((bmp.width() + 31) / 32) * 4;
    for (int y = bmp.height() - 1; y >= 0; --y) {
        std::vector<uint8_t> row(stride, 0);
        for (int x = 0; x < bmp.width(); ++x)
            if (transparent(x, y)) row[size_t(x) >> 3] |= uint8_t(0x80 >> (x & 7));
        dib.insert(dib.end(), row.begin(), row.end());
    }
    return dib;
}

std::vector<uint8_t> pngBytes(const QImage& img) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return std::vector<uint8_t>(data.begin(), data.end());
}

struct Image {
    int width, height, bits;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> buildIco(const std::vector<Image>& images) {
    std::vector<uint8_t> out;
    put16(out, 0);
    put16(out, 1);
    put16(out, uint32_t(images.size()));
    uint32_t offset = uint32_t(6 + 16 * images.size());
    for (const Image& im : images) {
        out.push_back(uint8_t(im.width & 255));
        out.push_back(uint8_t(im.height & 255));
        out.push_back(0);
        out.push_back(0);
        put16(out, 1);
        put16(out, uint32_t(im.bits));
        put32(out, uint32_t(im.data.size()));
        put32(out, offset);
        offset += uint32_t(im.data.size());
    }
    for (const Image& im : images)
        out.insert(out.end(), im.data.begin(), im.data.end());
    return out;
}

QRgb shown(const Icon& icon, int x, int y) {
    return icon.image().pixel(x, y);
}

} // namespace

TEST(Icon, ShowsLargestDeepestImageWithItsMask) {
    Bitmap small = pwtest::makeTestBitmap(16, 16, 1);
    small.setPixelFormat(pf4bit);
    Bitmap large4 = pwtest::makeTestBitmap(24, 20, 2);
    large4.setPixelFormat(pf4bit);
    Bitmap large8 = pwtest::makeTestBitmap(24, 20, 3);
    large8.setPixelFormat(pf8bit);
    auto none = [](int, int) { return false; };
    auto corner = [](int x, int y) { return x < 5 && y < 3; }; // top-left see-through
    std::vector<uint8_t> file = buildIco({{16, 16, 4, iconDib(small, none)},
                                          {24, 20, 4, iconDib(large4, none)},
                                          {24, 20, 8, iconDib(large8, corner)}});
    Icon icon;
    icon.loadFromBytes(file);
    EXPECT_EQ(icon.width(), 24);
    EXPECT_EQ(icon.height(), 20);
    EXPECT_EQ(icon.imageCount(), 3);
    EXPECT_EQ(icon.bitsPerPixel(), 8);
    EXPECT_TRUE(icon.transparent());
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 24; ++x) {
            QRgb c = shown(icon, x, y);
            if (corner(x, y)) {
                ASSERT_EQ(qAlpha(c), 0) << x << "," << y;
            } else {
                uint32_t want = large8.pixelColor(x, y);
                ASSERT_EQ(qAlpha(c), 255);
                ASSERT_EQ(RGBColor(uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))), want)
                    << x << "," << y;
            }
        }
    // Saving writes the file's bytes back; icons are never resized.
    EXPECT_EQ(icon.saveToBytes(), file);
    EXPECT_THROW(icon.setWidth(10), EInvalidGraphicOperation);
    EXPECT_THROW(icon.setHeight(10), EInvalidGraphicOperation);
    auto copy = icon.clone();
    EXPECT_EQ(copy->saveToBytes(), file);
    EXPECT_STREQ(copy->className(), "TIcon");
    Icon other;
    EXPECT_THROW(other.assign(large8), EConvertError);
    other.assign(icon);
    EXPECT_EQ(other.width(), 24);

    // A bitmap takes an icon by drawing it: see-through parts show the white background.
    Bitmap drawn;
    drawn.assign(icon);
    EXPECT_EQ(drawn.width(), 24);
    EXPECT_EQ(drawn.pixelColor(0, 0), 0xFFFFFFu);
    EXPECT_EQ(drawn.pixelColor(10, 10), large8.pixelColor(10, 10));
}

TEST(Icon, AlphaChannelAndPngImages) {
    // 32 bits with alpha in the fourth bytes: the alpha wins over the mask.
    Bitmap b32(8, 8, pf32bit);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            uint8_t* p = b32.scanLine(y) + 4 * x;
            p[0] = 0, p[1] = 0, p[2] = 255, p[3] = x < 4 ? 255 : 0;
        }
    Icon alpha;
    alpha.loadFromBytes(buildIco({{8, 8, 32, iconDib(b32, [](int, int) { return true; })}}));
    EXPECT_EQ(qAlpha(shown(alpha, 1, 1)), 255);
    EXPECT_EQ(qRed(shown(alpha, 1, 1)), 255);
    EXPECT_EQ(qAlpha(shown(alpha, 6, 1)), 0);

    // 32 bits whose fourth bytes are all zero: an older icon that relies on its mask.
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            b32.scanLine(y)[4 * x + 3] = 0;
    Icon masked;
    masked.loadFromBytes(buildIco({{8, 8, 32, iconDib(b32, [](int x, int) { return x == 0; })}}));
    EXPECT_EQ(qAlpha(shown(masked, 0, 4)), 0);
    EXPECT_EQ(qAlpha(shown(masked, 1, 4)), 255);

    // A PNG image larger than the DIB beside it is the one shown, with its alpha.
    QImage png(40, 30, QImage::Format_ARGB32);
    png.fill(qRgba(0, 0, 255, 255));
    png.setPixel(3, 2, qRgba(0, 0, 0, 0));
    Icon withPng;
    withPng.loadFromBytes(buildIco(
        {{8, 8, 32, iconDib(b32, [](int, int) { return false; })}, {40, 30, 32, pngBytes(png)}}));
    EXPECT_EQ(withPng.width(), 40);
    EXPECT_EQ(withPng.height(), 30);
    EXPECT_EQ(qAlpha(shown(withPng, 3, 2)), 0);
    EXPECT_EQ(shown(withPng, 4, 2), qRgba(0, 0, 255, 255));
}

TEST(Icon, DamagedFilesAreRefusedOrFallBack) {
    Bitmap bmp = pwtest::makeTestBitmap(16, 16);
    bmp.setPixelFormat(pf8bit);
    std::vector<uint8_t> good = iconDib(bmp, [](int, int) { return false; });
    // The larger image is damaged (its pixels are cut off): the smaller one is shown.
    std::vector<uint8_t> cut =
        iconDib(pwtest::makeTestBitmap(32, 32), [](int, int) { return false; });
    cut.resize(200);
    Icon icon;
    icon.loadFromBytes(buildIco({{32, 32, 24, cut}, {16, 16, 8, good}}));
    EXPECT_EQ(icon.width(), 16);

    // A mask the data does not hold leaves the image opaque.
    std::vector<uint8_t> noMask = good;
    noMask.resize(noMask.size() - 64);
    icon.loadFromBytes(buildIco({{16, 16, 8, noMask}}));
    EXPECT_EQ(qAlpha(shown(icon, 0, 0)), 255);

    const std::vector<uint8_t> file = buildIco({{16, 16, 8, good}});
    auto refused = [](std::vector<uint8_t> bytes) {
        Icon i;
        try {
            i.loadFromBytes(bytes);
        } catch (const EInvalidGraphic&) {
            return true;
        }
        return false;
    };
    std::vector<uint8_t> bad = file;
    bad[2] = 7; // not an icon
    EXPECT_TRUE(refused(bad));
    bad = file;
    bad[4] = 0; // no images
    EXPECT_TRUE(refused(bad));
    bad = file;
    bad[18] = 0xFF; // offset past the end
    EXPECT_TRUE(refused(bad));
    EXPECT_TRUE(refused(buildIco({{1, 1, 8, {1, 2, 3}}})));
    // Every prefix: refused or read, never outside the data; a failed read keeps the icon.
    icon.loadFromBytes(file);
    for (size_t n = 0; n < file.size(); ++n) {
        try {
            icon.loadFromBytes(std::span<const uint8_t>(file.data(), n));
        } catch (const EInvalidGraphic&) {
            EXPECT_EQ(icon.saveToBytes(), file);
        }
    }
    EXPECT_THROW(Icon().saveToBytes(), EInvalidGraphic);
}

// The ranking multiplies the sides an image claims: two PNG sides of 2^32 - 1 rank first
// (their product does not fit a signed 64-bit number), so the error that names them is the
// one reported when nothing decodes.
TEST(Icon, HugestClaimedImageRanksFirst) {
    std::vector<uint8_t> huge = pngBytes(QImage(2, 2, QImage::Format_RGB32));
    for (size_t i = 16; i < 24; ++i)
        huge[i] = 0xFF;
    huge.resize(40);
    std::vector<uint8_t> cut =
        iconDib(pwtest::makeTestBitmap(32, 32), [](int, int) { return false; });
    cut.resize(200);
    try {
        Icon().loadFromBytes(buildIco({{32, 32, 24, cut}, {0, 0, 32, huge}}));
        ADD_FAILURE() << "no image can be decoded";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(std::string(e.what()).find("4294967295"), std::string::npos) << e.what();
    }
}

TEST(Icon, ReadsIconsOtherProgramsWrite) {
    const bool magick = pwtest::haveTool("convert");
    const bool pillow = pwtest::havePillow();
    PW_SKIP_WITHOUT(magick && pillow, "convert or Pillow");
    pwtest::TempDir dir;
    auto src = dir / "src.png";
    QImage img(48, 48, QImage::Format_ARGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            img.setPixel(x, y, qRgba(x * 5, y * 5, 128, (x + y) % 7 == 0 ? 0 : 255));
    img.save(QString::fromStdString(src.string()));
    const std::string commands[] = {
        "convert '" + src.string() + "' -define icon:auto-resize=32,16 '" +
            (dir / "a.ico").string() + "'",
        "convert '" + src.string() + "' -define icon:auto-resize=48,16 -alpha off '" +
            (dir / "a.ico").string() + "'",
        "/usr/bin/python3 -c \"from PIL import Image; Image.open('" + src.string() + "').save('" +
            (dir / "a.ico").string() + "', sizes=[(16, 16), (32, 32), (48, 48)])\"",
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0);
        Picture pic;
        pic.loadFromFile(dir / "a.ico");
        const Icon* icon = pic.as<Icon>();
        ASSERT_NE(icon, nullptr);
        // Pillow opens the largest image; compare with its reading.
        std::string decode = "/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" +
                             (dir / "a.ico").string() + "'); open('" + (dir / "a.rgba").string() +
                             "', 'wb').write(im.convert('RGBA').tobytes())\"";
        ASSERT_EQ(std::system(decode.c_str()), 0);
        auto rgba = pwtest::readFile(dir / "a.rgba");
        ASSERT_EQ(rgba.size(), size_t(icon->width() * icon->height() * 4));
        QImage ours = icon->image().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < icon->height(); ++y)
            for (int x = 0; x < icon->width(); ++x) {
                const uint8_t* p = &rgba[size_t((y * icon->width() + x) * 4)];
                QRgb c = ours.pixel(x, y);
                ASSERT_EQ(qAlpha(c), p[3]) << x << "," << y;
                if (p[3] == 255) {
                    ASSERT_EQ(qRed(c), p[0]) << x << "," << y;
                    ASSERT_EQ(qGreen(c), p[1]);
                    ASSERT_EQ(qBlue(c), p[2]);
                }
            }
        // Saved under another name, the file is the same bytes.
        pic.saveToFile(dir / "b.ico");
        EXPECT_EQ(pwtest::readFile(dir / "b.ico"), pwtest::readFile(dir / "a.ico"));
    }
}
