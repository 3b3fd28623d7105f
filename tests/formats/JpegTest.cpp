#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "formats/Jpeg.h"
#include "platform/Picture.h"
#include "platform/Screen.h"
#include "support/TestSupport.h"

using fmtest::shellQuote;

namespace {

std::vector<uint8_t> encodeBitmap(const Bitmap& bmp, int quality, bool progressive = false) {
    TJPEGImage jpeg;
    jpeg.Quality = static_cast<uint8_t>(quality);
    jpeg.ProgressiveSave = progressive;
    jpeg.assign(bmp);
    return jpeg.saveToBytes();
}

// True when the file has a start-of-frame marker of the given kind (0xC0 baseline,
// 0xC2 progressive).
bool hasMarker(const std::vector<uint8_t>& bytes, uint8_t marker) {
    for (size_t i = 2; i + 1 < bytes.size();) {
        if (bytes[i] != 0xFF) return false;
        uint8_t m = bytes[i + 1];
        if (m == marker) return true;
        if (m == 0xDA) return false; // scan data follows; frame markers come before
        size_t len = (size_t(bytes[i + 2]) << 8) | bytes[i + 3];
        i += 2 + len;
    }
    return false;
}

// Decodes a file with djpeg and with our class (default settings) and compares.
void expectSameAsDjpeg(const std::filesystem::path& file, const std::string& djpegArgs,
                       const TJPEGImage& ours) {
    pwtest::TempDir dir;
    auto out = dir / "djpeg.pnm";
    ASSERT_EQ(fmtest::run("djpeg " + djpegArgs + " -pnm -outfile " + shellQuote(out) + " " +
                          shellQuote(file)),
              0);
    auto theirs = fmtest::readPnm(out);
    auto mine = fmtest::toRgb(ours.bitmap());
    ASSERT_EQ(mine.width, theirs.width);
    ASSERT_EQ(mine.height, theirs.height);
    EXPECT_TRUE(mine.rgb == theirs.rgb) << "pixels differ from djpeg " << djpegArgs;
}

class JpegTest : public ::testing::Test {
protected:
    void TearDown() override {
        setScreenInfo(ScreenInfo{});
        DefaultJpegSettings = TJPEGDefaults{};
    }
    pwtest::TempDir dir;
};

} // namespace

TEST_F(JpegTest, EncodesBaselineOnceAndDecodesInDjpeg) {
    SKIP_WITHOUT("djpeg");
    Bitmap bmp = pwtest::makeTestBitmap(123, 77);
    TJPEGImage jpeg;
    jpeg.SetCompressionQuality(70);
    jpeg.assign(bmp);
    EXPECT_FALSE(jpeg.empty());
    int encodes = 0;
    jpeg.OnProgress = [&](Graphic&, TProgressStage stage, int, bool, const QRect&,
                          const std::string&) { encodes += stage == psStarting; };
    auto first = jpeg.saveToBytes();
    auto second = jpeg.saveToBytes();
    EXPECT_EQ(first, second);
    EXPECT_EQ(encodes, 1) << "the second save must reuse the compressed data";
    EXPECT_TRUE(hasMarker(first, 0xC0));
    EXPECT_EQ(jpeg.data().Width, 123);
    EXPECT_EQ(jpeg.data().Height, 77);

    auto file = dir / "q70.jpg";
    pwtest::writeFile(file, first);
    std::string info;
    ASSERT_EQ(fmtest::run("djpeg -pnm " + shellQuote(file) + " | head -c 20", &info), 0);
    EXPECT_NE(info.find("123 77"), std::string::npos) << info;
    if (fmtest::havePillow()) {
        std::string size;
        fmtest::run("/usr/bin/python3 -c \"from PIL import Image; im=Image.open(" +
                        shellQuote(file) + "); im.load(); print(im.size, im.mode)\"",
                    &size);
        EXPECT_NE(size.find("(123, 77) RGB"), std::string::npos) << size;
    }
}

