// Metafiles whose records lie: they are refused or skipped, never read past their bytes.
#include <cmath>
#include <limits>
#include <random>

#include <QImage>
#include <QPainter>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "platform/MetafileRecords.h"
#include "support/TestSupport.h"

namespace {

using mf::RecordWriter;

QImage play(const Metafile& m, int w = 50, int h = 50) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    m.paint(p, QRectF(0, 0, w, h));
    return img;
}

// A red brush filling (10, 10)–(30, 30), the control that valid records still draw.
void redSquare(std::vector<uint8_t>& rec) {
    RecordWriter w(rec);
    w.begin(U_EMR_CREATEBRUSHINDIRECT);
    w.u32(1);
    w.u32(U_BS_SOLID);
    w.u32(0x0000FF);
    w.u32(0);
    w.end();
    w.begin(U_EMR_SELECTOBJECT);
    w.u32(1);
    w.end();
    w.begin(U_EMR_SELECTOBJECT);
    w.u32(U_NULL_PEN);
    w.end();
    w.begin(U_EMR_RECTANGLE);
    for (int v : {10, 10, 30, 30})
        w.i32(v);
    w.end();
}

Metafile withRecords(std::vector<uint8_t> rec) {
    Metafile m;
    m.setRecording(std::move(rec), QRectF(0, 0, 50, 50), 4, 50, 50, 1323, 1323);
    return m;
}

std::vector<uint8_t> lyingRecords() {
    std::vector<uint8_t> rec;
    RecordWriter w(rec);
    // A polyline claiming 2^30 points in a record of two.
    w.begin(U_EMR_POLYLINE16);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    w.u32(0x40000000);
    w.u32(0);
    w.u32(0x00100010);
    w.end();
    // A poly-polygon whose counts overflow 32 bits when summed.
    w.begin(U_EMR_POLYPOLYGON16);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    w.u32(2);
    w.u32(4);
    w.u32(0xFFFFFFFF);
    w.u32(5);
    for (int i = 0; i < 4; ++i)
        w.u32(0);
    w.end();
    // Text whose string lies far outside the record.
    w.begin(U_EMR_EXTTEXTOUTW);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    w.u32(1);
    w.f32(0);
    w.f32(0);
    w.i32(5);
    w.i32(5);
    w.u32(1000);
    w.u32(0x7FFFFFF0);
    w.u32(0);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    w.u32(0x7FFFFFF0);
    w.end();
    // A bitmap whose rows need more bytes than the record holds.
    w.begin(U_EMR_STRETCHDIBITS);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    for (int v : {0, 0, 0, 0, 1000, 1000})
        w.i32(v);
    w.u32(80);
    w.u32(40);
    w.u32(120);
    w.u32(16);
    w.u32(0);
    w.u32(U_SRCCOPY);
    w.i32(50);
    w.i32(50);
    w.u32(40);
    w.i32(1000);
    w.i32(1000);
    w.u16(1);
    w.u16(24);
    for (int i = 0; i < 6; ++i)
        w.u32(0);
    for (int i = 0; i < 4; ++i)
        w.u32(0xFFFFFFFF);
    w.end();
    // Objects outside the table, a restore deeper than any save, a broken transform and a
    // font of a billion pixels.
    w.begin(U_EMR_SELECTOBJECT);
    w.u32(60000);
    w.end();
    w.begin(U_EMR_DELETEOBJECT);
    w.u32(0x7FFFFFFF);
    w.end();
    w.begin(U_EMR_CREATEPEN);
    w.u32(99999);
    w.end();
    w.begin(U_EMR_RESTOREDC);
    w.i32(std::numeric_limits<int32_t>::min());
    w.end();
    w.begin(U_EMR_SETWORLDTRANSFORM);
    for (float f : {std::nanf(""), 0.f, 0.f, 1.f, 0.f, 0.f})
        w.f32(f);
    w.end();
    w.begin(U_EMR_MODIFYWORLDTRANSFORM);
    for (float f : {0.f, 0.f, 0.f, 0.f, 0.f, 0.f})
        w.f32(f);
    w.u32(U_MWT_LEFTMULTIPLY);
    w.end();
    w.begin(U_EMR_EXTCREATEFONTINDIRECTW);
    w.u32(2);
    w.i32(-1000000000);
    for (int i = 0; i < 80; ++i)
        w.u8(0);
    w.end();
    w.begin(U_EMR_SELECTOBJECT);
    w.u32(2);
    w.end();
    // A region with more rectangles than bytes.
    w.begin(U_EMR_EXTSELECTCLIPRGN);
    w.u32(48);
    w.u32(1);
    w.u32(32);
    w.u32(1);
    w.u32(0x10000000);
    w.u32(0);
    for (int i = 0; i < 4; ++i)
        w.i32(0);
    w.end();
    // A record shorter than its fields.
    w.begin(U_EMR_ROUNDRECT);
    w.end();
    return rec;
}

} // namespace

