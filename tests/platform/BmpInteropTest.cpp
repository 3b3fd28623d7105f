// Bitmap files against two independent readers and writers: ImageMagick's convert and
// Pillow. Every variant they write must read here with their pixels, and every file
// written here must read in both with ours. Skipped when a tool is missing, unless
// PW_REQUIRE_TOOLS=1 makes that a failure.
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

namespace {

const char* kPython = "/usr/bin/python3";

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool haveMagick() {
    return pwtest::haveToolBy("ImageMagick's convert (with BMP3)",
                              "convert -version && convert -list format | grep -q BMP3");
}
bool havePillow() {
    return pwtest::havePillow();
}

void writePpm(const Bitmap& bmp, const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << bmp.width() << " " << bmp.height() << "\n255\n";
    for (int y = 0; y < bmp.height(); ++y)
        for (int x = 0; x < bmp.width(); ++x) {
            uint32_t c = bmp.pixelColor(x, y);
            char px[3] = {char(GetRValue(c)), char(GetGValue(c)), char(GetBValue(c))};
            out.write(px, 3);
        }
}

enum class Reader { Magick, Pillow };

// The RGB bytes another reader gets from a file, or empty when it failed.
std::vector<uint8_t> decodeWith(Reader reader, const std::filesystem::path& file,
                                const pwtest::TempDir& dir) {
    auto raw = dir / "decoded.rgb";
    std::filesystem::remove(raw);
    bool ok = false;
    if (reader == Reader::Magick) {
        ok = run("convert '" + file.string() + "' -alpha off -depth 8 rgb:'" + raw.string() + "'");
    } else {
        ok = run(std::string(kPython) +
                 " -c \"import sys; from PIL import Image; "
                 "open(sys.argv[2], 'wb').write(Image.open(sys.argv[1])"
                 ".convert('RGB').tobytes())\" '" +
                 file.string() + "' '" + raw.string() + "'");
    }
    return ok ? pwtest::readFile(raw) : std::vector<uint8_t>();
}

// How a reader's pixels must agree: exactly, or on the bits of a 16-bit file. Pillow widens
// 5- and 6-bit channels as v * 255 / 31 (or 63); here the high bits are repeated, as
// ImageMagick does. Both agree on the bits the file holds.
enum class Match { Exact, Bits555, Bits565 };

Match matchFor(PixelFormat f) {
    return f == pf15bit ? Match::Bits555 : f == pf16bit ? Match::Bits565 : Match::Exact;
}

::testing::AssertionResult samePixels(const Bitmap& bmp, const std::vector<uint8_t>& rgb,
                                      Match match) {
    size_t need = size_t(bmp.width()) * size_t(bmp.height()) * 3;
    if (rgb.size() != need)
        return ::testing::AssertionFailure() << "decoded " << rgb.size() << " bytes, want " << need;
    for (int y = 0; y < bmp.height(); ++y)
        for (int x = 0; x < bmp.width(); ++x) {
            const uint8_t* p = &rgb[(size_t(y) * size_t(bmp.width()) + size_t(x)) * 3];
            uint32_t c = bmp.pixelColor(x, y);
            uint8_t r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
            int gs = match == Match::Bits565 ? 2 : 3;
            bool same = match == Match::Exact
                            ? (r == p[0] && g == p[1] && b == p[2])
                            : (r >> 3 == p[0] >> 3 && g >> gs == p[1] >> gs && b >> 3 == p[2] >> 3);
            if (!same)
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << ": ours " << int(r) << "," << int(g) << ","
                       << int(b) << " theirs " << int(p[0]) << "," << int(p[1]) << "," << int(p[2]);
        }
    return ::testing::AssertionSuccess();
}

struct Variant {
    const char* name;
    Reader writer;
    std::string command; // {in} and {out} are replaced
    PixelFormat expected;
};

std::string fill(std::string s, const std::string& in, const std::string& out) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"{in}", in}, {"{out}", out}}) {
        for (size_t at; (at = s.find(key)) != std::string::npos;)
            s.replace(at, key.size(), value);
    }
    return s;
}

std::string pil(const std::string& body) {
    return std::string(kPython) + " -c \"from PIL import Image; im = Image.open('{in}'); " + body +
           "\"";
}

} // namespace