TEST_F(JpegTest, MatchesCjpegBytesForTheSameQuality) {
    SKIP_WITHOUT("cjpeg");
    Bitmap bmp = pwtest::makeTestBitmap(64, 48, 5);
    auto ppm = dir / "in.ppm";
    {
        auto rgb = fmtest::toRgb(bmp);
        std::string head = "P6\n64 48\n255\n";
        std::vector<uint8_t> bytes(head.begin(), head.end());
        bytes.insert(bytes.end(), rgb.rgb.begin(), rgb.rgb.end());
        pwtest::writeFile(ppm, bytes);
    }
    for (int q : {70, 90}) {
        SCOPED_TRACE(q);
        auto out = dir / "c.jpg";
        ASSERT_EQ(fmtest::run("cjpeg -quality " + std::to_string(q) + " -outfile " +
                              shellQuote(out) + " " + shellQuote(ppm)),
                  0);
        EXPECT_EQ(encodeBitmap(bmp, q), pwtest::readFile(out));
    }
}

TEST_F(JpegTest, DecodesLikeDjpeg) {
    SKIP_WITHOUT("djpeg");
    auto file = dir / "a.jpg";
    pwtest::writeFile(file, encodeBitmap(pwtest::makeTestBitmap(101, 67, 3), 85));
    TJPEGImage jpeg;
    jpeg.loadFromBytes(pwtest::readFile(file));
    EXPECT_EQ(jpeg.width(), 101);
    EXPECT_EQ(jpeg.height(), 67);
    EXPECT_FALSE(jpeg.ProgressiveSave);
    EXPECT_EQ(jpeg.bitmap().pixelFormat(), pf24bit);
    expectSameAsDjpeg(file, "", jpeg);

    TJPEGImage fast;
    fast.FastDecode = 1;
    fast.BlockSmoothing = false;
    fast.loadFromBytes(pwtest::readFile(file));
    expectSameAsDjpeg(file, "-dct fast", fast);
}

TEST_F(JpegTest, ProgressiveFileKeepsProgressionOnReencode) {
    SKIP_WITHOUT("djpeg");
    auto file = dir / "p.jpg";
    pwtest::writeFile(file, encodeBitmap(pwtest::makeTestBitmap(80, 60, 9), 80, true));
    auto bytes = pwtest::readFile(file);
    ASSERT_TRUE(hasMarker(bytes, 0xC2));

    TJPEGImage jpeg;
    jpeg.loadFromBytes(bytes);
    EXPECT_TRUE(jpeg.ProgressiveSave);
    expectSameAsDjpeg(file, "", jpeg);

    Bitmap edited = jpeg.bitmap();
    jpeg.assign(edited);
    EXPECT_TRUE(hasMarker(jpeg.saveToBytes(), 0xC2));
    TJPEGImage fresh;
    fresh.assign(edited);
    EXPECT_TRUE(hasMarker(fresh.saveToBytes(), 0xC0));

    // Incremental decoding shows interim scans but ends with the same picture.
    TJPEGImage incremental;
    incremental.IncrementalDecode = true;
    int reports = 0;
    incremental.OnProgress = [&](Graphic&, TProgressStage, int, bool, const QRect&,
                                 const std::string&) { ++reports; };
    incremental.loadFromBytes(bytes);
    expectSameAsDjpeg(file, "", incremental);
    EXPECT_GE(reports, 2);

    // The same with quantized output: the palette is the final pass's colour map, taken
    // before the codec releases it.
    TJPEGImage quantized;
    quantized.IncrementalDecode = true;
    quantized.OutputDepth = 1;
    quantized.loadFromBytes(bytes);
    const Bitmap& q = quantized.bitmap();
    ASSERT_EQ(q.pixelFormat(), pf8bit);
    ASSERT_GT(q.palette().size(), 16);
    EXPECT_LE(q.palette().size(), 236);
    expectSameAsDjpeg(file, "-colors 236", quantized);
}