TEST(MetafileRobustnessTest, LyingRecordsAreSkippedWhenPlayed) {
    std::vector<uint8_t> rec;
    redSquare(rec);
    std::vector<uint8_t> bad = lyingRecords();
    rec.insert(rec.end(), bad.begin(), bad.end());
    Metafile m = withRecords(rec);
    QImage img = play(m);
    EXPECT_EQ(img.pixel(20, 20), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(40, 40), qRgb(255, 255, 255));
    // The same records through a file: reading keeps the structure valid and drops what
    // libuemf's checks refuse; playing is still safe.
    Metafile back;
    back.loadFromBytes(m.saveToEmfBytes());
    EXPECT_EQ(play(back).pixel(20, 20), qRgb(255, 0, 0));
}

TEST(MetafileRobustnessTest, MalformedEnhancedFilesAreRefused) {
    Metafile good;
    {
        good.setWidth(20);
        good.setHeight(20);
        MetafileCanvas c(good);
        c.moveTo(0, 0);
        c.lineTo(10, 10);
    }
    const std::vector<uint8_t> bytes = good.saveToEmfBytes();
    auto refused = [](std::vector<uint8_t> b) {
        Metafile m;
        try {
            m.loadFromBytes(b);
        } catch (const EInvalidGraphic& e) {
            return std::string(e.what()) == "メタファイルの形式が不正です";
        }
        return false;
    };
    auto patched = [&](size_t off, uint32_t v) {
        std::vector<uint8_t> b = bytes;
        std::memcpy(b.data() + off, &v, 4);
        return b;
    };
    EXPECT_TRUE(refused(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 60)));
    EXPECT_TRUE(refused(patched(4, 0x7FFFFFF0))); // header larger than the file
    EXPECT_TRUE(refused(patched(4, 87)));         // header size not a record size
    EXPECT_TRUE(refused(patched(112, 0)));        // first record of size zero
    EXPECT_TRUE(refused(patched(112, 0x10000)));  // first record past the end
    EXPECT_TRUE(refused(patched(112, 10)));       // not a multiple of four
    {
        std::vector<uint8_t> b = patched(32, uint32_t(-100)); // frame and bounds empty
        std::memcpy(b.data() + 16, "\x9c\xff\xff\xff", 4);
        EXPECT_TRUE(refused(b));
    }
    EXPECT_TRUE(refused(patched(32, 0x7FFFFFFF))); // natural size beyond any int
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused(std::vector<uint8_t>(200, 0xAB)));
    // A file cut after whole records still shows what it holds.
    Metafile cut;
    cut.loadFromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end() - 20));
    EXPECT_EQ(cut.width(), 20);
}

// A header with an empty frame takes its physical size from the bounds and the reference
// device: the product of those fields exceeds 64 bits, the size itself does not.
TEST(MetafileRobustnessTest, PhysicalSizeFromHugeHeaderFieldsIsExact) {
    auto header = [](int32_t right, int32_t millimetres, int32_t devicePx) {
        std::vector<uint8_t> out;
        RecordWriter w(out);
        w.begin(U_EMR_HEADER);
        for (int32_t v : {0, 0, right, 99, 0, 0, -1, -1}) // bounds; frame left empty
            w.i32(v);
        w.u32(mf::kEmfSignature);
        w.u32(0x10000);
        w.u32(88 + 20);
        w.u32(2);
        w.u16(1);
        w.u16(0);
        for (int i = 0; i < 3; ++i)
            w.u32(0);
        for (int32_t v : {devicePx, devicePx, millimetres, millimetres})
            w.i32(v);
        w.end();
        w.begin(U_EMR_EOF);
        for (uint32_t v : {0u, 16u, 20u})
            w.u32(v);
        w.end();
        return out;
    };
    // 10^7 pixels × 2·10^12 micrometres / (2·10^9 pixels × 10) = 10^9 hundredths of a mm.
    Metafile m;
    m.loadFromBytes(header(9999999, 2000000000, 2000000000));
    EXPECT_EQ(m.width(), 10000000);
    EXPECT_EQ(m.mmWidth(), 1000000000);
    EXPECT_EQ(m.mmHeight(), 10000);
    // A physical size beyond the int range is refused, not wrapped.
    EXPECT_THROW(m.loadFromBytes(header(99999999, 2000000000, 2000)), EInvalidGraphic);
    EXPECT_EQ(m.mmWidth(), 1000000000);
}

