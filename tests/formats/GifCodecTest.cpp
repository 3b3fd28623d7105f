#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "FormatsTestSupport.h"
#include "formats/GIFCodec.h"
#include "formats/GIFImage.h"
#include "platform/Limits.h"
#include "platform/Picture.h"
#include "support/TestSupport.h"

using fmtest::shellQuote;

namespace {

struct Warnings {
    std::vector<std::string> list;
    void attach(TGIFImage& gif) {
        gif.OnGifWarning = [this](TGIFImage&, TGIFSeverity, const std::string& m) {
            list.push_back(m);
        };
    }
    bool has(const std::string& m) const {
        return std::find(list.begin(), list.end(), m) != list.end();
    }
};

std::string gifError(const std::vector<uint8_t>& bytes) {
    TGIFImage gif;
    try {
        gif.loadFromBytes(bytes);
    } catch (const GIFException& e) {
        return e.what();
    }
    return "";
}

// A one-frame image of the given indices with a 4-colour table.
TGIFImage smallImage(int w, int h, bool interlaced = false) {
    TGIFImage gif;
    auto f = std::make_unique<TGIFSubImage>(&gif);
    f->Width = static_cast<uint16_t>(w);
    f->Height = static_cast<uint16_t>(h);
    f->ColorMap.Colors = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    f->setInterlaced(interlaced);
    for (int i = 0; i < w * h; ++i)
        f->Data.push_back(static_cast<uint8_t>((i * 7 / 3) % 4));
    gif.Images.push_back(std::move(f));
    gif.growScreen(false);
    return gif;
}

// Hand-made GIF: header, screen, optional global table of 4 colours, then body.
std::vector<uint8_t> makeGif(uint16_t w, uint16_t h, const std::vector<uint8_t>& body,
                             bool global = true) {
    std::vector<uint8_t> b = {'G',
                              'I',
                              'F',
                              '8',
                              '9',
                              'a',
                              uint8_t(w),
                              uint8_t(w >> 8),
                              uint8_t(h),
                              uint8_t(h >> 8),
                              uint8_t(global ? 0x81 : 0),
                              0,
                              0};
    if (global)
        for (int i = 0; i < 4; ++i)
            b.insert(b.end(), {uint8_t(i * 80), uint8_t(i * 40), uint8_t(255 - i * 80)});
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::vector<uint8_t> descriptor(uint16_t l, uint16_t t, uint16_t w, uint16_t h, uint8_t flags = 0) {
    return {',',        uint8_t(l),      uint8_t(l >> 8), uint8_t(t),      uint8_t(t >> 8),
            uint8_t(w), uint8_t(w >> 8), uint8_t(h),      uint8_t(h >> 8), flags};
}

} // namespace

TEST(GifCodec, RoundTripsFramesIncludingInterlacedAndBothEncoders) {
    for (int encoder : {0, 1})
        for (bool interlaced : {false, true})
            for (auto [w, h] : {std::pair{1, 1}, {3, 3}, {17, 9}, {300, 211}}) {
                SCOPED_TRACE(testing::Message()
                             << encoder << " " << interlaced << " " << w << "x" << h);
                TGIFImage gif = smallImage(w, h, interlaced);
                gif.EncoderKind = static_cast<uint8_t>(encoder);
                auto bytes = gif.saveToBytes();
                TGIFImage back;
                back.loadFromBytes(bytes);
                ASSERT_EQ(back.Images.size(), 1u);
                EXPECT_EQ(back.Images[0]->Data, gif.Images[0]->Data);
                EXPECT_EQ(back.Images[0]->interlaced(), interlaced);
            }
}

TEST(GifCodec, LongRunsPassTheTableClear) {
    // A noisy 256-colour picture fills the string table many times over.
    TGIFImage gif;
    auto f = std::make_unique<TGIFSubImage>(&gif);
    f->Width = 640;
    f->Height = 480;
    for (int i = 0; i < 256; ++i)
        f->ColorMap.Colors.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 3)});
    uint32_t seed = 7;
    for (int i = 0; i < 640 * 480; ++i) {
        seed = seed * 1103515245 + 12345;
        f->Data.push_back(static_cast<uint8_t>(i % 640 < 320 ? (seed >> 16) : (i / 640) & 0xFF));
    }
    gif.Images.push_back(std::move(f));
    gif.growScreen(false);
    TGIFImage back;
    back.loadFromBytes(gif.saveToBytes());
    EXPECT_EQ(back.Images[0]->Data, gif.Images[0]->Data);
}