TEST_F(JpegTest, GreyscaleDecodesToQuantizedGreys) {
    SKIP_WITHOUT("djpeg");
    TJPEGImage enc;
    enc.GrayOutput = true;
    enc.assign(pwtest::makeTestBitmap(90, 50, 4));
    auto file = dir / "g.jpg";
    pwtest::writeFile(file, enc.saveToBytes());
    EXPECT_TRUE(enc.data().Grayscale);

    TJPEGImage jpeg;
    jpeg.loadFromBytes(pwtest::readFile(file));
    EXPECT_TRUE(jpeg.data().Grayscale);
    const Bitmap& bmp = jpeg.bitmap();
    ASSERT_EQ(bmp.pixelFormat(), pf8bit);
    EXPECT_LE(bmp.palette().size(), 236);
    for (const Rgb& c : bmp.palette().entries())
        EXPECT_TRUE(c.r == c.g && c.g == c.b);
    expectSameAsDjpeg(file, "-colors 236", jpeg);
}

TEST_F(JpegTest, PaletteScreenDecodesTo236Colours) {
    SKIP_WITHOUT("djpeg");
    ScreenInfo screen;
    screen.bitsPerPixel = 8;
    setScreenInfo(screen);
    InitJpegDefaultsFromScreen();
    auto file = dir / "c.jpg";
    pwtest::writeFile(file, encodeBitmap(pwtest::makeTestBitmap(70, 40, 2), 90));
    TJPEGImage jpeg;
    EXPECT_EQ(jpeg.OutputDepth, 1);
    jpeg.loadFromBytes(pwtest::readFile(file));
    ASSERT_EQ(jpeg.bitmap().pixelFormat(), pf8bit);
    EXPECT_LE(jpeg.bitmap().palette().size(), 236);
    expectSameAsDjpeg(file, "-colors 236", jpeg);
}

TEST_F(JpegTest, SharingAndEquality) {
    TJPEGImage a;
    a.loadFromBytes(encodeBitmap(pwtest::makeTestBitmap(20, 10), 90));
    TJPEGImage b;
    b.Quality = 30;
    b.assign(a);
    EXPECT_TRUE(a.equals(b));
    EXPECT_TRUE(b.equals(a));
    EXPECT_EQ(&a.data(), &b.data());
    EXPECT_EQ(b.Quality, 30) << "assignment keeps the target's settings";
    EXPECT_EQ(b.width(), 20);

    auto c = a.clone();
    EXPECT_TRUE(a.equals(*c));
    b.assign(pwtest::makeTestBitmap(20, 10));
    EXPECT_FALSE(a.equals(b));
    EXPECT_FALSE(b.data().Data.has_value());

    Bitmap target;
    a.assignTo(target);
    EXPECT_EQ(target.width(), 20);
    EXPECT_EQ(target.pixelFormat(), pf24bit);
}

TEST_F(JpegTest, ABufferTakenOverReadsAsTheSameBytes) {
    const std::vector<uint8_t> file = encodeBitmap(pwtest::makeTestBitmap(33, 17, 2), 85);
    TJPEGImage copied;
    copied.loadFromBytes(file);
    TJPEGImage taken;
    std::vector<uint8_t> buffer = file;
    const uint8_t* bytes = buffer.data();
    taken.loadFromBuffer(std::move(buffer));
    ASSERT_TRUE(taken.data().Data);
    EXPECT_EQ(taken.data().Data->data(), bytes) << "moved in, not copied";
    EXPECT_EQ(taken.width(), 33);
    EXPECT_EQ(taken.saveToBytes(), file);
    EXPECT_TRUE(pwtest::sameBitmap(taken.bitmap(), copied.bitmap()));
    // The decoded picture can be handed over; the next use decodes again.
    Bitmap released = taken.releaseBitmap();
    EXPECT_FALSE(taken.hasBitmap());
    EXPECT_TRUE(pwtest::sameBitmap(released, copied.bitmap()));
    EXPECT_TRUE(pwtest::sameBitmap(taken.bitmap(), copied.bitmap()));
    EXPECT_TRUE(TJPEGImage().releaseBitmap().empty());

    // A refused file leaves the picture and the caller's bytes as they were.
    std::vector<uint8_t> broken{0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    EXPECT_ANY_THROW(taken.loadFromBuffer(std::move(broken)));
    EXPECT_EQ(broken, (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0x00}));
    EXPECT_EQ(taken.width(), 33);
    EXPECT_EQ(taken.saveToBytes(), file);
}