TEST(MetafileRobustnessTest, MalformedOldStyleFilesAreRefusedOrSkipped) {
    Metafile m;
    m.setWidth(30);
    m.setHeight(30);
    {
        MetafileCanvas c(m);
        c.brush().color = clRed;
        c.fillRect(QRect(0, 0, 30, 30));
    }
    m.setEnhanced(false);
    const std::vector<uint8_t> bytes = m.saveToBytes();
    const size_t firstRecord = 22 + 18;
    auto load = [](const std::vector<uint8_t>& b) {
        Metafile x;
        x.loadFromBytes(b);
        return x;
    };
    {
        std::vector<uint8_t> b = bytes;
        std::memset(b.data() + firstRecord, 0, 4); // record size zero
        EXPECT_THROW(load(b), EInvalidGraphic);
        std::memcpy(b.data() + firstRecord, "\xff\xff\xff\x7f", 4); // past the end
        EXPECT_THROW(load(b), EInvalidGraphic);
    }
    {
        std::vector<uint8_t> b = bytes;
        b[22 + 2] = 7; // header words
        EXPECT_THROW(load(b), EInvalidGraphic);
    }
    EXPECT_THROW(load(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 30)), EInvalidGraphic);
    // A bare file (no placeable header) takes its size from the window extent.
    Metafile bare = load(std::vector<uint8_t>(bytes.begin() + 22, bytes.end()));
    EXPECT_EQ(bare.width(), 30);
    EXPECT_EQ(play(bare, 30, 30).pixel(15, 15), qRgb(255, 0, 0));

    // Records whose counts lie are skipped: a polygon of 30000 points in 10 bytes, a
    // text longer than its record, a bitmap without its bits.
    std::vector<uint8_t> b(bytes.begin(), bytes.end() - 6);
    auto add = [&](std::initializer_list<uint16_t> words) {
        uint32_t size = uint32_t(words.size() + 2);
        b.push_back(uint8_t(size));
        b.push_back(uint8_t(size >> 8));
        b.push_back(0);
        b.push_back(0);
        for (uint16_t v : words) {
            b.push_back(uint8_t(v));
            b.push_back(uint8_t(v >> 8));
        }
    };
    add({0x0324, 30000, 1, 2});
    add({0x0A32, 5, 5, 20000, 0, 0x4141});
    add({0x0521, 60000, 0x4141});
    add({0x0F43, 0x20, 0xCC, 0, 10, 10, 0, 0, 10, 10, 0, 0, 40, 0});
    add({0x012D, 65535});
    add({0x02FB, 0xFF00});
    add({0, 0});
    b.push_back(3);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    Metafile lying = load(b);
    EXPECT_EQ(play(lying, 30, 30).pixel(15, 15), qRgb(255, 0, 0));
}

// Random damage to files of both kinds: every outcome is a refusal or a picture.
TEST(MetafileRobustnessTest, DamagedFilesNeverCrash) {
    Metafile m;
    m.setWidth(40);
    m.setHeight(30);
    {
        MetafileCanvas c(m);
        c.brush().color = clSilver;
        c.fillRect(QRect(0, 0, 40, 30));
        c.stretchDraw(QRect(5, 5, 20, 10), pwtest::makeTestBitmap(4, 3));
        const QPoint pts[] = {{0, 0}, {39, 29}, {0, 29}};
        c.polyline(pts);
        c.textOut(2, 2, QStringLiteral("日本 255"));
    }
    std::mt19937 rng(12345);
    for (bool enhanced : {true, false}) {
        m.setEnhanced(enhanced);
        const std::vector<uint8_t> bytes = m.saveToBytes();
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> b = bytes;
            int edits = 1 + int(rng() % 8);
            for (int e = 0; e < edits; ++e) {
                size_t at = rng() % b.size();
                switch (rng() % 3) {
                case 0:
                    b[at] = uint8_t(rng());
                    break;
                case 1:
                    b[at] = 0xFF;
                    break;
                default:
                    b.resize(at + 1);
                    break;
                }
            }
            Metafile x;
            try {
                x.loadFromBytes(b);
            } catch (const EInvalidGraphic&) {
                continue;
            }
            play(x, 40, 30);
            x.saveToEmfBytes();
            x.saveToWmfBytes();
        }
    }
}