TEST(GifCodec, InterlacedRowOrder) {
    EXPECT_EQ(interlacedRowOrder(3), (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(interlacedRowOrder(10), (std::vector<int>{0, 8, 4, 2, 6, 1, 3, 5, 7, 9}));
    // Decoding an interlaced frame of height 3 fills rows 0, 2, 1 in that order.
    TGIFImage gif = smallImage(2, 3, true);
    auto& d = gif.Images[0]->Data;
    d = {0, 0, 1, 1, 2, 2};
    auto bytes = gif.saveToBytes();
    TGIFImage back;
    back.loadFromBytes(bytes);
    EXPECT_EQ(back.Images[0]->Data, d);
}

TEST(GifCodec, SignatureAndPrefix) {
    auto good = smallImage(4, 4).saveToBytes();
    std::vector<uint8_t> prefixed = {1, 2, 3, 4};
    prefixed.insert(prefixed.end(), good.begin(), good.end());
    TGIFImage gif;
    gif.loadFromBytes(prefixed);
    EXPECT_EQ(gif.width(), 4);
    auto bad = good;
    bad[0] = 'X';
    EXPECT_EQ(gifError(bad), "Invalid GIF signature");
    EXPECT_EQ(gifError({}), "Invalid GIF signature");
    // Lower-case signatures are accepted.
    auto lower = good;
    lower[0] = 'g';
    EXPECT_EQ(gifError(lower), "");
}

TEST(GifCodec, VersionAndEmptyImage) {
    TGIFImage empty;
    EXPECT_EQ(
        [&] {
            try {
                empty.saveToBytes();
            } catch (const GIFException& e) {
                return std::string(e.what());
            }
            return std::string();
        }(),
        TGIFImage::kEmptyImageMessage);
    EXPECT_THROW(empty.version(), GIFException);
    TGIFImage plain = smallImage(4, 4);
    auto bytes = plain.saveToBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF87a");
    plain.Images[0]->Extensions.push_back(std::make_unique<TGIFCommentExtension>());
    bytes = plain.saveToBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), "GIF89a");
}

TEST(GifCodec, OneSizeRuleForReportingAndRendering) {
    // A 4 × 4 screen without any frame, and one with only a comment: nothing to show,
    // so the picture is 0 × 0 both when asked its size and when rendered.
    for (const std::vector<uint8_t>& body :
         {std::vector<uint8_t>{';'}, std::vector<uint8_t>{'!', 0xFE, 2, 'h', 'i', 0, ';'}}) {
        TGIFImage gif;
        gif.loadFromBytes(makeGif(4, 4, body));
        EXPECT_TRUE(gif.empty());
        EXPECT_EQ(gif.width(), 0);
        EXPECT_EQ(gif.height(), 0);
        EXPECT_TRUE(gif.bitmap().empty());
    }
    // A picture whose first frame is empty but a later one has pixels renders at the
    // size it reports: the screen's.
    uint32_t bits = 4 | (1 << 3) | (2 << 6);
    std::vector<uint8_t> body = {'!', 0xFE, 2, 'h', 'i', 0, 0};
    auto d = descriptor(1, 1, 2, 1);
    body.insert(body.end(), d.begin(), d.end());
    body.insert(body.end(), {2, 2, uint8_t(bits), uint8_t(bits >> 8), 0, ';'});
    TGIFImage late;
    late.loadFromBytes(makeGif(5, 3, body));
    ASSERT_EQ(late.Images.size(), 2u);
    EXPECT_TRUE(late.Images[0]->empty());
    EXPECT_EQ(late.width(), 5);
    EXPECT_EQ(late.bitmap().width(), 5);
    EXPECT_EQ(late.bitmap().height(), 3);
}