TEST(BmpInterop, OtherWritersVariantsReadWithTheirPixels) {
    const Variant variants[] = {
        {"magick 1-bit", Reader::Magick, "convert '{in}' -type bilevel BMP3:'{out}'", pf1bit},
        {"magick 4-bit", Reader::Magick, "convert '{in}' -colors 16 BMP3:'{out}'", pf4bit},
        {"magick 8-bit", Reader::Magick, "convert '{in}' -colors 200 BMP3:'{out}'", pf8bit},
        {"magick grey 8-bit", Reader::Magick,
         "convert '{in}' -colorspace gray -colors 256 BMP3:'{out}'", pf8bit},
        {"magick 24-bit", Reader::Magick, "convert '{in}' -type truecolor BMP3:'{out}'", pf24bit},
        {"magick 32-bit V5", Reader::Magick, "convert '{in}' -alpha on BMP:'{out}'", pf32bit},
        {"magick 16-bit 565", Reader::Magick,
         "convert '{in}' -define bmp:subtype=RGB565 BMP:'{out}'", pf16bit},
        {"magick 16-bit 555", Reader::Magick,
         "convert '{in}' -define bmp:subtype=RGB555 BMP:'{out}'", pf15bit},
        {"magick RLE8", Reader::Magick, "convert '{in}' -colors 100 -compress RLE BMP3:'{out}'",
         pf8bit},
        {"magick OS/2", Reader::Magick, "convert '{in}' BMP2:'{out}'", pf24bit},
        {"magick OS/2 8-bit", Reader::Magick, "convert '{in}' -colors 50 BMP2:'{out}'", pf8bit},
        {"pillow 1-bit", Reader::Pillow, pil("im.convert('1').save('{out}')"), pf1bit},
        {"pillow 8-bit", Reader::Pillow, pil("im.convert('P').save('{out}')"), pf8bit},
        {"pillow grey", Reader::Pillow, pil("im.convert('L').save('{out}')"), pf8bit},
        {"pillow 24-bit", Reader::Pillow, pil("im.save('{out}')"), pf24bit},
        {"pillow 32-bit", Reader::Pillow, pil("im.convert('RGBA').save('{out}')"), pf32bit},
    };
    pwtest::TempDir dir;
    auto ppm = dir / "source.ppm";
    // An odd width exercises row padding and partial bytes.
    writePpm(pwtest::makeTestBitmap(37, 23, 5), ppm);
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        if (v.writer == Reader::Magick ? !haveMagick() : !havePillow()) continue;
        auto file = dir / "variant.bmp";
        std::filesystem::remove(file);
        ASSERT_TRUE(run(fill(v.command, ppm.string(), file.string()))) << v.command;
        Bitmap bmp;
        bmp.loadFromBytes(pwtest::readFile(file));
        EXPECT_EQ(bmp.pixelFormat(), v.expected);
        ASSERT_EQ(bmp.width(), 37);
        ASSERT_EQ(bmp.height(), 23);
        if (haveMagick()) {
            EXPECT_TRUE(samePixels(bmp, decodeWith(Reader::Magick, file, dir), Match::Exact));
        }
        if (havePillow()) {
            EXPECT_TRUE(
                samePixels(bmp, decodeWith(Reader::Pillow, file, dir), matchFor(v.expected)));
        }
    }
    PW_SKIP_WITHOUT(haveMagick() && havePillow(), "convert or Pillow");
}

TEST(BmpInterop, FilesWrittenHereReadElsewhereWithOurPixels) {
    PW_SKIP_WITHOUT(haveMagick() || havePillow(), "convert and Pillow");
    pwtest::TempDir dir;
    const Bitmap src = pwtest::makeTestBitmap(29, 17, 9);
    for (PixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfDevice}) {
        SCOPED_TRACE(int(f));
        Bitmap bmp = src;
        bmp.setPixelFormat(f);
        auto file = dir / "ours.bmp";
        pwtest::writeFile(file, bmp.saveToBytes());
        Bitmap back;
        back.loadFromBytes(pwtest::readFile(file));
        EXPECT_TRUE(pwtest::sameBitmap(back, f == pfDevice ? [&] {
            Bitmap dib = bmp;
            dib.setHandleType(bmDIB);
            return dib;
        }() : bmp));
        if (haveMagick()) {
            EXPECT_TRUE(samePixels(bmp, decodeWith(Reader::Magick, file, dir), Match::Exact));
        }
        if (havePillow()) {
            EXPECT_TRUE(samePixels(bmp, decodeWith(Reader::Pillow, file, dir), matchFor(f)));
        }
    }
}