TEST_F(JpegTest, EmptyStreamIsNotEmptyButFailsToDecode) {
    TJPEGImage jpeg;
    EXPECT_TRUE(jpeg.empty());
    jpeg.loadFromBytes({});
    EXPECT_FALSE(jpeg.empty());
    EXPECT_EQ(jpeg.width(), 0);
    EXPECT_EQ(jpeg.height(), 0);
    EXPECT_THROW(jpeg.bitmap(), EJPEG);
}

TEST_F(JpegTest, RefusesResizingAndUnknownSources) {
    TJPEGImage jpeg;
    try {
        jpeg.setWidth(10);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "JPEG イメージのサイズは変更できません");
    }
    EXPECT_THROW(jpeg.setHeight(10), EInvalidGraphicOperation);
    // A graphic of another family is refused.
    class Foreign : public Graphic {
    public:
        int width() const override { return 1; }
        int height() const override { return 1; }
        void setWidth(int) override {}
        void setHeight(int) override {}
        void paint(QPainter&, const QRectF&) const override {}
        std::unique_ptr<Graphic> clone() const override { return nullptr; }
        void assign(const Graphic&) override {}
        void loadFromBytes(std::span<const uint8_t>) override {}
        std::vector<uint8_t> saveToBytes() const override { return {}; }
        const char* className() const override { return "TForeign"; }
    } foreign;
    EXPECT_THROW(jpeg.assign(foreign), EConvertError);
}

TEST_F(JpegTest, CorruptAndOversizedFilesAreRefused) {
    auto good = encodeBitmap(pwtest::makeTestBitmap(16, 16), 90);
    TJPEGImage jpeg;
    // Not a JPEG at all: the header cannot be read.
    std::vector<uint8_t> junk = {'G', 'I', 'F', '8', '9', 'a', 0, 0};
    try {
        jpeg.loadFromBytes(junk);
        FAIL();
    } catch (const EJPEG& e) {
        EXPECT_EQ(std::string(e.what()).rfind("JPEG エラー #", 0), 0u) << e.what();
    }
    // A header cut short.
    std::vector<uint8_t> cut(good.begin(), good.begin() + 30);
    EXPECT_THROW(jpeg.loadFromBytes(cut), EJPEG);
    // A frame header claiming 65000 × 65000 pixels.
    auto huge = good;
    for (size_t i = 2; i + 9 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = 0xFD;
            huge[i + 6] = 0xE8;
            huge[i + 7] = 0xFD;
            huge[i + 8] = 0xE8;
            break;
        }
    EXPECT_THROW(jpeg.loadFromBytes(huge), EPictureTooLarge);
    // The refused loads left the picture as it was (empty).
    EXPECT_TRUE(jpeg.empty());
}

TEST_F(JpegTest, EndlessScansAreCut) {
    // A progressive file whose last scan is repeated: libjpeg only warns about the
    // inconsistent progression, so the scan limit must stop it.
    auto bytes = encodeBitmap(pwtest::makeTestBitmap(16, 16), 90, true);
    ASSERT_GE(bytes.size(), 4u);
    size_t lastSos = 0;
    for (size_t i = 2; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) lastSos = i;
    ASSERT_GT(lastSos, 0u);
    std::vector<uint8_t> scan(bytes.begin() + static_cast<ptrdiff_t>(lastSos), bytes.end() - 2);
    std::vector<uint8_t> many(bytes.begin(), bytes.end() - 2);
    for (int i = 0; i < TJPEGImage::kMaxScans + 10; ++i)
        many.insert(many.end(), scan.begin(), scan.end());
    many.push_back(0xFF);
    many.push_back(0xD9);
    TJPEGImage jpeg;
    jpeg.loadFromBytes(many);
    EXPECT_THROW(jpeg.bitmap(), EJPEG);
}