// Hand-built record sequences for the player's mapping, clipping, saved states and DIB
// source rows.
TEST(MetafilePlayerTest, MappingClippingStatesAndDibRows) {
    auto brush = [](std::vector<uint8_t>& rec, uint32_t ih, uint32_t colour) {
        RecordWriter w(rec);
        w.begin(U_EMR_CREATEBRUSHINDIRECT);
        w.u32(ih);
        w.u32(U_BS_SOLID);
        w.u32(colour);
        w.u32(0);
        w.end();
        w.begin(U_EMR_SELECTOBJECT);
        w.u32(ih);
        w.end();
    };
    auto rect = [](std::vector<uint8_t>& rec, int l, int t, int r, int b) {
        RecordWriter w(rec);
        w.begin(U_EMR_RECTANGLE);
        for (int v : {l, t, r, b})
            w.i32(v);
        w.end();
    };
    auto rec32 = [](std::vector<uint8_t>& rec, uint32_t type, std::initializer_list<int32_t> v) {
        RecordWriter w(rec);
        w.begin(type);
        for (int32_t x : v)
            w.i32(x);
        w.end();
    };

    { // A window of 1000 units mapped onto the 50-pixel frame.
        std::vector<uint8_t> rec;
        rec32(rec, U_EMR_SELECTOBJECT, {int32_t(U_NULL_PEN)});
        rec32(rec, U_EMR_SETMAPMODE, {U_MM_ANISOTROPIC});
        rec32(rec, U_EMR_SETWINDOWEXTEX, {1000, 1000});
        rec32(rec, U_EMR_SETVIEWPORTEXTEX, {50, 50});
        brush(rec, 1, 0x0000FF);
        rect(rec, 500, 0, 1001, 501);
        QImage img = play(withRecords(rec));
        EXPECT_EQ(img.pixel(40, 10), qRgb(255, 0, 0));
        EXPECT_EQ(img.pixel(10, 10), qRgb(255, 255, 255));
        EXPECT_EQ(img.pixel(40, 40), qRgb(255, 255, 255));
    }
    { // Metric mapping: y grows upwards from the origin.
        std::vector<uint8_t> rec;
        rec32(rec, U_EMR_SELECTOBJECT, {int32_t(U_NULL_PEN)});
        rec32(rec, U_EMR_SETMAPMODE, {U_MM_LOMETRIC});
        rec32(rec, U_EMR_SETVIEWPORTORGEX, {0, 50});
        brush(rec, 1, 0x00FF00);
        rect(rec, 0, 0, 30, 30); // 3 mm square at the bottom-left
        QImage img = play(withRecords(rec));
        EXPECT_EQ(img.pixel(3, 47), qRgb(0, 255, 0));
        EXPECT_EQ(img.pixel(3, 3), qRgb(255, 255, 255));
    }
    { // A clip inside a saved state ends with the state.
        std::vector<uint8_t> rec;
        rec32(rec, U_EMR_SELECTOBJECT, {int32_t(U_NULL_PEN)});
        brush(rec, 1, 0x0000FF);
        rec32(rec, U_EMR_SAVEDC, {});
        rec32(rec, U_EMR_INTERSECTCLIPRECT, {0, 0, 25, 50});
        rect(rec, 0, 0, 51, 51);
        rec32(rec, U_EMR_RESTOREDC, {-1});
        brush(rec, 2, 0xFF0000);
        rect(rec, 30, 30, 51, 51);
        QImage img = play(withRecords(rec));
        EXPECT_EQ(img.pixel(10, 10), qRgb(255, 0, 0));
        EXPECT_EQ(img.pixel(40, 10), qRgb(255, 255, 255));
        EXPECT_EQ(img.pixel(40, 40), qRgb(0, 0, 255));
    }
    { // A bottom-up DIB counts its source rows from the bottom: row 0 is the red one.
        std::vector<uint8_t> rec;
        RecordWriter w(rec);
        w.begin(U_EMR_STRETCHDIBITS);
        for (int i = 0; i < 4; ++i)
            w.i32(0);
        for (int v : {0, 0, 0, 0, 1, 1})
            w.i32(v); // dest (0,0), source (0,0) 1 × 1
        w.u32(80);
        w.u32(40);
        w.u32(120);
        w.u32(8);
        w.u32(U_DIB_RGB_COLORS);
        w.u32(U_SRCCOPY);
        w.i32(50);
        w.i32(50);
        w.u32(40);
        w.i32(1);
        w.i32(2);
        w.u16(1);
        w.u16(24);
        for (int i = 0; i < 6; ++i)
            w.u32(0);
        for (uint8_t b : {0, 0, 255, 0, 255, 0, 0, 0})
            w.u8(b); // bottom red, top blue
        w.end();
        QImage img = play(withRecords(rec));
        EXPECT_EQ(img.pixel(25, 25), qRgb(255, 0, 0));
    }
}