TEST(GifCodec, ShortDataAndZeroSizedFrames) {
    // Frame 4 × 2 whose data holds only a Clear, two literal pixels and nothing more.
    // Code size 2: clear = 4, codes 3 bits: 4, 1, 2 -> bits 100 001 010.
    uint32_t bits = 4 | (1 << 3) | (2 << 6);
    std::vector<uint8_t> body = descriptor(0, 0, 4, 2);
    body.insert(body.end(), {2, 2, uint8_t(bits), uint8_t(bits >> 8), 0, ';'});
    Warnings w;
    TGIFImage gif;
    w.attach(gif);
    gif.loadFromBytes(makeGif(4, 2, body));
    ASSERT_EQ(gif.Images.size(), 1u);
    // After 1 and 2 the zero padding bits still read as two codes for index 0.
    EXPECT_EQ(gif.Images[0]->Data, (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(w.has("Decoder bit buffer under-run"));

    // The same with a transparent index: uncovered pixels take it.
    std::vector<uint8_t> gce = {'!', 0xF9, 4, 1, 0, 0, 3, 0};
    gce.insert(gce.end(), body.begin(), body.end());
    TGIFImage t;
    t.loadFromBytes(makeGif(4, 2, gce));
    EXPECT_EQ(t.Images[0]->Data, (std::vector<uint8_t>{1, 2, 0, 0, 3, 3, 3, 3}));
    EXPECT_TRUE(t.Images[0]->Transparent);

    // Zero width takes the logical screen's size.
    std::vector<uint8_t> zero = descriptor(0, 0, 0, 2);
    zero.insert(zero.end(), {2, 2, uint8_t(bits), uint8_t(bits >> 8), 0, ';'});
    Warnings w2;
    TGIFImage z;
    w2.attach(z);
    z.loadFromBytes(makeGif(5, 3, zero));
    EXPECT_EQ(z.Images[0]->Width, 5);
    EXPECT_EQ(z.Images[0]->Height, 3);
    EXPECT_TRUE(w2.has("Image exceeds Logical Screen size"));

    // Data cut off in the middle of a sub-block, and no trailer.
    std::vector<uint8_t> cut = descriptor(0, 0, 4, 2);
    cut.insert(cut.end(), {2, 9, uint8_t(bits)});
    Warnings w3;
    TGIFImage c;
    w3.attach(c);
    c.loadFromBytes(makeGif(4, 2, cut));
    EXPECT_TRUE(w3.has("Premature end of data"));
    EXPECT_TRUE(w3.has("Invalid Image trailer"));
}

TEST(GifCodec, MalformedInputIsRefused) {
    uint32_t bits = 4 | (7 << 3); // Clear, then code 7 when the next free code is 6
    std::vector<uint8_t> beyond = descriptor(0, 0, 4, 2);
    beyond.insert(beyond.end(), {2, 2, uint8_t(bits), uint8_t(bits >> 8), 0, ';'});
    EXPECT_EQ(gifError(makeGif(4, 2, beyond)), "Invalid GIF data");

    std::vector<uint8_t> unknownExt = {'!', 0x02, 0, ';'};
    EXPECT_EQ(gifError(makeGif(4, 2, unknownExt)), "Unknown extension type");

    std::vector<uint8_t> shortApp = {'!', 0xFF, 5, 'A', 'B', 'C', 'D', 'E', 0, ';'};
    EXPECT_EQ(gifError(makeGif(4, 2, shortApp)), "Unsupported Application Extension block size");

    std::vector<uint8_t> badLoop = {'!', 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A',
                                    'P', 'E',  '2', '.', '0', 1,   1,   0,   ';'};
    EXPECT_EQ(gifError(makeGif(4, 2, badLoop)), "Invalid GIF data");

    // A global table cut short.
    auto header = makeGif(4, 2, {});
    header.resize(header.size() - 3);
    EXPECT_EQ(gifError(header), "Premature end of data");

    // A frame far outside a small screen makes the screen larger than the limits allow.
    std::vector<uint8_t> far = descriptor(65000, 65000, 1000, 1000);
    far.insert(far.end(), {2, 0, ';'});
    TGIFImage gif;
    EXPECT_THROW(gif.loadFromBytes(makeGif(4, 2, far)), EPictureTooLarge);
    EXPECT_TRUE(gif.empty()) << "a refused file leaves the image as it was";

    // Unknown block type ends the reading with a warning.
    Warnings w;
    TGIFImage junk;
    w.attach(junk);
    junk.loadFromBytes(makeGif(4, 2, {'#', 1, 2}));
    EXPECT_TRUE(w.has("Unknown GIF block type"));
}

TEST(GifCodec, ExtensionsAreKeptAndWrittenBack) {
    std::vector<uint8_t> body = {'!', 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 2, 'x', 'y', 0};
    std::vector<uint8_t> unknown = {'!', 0xFF, 11,  'P', 'I', 'X', 'E', 'L', 'W', 'R', 'T',
                                    '1', '.',  '0', 3,   'a', 'b', 'c', 1,   'z', 0};
    std::vector<uint8_t> loop = {'!', 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A', 'P',
                                 'E', '2',  '.', '0', 3,   1,   3,   0,   0};
    std::vector<uint8_t> gce = {'!', 0xF9, 4, 0x09, 20, 0, 2, 0};
    body.insert(body.end(), unknown.begin(), unknown.end());
    body.insert(body.end(), loop.begin(), loop.end());
    body.insert(body.end(), gce.begin(), gce.end());
    auto desc = descriptor(0, 0, 2, 1);
    body.insert(body.end(), desc.begin(), desc.end());
    uint32_t bits = 4 | (1 << 3) | (2 << 6) | (5 << 9);
    body.insert(body.end(), {2, 2, uint8_t(bits), uint8_t(bits >> 8), 0});
    // A comment after the last frame.
    body.insert(body.end(), {'!', 0xFE, 3, 'e', 'n', 'd', 0, ';'});
    auto file = makeGif(2, 1, body);

    TGIFImage gif;
    gif.loadFromBytes(file);
    ASSERT_EQ(gif.Images.size(), 2u);
    auto& f = *gif.Images[0];
    ASSERT_EQ(f.Extensions.size(), 4u);
    auto* comment = dynamic_cast<TGIFCommentExtension*>(f.Extensions[0].get());
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(comment->Text, (std::vector<std::string>{"hello", "xy"}));
    auto* app = dynamic_cast<TGIFUnknownAppExtension*>(f.Extensions[1].get());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->identifier(), "PIXELWRT1.0");
    auto* ns = dynamic_cast<TGIFAppExtNSLoop*>(f.Extensions[2].get());
    ASSERT_NE(ns, nullptr);
    EXPECT_EQ(ns->Loops, 3);
    ASSERT_NE(f.GraphicControlExtension, nullptr);
    EXPECT_EQ(f.GraphicControlExtension->disposal(), 2);
    EXPECT_EQ(f.transparentIndex(), 2);
    EXPECT_TRUE(gif.Images[1]->empty());

    // Written back: every extension's bytes appear unchanged, the loop extension without
    // a buffer-size sub-block.
    auto out = gif.saveToBytes();
    auto contains = [&](const std::vector<uint8_t>& part) {
        return std::search(out.begin(), out.end(), part.begin(), part.end()) != out.end();
    };
    EXPECT_TRUE(contains({'!', 0xFE, 5, 'h', 'e', 'l', 'l', 'o', 2, 'x', 'y', 0}));
    EXPECT_TRUE(contains(unknown));
    EXPECT_TRUE(contains(loop));
    EXPECT_TRUE(contains(gce));
    EXPECT_TRUE(contains({'!', 0xFE, 3, 'e', 'n', 'd', 0, ';'}));
    EXPECT_EQ(std::string(out.begin(), out.begin() + 6), "GIF89a");

    ns->BufferSize = 0x01020304;
    out = gif.saveToBytes();
    EXPECT_TRUE(contains({3, 1, 3, 0, 5, 2, 4, 3, 2, 1, 0}));
}

TEST(GifCodec, ScreenFlagsDescribeTheTablesWritten) {
    // A 2-colour global table and a 256-colour local one: the size bits must announce
    // the global table actually written.
    TGIFImage gif = smallImage(4, 4);
    gif.Header.ColorMap.Colors = {{1, 2, 3}, {4, 5, 6}};
    gif.Images[0]->ColorMap.Colors.resize(256);
    auto bytes = gif.saveToBytes();
    EXPECT_EQ(bytes[10] & 0x87, 0x80);
    EXPECT_EQ((bytes[10] >> 4) & 7, 7);
    TGIFImage back;
    back.loadFromBytes(bytes);
    EXPECT_EQ(back.Header.ColorMap.count(), 2);
    EXPECT_EQ(back.Images[0]->Data, gif.Images[0]->Data);
}

TEST(GifCodec, ColorNotInTable) {
    TGIFImage gif = smallImage(2, 2);
    gif.Images[0]->Data[3] = 9;
    try {
        gif.saveToBytes();
        FAIL();
    } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), "Color not in color table");
    }
}