TEST_F(JpegTest, AbortDuringEncodingLeavesNoData) {
    TJPEGImage jpeg;
    jpeg.assign(pwtest::makeTestBitmap(32, 32));
    jpeg.OnProgress = [](Graphic&, TProgressStage stage, int, bool, const QRect&,
                         const std::string&) {
        if (stage == psStarting) throw EAbort();
    };
    EXPECT_THROW(jpeg.saveToBytes(), EAbort);
    EXPECT_FALSE(jpeg.data().Data.has_value());
    jpeg.OnProgress = nullptr;
    EXPECT_FALSE(jpeg.saveToBytes().empty());
}

TEST_F(JpegTest, FormDataAndRegistryRoundTrip) {
    TJPEGImage a;
    a.assign(pwtest::makeTestBitmap(30, 20));
    auto form = a.writeData();
    TJPEGImage b;
    EXPECT_EQ(b.readData(form), form.size());
    EXPECT_EQ(b.width(), 30);
    EXPECT_EQ(b.saveToBytes(), a.saveToBytes());
    form.pop_back();
    EXPECT_THROW(b.readData(form), EInvalidGraphic);

    Picture pic;
    pic.assign(&a);
    auto path = dir / "reg.JPG";
    pic.saveToFile(path);
    Picture back;
    back.loadFromFile(path);
    ASSERT_NE(back.as<TJPEGImage>(), nullptr);
    EXPECT_EQ(back.width(), 30);
    ASSERT_NE(Picture::findFileFormat("jpeg"), nullptr);
    EXPECT_EQ(Picture::findFileFormat("jpeg")->description, "JPEG イメージファイル");
}

// CMYK files (as prepress programs write them, with the Adobe marker) open as 24-bit
// pictures with their colours, and ImageMagick agrees on the pixels within rounding.
TEST_F(JpegTest, CmykFilesOpenWithTheirColours) {
    SKIP_WITHOUT("convert");
    auto file = dir / "cmyk.jpg";
    ASSERT_EQ(fmtest::run("convert -size 16x8 xc:'rgb(200,100,50)' -size 16x8 xc:'rgb(20,180,240)' "
                          "-append -colorspace CMYK -quality 100 " +
                          shellQuote(file)),
              0);
    TJPEGImage jpeg;
    jpeg.loadFromBytes(pwtest::readFile(file));
    const Bitmap& bmp = jpeg.bitmap();
    ASSERT_EQ(bmp.pixelFormat(), pf24bit);
    ASSERT_EQ(bmp.width(), 16);
    ASSERT_EQ(bmp.height(), 16);
    auto out = dir / "im.ppm";
    ASSERT_EQ(fmtest::run("convert " + shellQuote(file) + " -colorspace sRGB " + shellQuote(out)),
              0);
    auto theirs = fmtest::readPnm(out);
    auto mine = fmtest::toRgb(bmp);
    ASSERT_EQ(mine.rgb.size(), theirs.rgb.size());
    int worst = 0;
    for (size_t i = 0; i < mine.rgb.size(); ++i)
        worst = std::max(worst, std::abs(int(mine.rgb[i]) - int(theirs.rgb[i])));
    EXPECT_LE(worst, 3);
    // The top half is still clearly the orange it was made from.
    const uint8_t* px = bmp.scanLine(2) + 3 * 2;
    EXPECT_NEAR(px[2], 200, 6);
    EXPECT_NEAR(px[1], 100, 6);
    EXPECT_NEAR(px[0], 50, 6);
}