// ----- files of other programs -----

namespace {

// The first frame as ImageMagick decodes it (RGB bytes).
std::string magickPixels(const std::filesystem::path& file) {
    std::string out;
    fmtest::run("convert " + shellQuote(file) + " -coalesce -depth 8 rgba:- 2>/dev/null", &out);
    return out;
}

} // namespace

TEST(GifInterop, FilesOfOtherProgramsOpenAndWriteBackIntact) {
    SKIP_WITHOUT("convert");
    pwtest::TempDir dir;
    struct Case {
        const char* name;
        std::string command;
    };
    std::vector<Case> cases = {
        {"animated",
         "convert -delay 20 -loop 3 -size 30x20 xc:red -size 30x20 gradient:blue-yellow "
         "-size 30x20 plasma:fractal -seed 4 "},
        {"interlaced", "convert -size 45x31 gradient:red-blue -interlace GIF "},
        {"transparent", "convert -size 20x20 xc:none -fill blue -draw 'circle 10,10 5,5' "},
        {"commented", "convert -size 16x12 gradient:green-white -set comment 'a comment' "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto original = dir / (std::string(c.name) + ".gif");
        ASSERT_EQ(fmtest::run(c.command + shellQuote(original) + " 2>/dev/null"), 0);
        auto bytes = pwtest::readFile(original);
        if (std::string(c.name) == "commented") {
            // Add an application extension no program here knows before the first frame.
            std::vector<uint8_t> app = {'!', 0xFF, 11,  'X', 'Y', 'Z', 'Z', 'Y', 'P', 'R',
                                        'G', '1',  '.', '0', 4,   1,   2,   3,   4,   0};
            auto pos = std::find(bytes.begin() + 13, bytes.end(), ',');
            bytes.insert(pos, app.begin(), app.end());
            pwtest::writeFile(original, bytes);
        }
        TGIFImage gif;
        gif.loadFromBytes(bytes);
        auto rewritten = dir / (std::string(c.name) + "-ours.gif");
        pwtest::writeFile(rewritten, gif.saveToBytes());

        TGIFImage again;
        again.loadFromBytes(pwtest::readFile(rewritten));
        ASSERT_EQ(again.Images.size(), gif.Images.size());
        for (size_t i = 0; i < gif.Images.size(); ++i) {
            const auto& a = *gif.Images[i];
            const auto& b = *again.Images[i];
            EXPECT_EQ(a.Data, b.Data);
            EXPECT_EQ(a.ColorMap.Colors.size() == 0, b.ColorMap.Colors.size() == 0);
            ASSERT_EQ(a.Extensions.size(), b.Extensions.size());
            for (size_t k = 0; k < a.Extensions.size(); ++k) {
                std::vector<uint8_t> x, y;
                GifWriter wx(x), wy(y);
                a.Extensions[k]->save(wx);
                b.Extensions[k]->save(wy);
                EXPECT_EQ(x, y);
            }
        }
        EXPECT_EQ(magickPixels(original), magickPixels(rewritten));
        if (fmtest::haveTool("giftext")) {
            std::string text;
            EXPECT_EQ(fmtest::run("giftext " + shellQuote(rewritten) + " 2>&1", &text), 0);
            EXPECT_NE(text.find("GIF file terminated normally"), std::string::npos) << text;
        }
    }
}

TEST(GifInterop, PillowReadsOurFilesWithIdenticalPixels) {
    PW_SKIP_WITHOUT(fmtest::havePillow(), "Pillow");
    pwtest::TempDir dir;
    TGIFImage gif = smallImage(37, 23, true);
    auto file = dir / "ours.gif";
    pwtest::writeFile(file, gif.saveToBytes());
    std::string out;
    ASSERT_EQ(fmtest::run(
                  "/usr/bin/python3 -c \"from PIL import Image; im=Image.open(" + shellQuote(file) +
                      "); print(im.size, list(im.getdata())[:50] == list(im.getdata())[:50]); "
                      "print(bytes(im.getdata()).hex())\"",
                  &out),
              0);
    std::string expected;
    static const char* hex = "0123456789abcdef";
    for (uint8_t v : gif.Images[0]->Data) {
        expected += hex[v >> 4];
        expected += hex[v & 15];
    }
    EXPECT_NE(out.find("(37, 23)"), std::string::npos) << out;
    EXPECT_NE(out.find(expected), std::string::npos) << out;
}

TEST(GifInterop, RegistryReadsAndWritesGif) {
    pwtest::TempDir dir;
    TGIFImage gif = smallImage(8, 8);
    Picture pic;
    pic.assign(&gif);
    pic.saveToFile(dir / "x.gif");
    Picture back;
    back.loadFromFile(dir / "x.gif");
    ASSERT_NE(back.as<TGIFImage>(), nullptr);
    EXPECT_EQ(back.width(), 8);
    EXPECT_EQ(Picture::findFileFormat("gif")->description, "GIF Image");

    TGIFImage clip;
    clip.loadFromClipboardFormat("GIF Image", gif.saveToBytes());
    EXPECT_EQ(clip.width(), 8);
    Bitmap bmp = pwtest::makeTestBitmap(5, 3);
    clip.loadFromClipboardFormat("image/bmp", bmp.saveToBytes());
    EXPECT_EQ(clip.width(), 5);
    try {
        clip.loadFromClipboardFormat("text/plain", {});
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "未対応のクリップボード データです");
    }
}
