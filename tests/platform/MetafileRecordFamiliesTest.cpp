// Record families played from hand-built records: gradient fills, region fills and frames,
// run-length coded bitmaps. Each is also read back from a saved file, so that the reader's
// record checks let it through.
#include <cstdlib>
#include <cstring>
#include <memory>

#include <QImage>
#include <QPainter>

#include "platform/Metafile.h"
#include "platform/MetafileRecords.h"
#include "support/TestSupport.h"

namespace {

using mf::RecordWriter;

// Appends a record made by libuemf and frees it.
void add(std::vector<uint8_t>& rec, char* made) {
    std::unique_ptr<char, decltype(&std::free)> owned(made, &std::free);
    ASSERT_NE(made, nullptr);
    uint32_t size;
    std::memcpy(&size, made + 4, 4);
    rec.insert(rec.end(), made, made + size);
}

Metafile withRecords(std::vector<uint8_t> rec) {
    Metafile m;
    m.setRecording(std::move(rec), QRectF(0, 0, 50, 50), 8, 50, 50, 1323, 1323);
    return m;
}

QImage play(const Metafile& m) {
    QImage img(50, 50, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    m.paint(p, QRectF(0, 0, 50, 50));
    return img;
}

// The picture after saving as .emf and reading it back.
QImage playReread(const Metafile& m) {
    Metafile back;
    back.loadFromBytes(m.saveToEmfBytes());
    return play(back);
}

U_RECTL rect(int l, int t, int r, int b) {
    return U_RECTL{l, t, r, b};
}

U_TRIVERTEX vertex(int x, int y, QRgb c) {
    return U_TRIVERTEX{
        x, y, uint16_t(qRed(c) << 8), uint16_t(qGreen(c) << 8), uint16_t(qBlue(c) << 8), 0};
}

// A region of rectangles (right and bottom edges exclusive).
char* regionRecord(uint32_t type, std::vector<U_RECTL> rects, uint32_t brush = 0,
                   U_SIZEL stroke = {1, 1}) {
    std::unique_ptr<U_RGNDATA, decltype(&std::free)> rgn(
        rgndata_set(rgndataheader_set(U_NUM_RECTL(rects.size()), rect(0, 0, 50, 50)), rects.data()),
        &std::free);
    switch (type) {
    case U_EMR_FILLRGN:
        return U_EMRFILLRGN_set(rect(0, 0, 50, 50), brush, rgn.get());
    case U_EMR_FRAMERGN:
        return U_EMRFRAMERGN_set(rect(0, 0, 50, 50), brush, stroke, rgn.get());
    case U_EMR_PAINTRGN:
        return U_EMRPAINTRGN_set(rgn.get());
    default:
        return U_EMRINVERTRGN_set(rgn.get());
    }
}

void solidBrush(std::vector<uint8_t>& rec, uint32_t slot, uint32_t colorRef) {
    add(rec,
        U_EMRCREATEBRUSHINDIRECT_set(slot, logbrush_set(U_BS_SOLID,
                                                        {uint8_t(colorRef), uint8_t(colorRef >> 8),
                                                         uint8_t(colorRef >> 16), 0},
                                                        0)));
}

// STRETCHDIBITS of a w × h DIB with a colour table and the given pixel bytes, drawn onto
// dst.
void stretchDib(std::vector<uint8_t>& rec, QRect dst, int w, int h, int bits, uint32_t comp,
                const std::vector<QRgb>& table, const std::vector<uint8_t>& pixels) {
    RecordWriter wr(rec);
    wr.begin(U_EMR_STRETCHDIBITS);
    for (int v : {dst.left(), dst.top(), dst.right(), dst.bottom()})
        wr.i32(v);
    for (int v : {dst.left(), dst.top(), 0, 0, w, h})
        wr.i32(v);
    const uint32_t cbBmi = 40 + 4 * uint32_t(table.size());
    wr.u32(80);
    wr.u32(cbBmi);
    wr.u32(80 + cbBmi);
    wr.u32(uint32_t(pixels.size()));
    wr.u32(U_DIB_RGB_COLORS);
    wr.u32(U_SRCCOPY);
    wr.i32(dst.width());
    wr.i32(dst.height());
    wr.u32(40);
    wr.i32(w);
    wr.i32(h);
    wr.u16(1);
    wr.u16(uint16_t(bits));
    wr.u32(comp);
    wr.u32(uint32_t(pixels.size()));
    wr.i32(0);
    wr.i32(0);
    wr.u32(uint32_t(table.size()));
    wr.u32(0);
    for (QRgb c : table)
        wr.u32(c & 0xFFFFFF); // B, G, R, 0
    wr.bytes(pixels.data(), pixels.size());
    wr.end();
}

bool near(QRgb a, QRgb b, int tolerance = 6) {
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(0, 0, 255),
           kWhite = qRgb(255, 255, 255), kBlack = qRgb(0, 0, 0);

} // namespace

TEST(MetafileRecordFamilies, GradientRectanglesAndTriangles) {
    std::vector<uint8_t> rec;
    // Left to right red → blue over the top band, top to bottom black → white below it.
    U_TRIVERTEX v[] = {vertex(0, 0, kRed), vertex(50, 20, kBlue), vertex(0, 25, kBlack),
                       vertex(50, 50, kWhite)};
    uint32_t h[] = {0, 1};
    uint32_t vert[] = {0, 1};
    add(rec, U_EMRGRADIENTFILL_set(rect(0, 0, 50, 20), 2, 1, U_GRADIENT_FILL_RECT_H, v, h));
    add(rec, U_EMRGRADIENTFILL_set(rect(0, 25, 50, 50), 2, 1, U_GRADIENT_FILL_RECT_V, v + 2, vert));
    Metafile m = withRecords(rec);
    for (const QImage& img : {play(m), playReread(m)}) {
        EXPECT_TRUE(near(img.pixel(0, 10), kRed)) << std::hex << img.pixel(0, 10);
        EXPECT_TRUE(near(img.pixel(49, 10), kBlue));
        EXPECT_TRUE(near(img.pixel(25, 10), qRgb(128, 0, 128), 8));
        EXPECT_EQ(img.pixel(25, 22), kWhite) << "nothing between the bands";
        EXPECT_LT(qGray(img.pixel(10, 26)), 30);
        EXPECT_GT(qGray(img.pixel(10, 49)), 225);
        for (int y = 26; y < 50; ++y)
            EXPECT_LE(qGray(img.pixel(10, y - 1)), qGray(img.pixel(10, y)));
    }

    // One triangle shaded from its corners; what lies outside it stays untouched.
    std::vector<uint8_t> tri;
    U_TRIVERTEX tv[] = {vertex(0, 0, kRed), vertex(50, 0, kGreen), vertex(0, 50, kBlue)};
    uint32_t t3[] = {0, 1, 2, 0, 1, 7}; // the second triangle names a vertex that is not there
    add(tri, U_EMRGRADIENTFILL_set(rect(0, 0, 50, 50), 3, 2, U_GRADIENT_FILL_TRIANGLE, tv, t3));
    Metafile t = withRecords(tri);
    for (const QImage& img : {play(t), playReread(t)}) {
        EXPECT_TRUE(near(img.pixel(0, 0), kRed, 12));
        EXPECT_TRUE(near(img.pixel(48, 0), kGreen, 16));
        EXPECT_TRUE(near(img.pixel(0, 48), kBlue, 16));
        QRgb mid = img.pixel(12, 12); // weights ½ red, ¼ green, ¼ blue
        EXPECT_TRUE(near(mid, qRgb(128, 64, 64), 10)) << std::hex << mid;
        EXPECT_EQ(img.pixel(40, 40), kWhite);
    }

    // Counts that do not fit the record draw nothing.
    std::vector<uint8_t> lying = tri;
    uint32_t many = 0x40000000;
    std::memcpy(lying.data() + 28, &many, 4);
    EXPECT_EQ(play(withRecords(lying)).pixel(5, 5), kWhite);
}

TEST(MetafileRecordFamilies, RegionFillsFramesAndInversion) {
    std::vector<uint8_t> rec;
    solidBrush(rec, 1, 0x0000FF); // red
    solidBrush(rec, 2, 0xFF0000); // blue
    solidBrush(rec, 3, 0x00FF00); // green
    // Overlapping rectangles fill their union.
    add(rec, regionRecord(U_EMR_FILLRGN, {rect(2, 2, 12, 12), rect(8, 8, 18, 18)}, 1));
    // An L of two rectangles framed 2 wide and 3 high: the seam between them is no edge.
    add(rec, regionRecord(U_EMR_FRAMERGN, {rect(25, 2, 45, 12), rect(25, 12, 35, 22)}, 2,
                          U_SIZEL{2, 3}));
    // PAINTRGN uses the selected brush, INVERTRGN none.
    add(rec, U_EMRSELECTOBJECT_set(3));
    add(rec, regionRecord(U_EMR_PAINTRGN, {rect(2, 30, 12, 40)}));
    add(rec, regionRecord(U_EMR_INVERTRGN, {rect(30, 30, 40, 40), rect(35, 35, 45, 45)}));
    // A brush index that names no brush fills nothing.
    add(rec, regionRecord(U_EMR_FILLRGN, {rect(20, 44, 30, 50)}, 7));
    Metafile m = withRecords(rec);
    for (const QImage& img : {play(m), playReread(m)}) {
        EXPECT_EQ(img.pixel(3, 3), kRed);
        EXPECT_EQ(img.pixel(10, 10), kRed) << "the overlap is filled";
        EXPECT_EQ(img.pixel(16, 16), kRed);
        EXPECT_EQ(img.pixel(16, 3), kWhite);

        EXPECT_EQ(img.pixel(25, 5), kBlue);
        EXPECT_EQ(img.pixel(26, 5), kBlue);
        EXPECT_EQ(img.pixel(27, 7), kWhite);
        EXPECT_EQ(img.pixel(30, 2), kBlue);
        EXPECT_EQ(img.pixel(30, 4), kBlue);
        EXPECT_EQ(img.pixel(30, 5), kWhite);
        EXPECT_EQ(img.pixel(44, 7), kBlue);
        EXPECT_EQ(img.pixel(30, 12), kWhite) << "no frame along the seam";
        EXPECT_EQ(img.pixel(38, 11), kBlue) << "the inner corner's edge";
        EXPECT_EQ(img.pixel(30, 21), kBlue);

        EXPECT_EQ(img.pixel(5, 35), kGreen);
        EXPECT_EQ(img.pixel(32, 32), kBlack);
        EXPECT_EQ(img.pixel(37, 37), kBlack) << "the region is a union, inverted once";
        EXPECT_EQ(img.pixel(43, 43), kBlack);
        EXPECT_EQ(img.pixel(43, 32), kWhite);
        EXPECT_EQ(img.pixel(25, 47), kWhite);
    }
}

TEST(MetafileRecordFamilies, RunLengthCodedBitmaps) {
    const std::vector<QRgb> table = {kRed, kGreen, kBlue, kWhite};
    std::vector<uint8_t> rec;
    // RLE8, 4 × 2, bottom row first: a run of four blue, end of line, then red, green,
    // red, green as an absolute run, end of bitmap.
    stretchDib(rec, QRect(0, 0, 40, 20), 4, 2, 8, U_BI_RLE8, table,
               {4, 2, 0, 0, 0, 4, 0, 1, 0, 1, 0, 1});
    // RLE4, 4 × 1: a run alternating blue and green, end of bitmap.
    stretchDib(rec, QRect(0, 30, 40, 10), 4, 1, 4, U_BI_RLE4, table, {4, 0x21, 0, 1});
    Metafile m = withRecords(rec);
    for (const QImage& img : {play(m), playReread(m)}) {
        EXPECT_EQ(img.pixel(5, 5), kRed);
        EXPECT_EQ(img.pixel(15, 5), kGreen);
        EXPECT_EQ(img.pixel(25, 5), kRed);
        EXPECT_EQ(img.pixel(35, 5), kGreen);
        EXPECT_EQ(img.pixel(5, 15), kBlue);
        EXPECT_EQ(img.pixel(35, 15), kBlue);
        EXPECT_EQ(img.pixel(5, 35), kBlue);
        EXPECT_EQ(img.pixel(15, 35), kGreen);
        EXPECT_EQ(img.pixel(25, 35), kBlue);
        EXPECT_EQ(img.pixel(5, 45), kWhite);
    }
    // Through an old-style file the run-length coded rows come back the same.
    m.setEnhanced(false);
    Metafile w;
    w.loadFromBytes(m.saveToBytes());
    QImage img = play(w);
    EXPECT_EQ(img.pixel(15, 5), kGreen);
    EXPECT_EQ(img.pixel(5, 15), kBlue);
    EXPECT_EQ(img.pixel(15, 35), kGreen);

    // Codes that stop early leave the rest at the first colour; a top-down RLE is not drawn.
    std::vector<uint8_t> shortRec;
    stretchDib(shortRec, QRect(0, 0, 40, 20), 4, 2, 8, U_BI_RLE8, table, {2, 1});
    QImage s = play(withRecords(shortRec));
    EXPECT_EQ(s.pixel(5, 15), kGreen);
    EXPECT_EQ(s.pixel(35, 15), kRed);
    std::vector<uint8_t> topDown;
    stretchDib(topDown, QRect(0, 0, 40, 20), 4, -2, 8, U_BI_RLE8, table, {4, 2, 0, 1});
    EXPECT_EQ(play(withRecords(topDown)).pixel(5, 15), kWhite);
    // Four bytes of codes declaring 16000 × 16000 pixels are not decoded.
    std::vector<uint8_t> huge;
    stretchDib(huge, QRect(0, 0, 40, 20), 16000, 16000, 8, U_BI_RLE8, table, {4, 2, 0, 1});
    EXPECT_EQ(play(withRecords(huge)).pixel(5, 15), kWhite);
}

namespace {

// The picture after writing an old-style file and reading it back.
QImage playAsWmf(Metafile m) {
    m.setEnhanced(false);
    Metafile back;
    back.loadFromBytes(m.saveToBytes());
    EXPECT_FALSE(back.enhanced());
    return play(back);
}

void pen(std::vector<uint8_t>& rec, uint32_t slot, int width, uint32_t colorRef) {
    add(rec, U_EMRCREATEPEN_set(slot, logpen_set(U_PS_SOLID, U_POINT{width, width},
                                                 {uint8_t(colorRef), uint8_t(colorRef >> 8),
                                                  uint8_t(colorRef >> 16), 0})));
}

// Paths filled, stroked, and stroked and filled, with the pen selected again afterwards.
Metafile pathsDrawing() {
    std::vector<uint8_t> rec;
    solidBrush(rec, 1, 0x0000FF); // red
    pen(rec, 2, 3, 0xFF0000);     // blue, 3 wide
    add(rec, U_EMRSELECTOBJECT_set(1));
    add(rec, U_EMRSELECTOBJECT_set(2));
    // Filled only: a square with a square hole (alternate filling), built from lines and
    // a rectangle.
    add(rec, U_EMRBEGINPATH_set());
    add(rec, U_EMRMOVETOEX_set(point32_set(2, 2)));
    add(rec, U_EMRLINETO_set(point32_set(22, 2)));
    add(rec, U_EMRLINETO_set(point32_set(22, 22)));
    add(rec, U_EMRLINETO_set(point32_set(2, 22)));
    add(rec, U_EMRCLOSEFIGURE_set());
    add(rec, U_EMRRECTANGLE_set(rect(8, 8, 16, 16)));
    add(rec, U_EMRENDPATH_set());
    add(rec, U_EMRFILLPATH_set(rect(0, 0, 50, 50)));
    // Stroked only: an open figure.
    add(rec, U_EMRBEGINPATH_set());
    add(rec, U_EMRMOVETOEX_set(point32_set(28, 5)));
    add(rec, U_EMRLINETO_set(point32_set(46, 5)));
    add(rec, U_EMRLINETO_set(point32_set(46, 20)));
    add(rec, U_EMRENDPATH_set());
    add(rec, U_EMRSTROKEPATH_set(rect(0, 0, 50, 50)));
    // Stroked and filled: an ellipse.
    add(rec, U_EMRBEGINPATH_set());
    add(rec, U_EMRELLIPSE_set(rect(10, 28, 40, 48)));
    add(rec, U_EMRENDPATH_set());
    add(rec, U_EMRSTROKEANDFILLPATH_set(rect(0, 0, 50, 50)));
    // After the fill the pen is the blue one again.
    add(rec, U_EMRMOVETOEX_set(point32_set(2, 26)));
    add(rec, U_EMRLINETO_set(point32_set(8, 26)));
    return withRecords(rec);
}

// A rectangle filled with an 8 × 8 DIB pattern: green with a black 4 × 4 corner.
Metafile patternDrawing() {
    std::vector<uint8_t> px;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            bool corner = x < 4 && y < 4;
            px.push_back(0);
            px.push_back(corner ? 0 : 255);
            px.push_back(0);
        }
    std::unique_ptr<U_BITMAPINFO, decltype(&std::free)> bmi(
        bitmapinfo_set(bitmapinfoheader_set(8, 8, 1, 24, U_BI_RGB, uint32_t(px.size()), 0, 0, 0, 0),
                       nullptr),
        &std::free);
    std::vector<uint8_t> rec;
    add(rec, U_EMRCREATEDIBPATTERNBRUSHPT_set(1, U_DIB_RGB_COLORS, bmi.get(), uint32_t(px.size()),
                                              reinterpret_cast<const char*>(px.data())));
    add(rec, U_EMRSELECTOBJECT_set(1));
    add(rec, U_EMRSELECTOBJECT_set(U_NULL_PEN));
    add(rec, U_EMRRECTANGLE_set(rect(0, 0, 40, 40)));
    return withRecords(rec);
}

} // namespace

TEST(MetafileRecordFamilies, OldStyleFilesKeepPaths) {
    Metafile m = pathsDrawing();
    for (const QImage& img : {play(m), playAsWmf(m)}) {
        EXPECT_EQ(img.pixel(4, 4), kRed);
        EXPECT_EQ(img.pixel(12, 12), kWhite) << "the hole";
        EXPECT_EQ(img.pixel(2, 12), kRed) << "a fill has no outline";
        EXPECT_EQ(img.pixel(21, 12), kRed);
        EXPECT_EQ(img.pixel(37, 5), kBlue);
        EXPECT_EQ(img.pixel(46, 12), kBlue);
        EXPECT_EQ(img.pixel(37, 12), kWhite) << "a stroke has no fill";
        EXPECT_EQ(img.pixel(25, 38), kRed);
        EXPECT_EQ(img.pixel(10, 38), kBlue);
        EXPECT_EQ(img.pixel(5, 26), kBlue);
    }
}

TEST(MetafileRecordFamilies, OldStyleFilesKeepPatternBrushes) {
    Metafile m = patternDrawing();
    QImage emf = play(m), wmf = playAsWmf(m);
    int green = 0, black = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) {
            EXPECT_EQ(wmf.pixel(x, y), emf.pixel(x, y)) << x << "," << y;
            green += emf.pixel(x, y) == kGreen;
            black += emf.pixel(x, y) == kBlack;
        }
    EXPECT_EQ(green, 1200);
    EXPECT_EQ(black, 400);
}

// libwmf, an independent reader, draws the flattened paths and the pattern brush of our
// old-style files as we do.
TEST(MetafileRecordFamilies, LibwmfDrawsOurPathsAndPatternBrushes) {
    if (std::system("command -v wmf2gd >/dev/null 2>&1") != 0) {
        if (std::getenv("PW_REQUIRE_TOOLS")) FAIL() << "wmf2gd (libwmf-bin) is not installed";
        GTEST_SKIP() << "wmf2gd (libwmf-bin) is not installed";
    }
    pwtest::TempDir dir;
    auto render = [&](Metafile m, const char* name) {
        m.setEnhanced(false);
        pwtest::writeFile(dir / (std::string(name) + ".wmf"), m.saveToBytes());
        std::string cmd = "wmf2gd --maxwidth=200 --maxheight=200 --maxpect -o '" +
                          (dir / (std::string(name) + ".png")).string() + "' '" +
                          (dir / (std::string(name) + ".wmf")).string() + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        QImage img((dir / (std::string(name) + ".png")).c_str());
        return img.convertToFormat(QImage::Format_RGB32);
    };
    QImage paths = render(pathsDrawing(), "paths");
    ASSERT_FALSE(paths.isNull());
    // The drawing is 50 units wide, rendered 200 pixels wide; libwmf places it to within a
    // unit or two of where we do, so thin strokes are looked for nearby.
    auto at = [&](int x, int y) { return paths.pixel(x * 4 + 2, y * 4 + 2); };
    auto near = [&](int x, int y, QRgb c) {
        for (int dy = -8; dy <= 8; ++dy)
            for (int dx = -8; dx <= 8; ++dx)
                if (paths.valid(x * 4 + dx, y * 4 + dy) && paths.pixel(x * 4 + dx, y * 4 + dy) == c)
                    return true;
        return false;
    };
    EXPECT_EQ(at(5, 5), kRed);
    EXPECT_EQ(at(12, 12), kWhite) << "the hole";
    EXPECT_TRUE(near(37, 5, kBlue)) << "the stroke";
    EXPECT_EQ(at(37, 12), kWhite) << "a stroke has no fill";
    EXPECT_EQ(at(25, 38), kRed);
    EXPECT_TRUE(near(10, 38, kBlue)) << "the outline";

    QImage pattern = render(patternDrawing(), "pattern");
    ASSERT_FALSE(pattern.isNull());
    int green = 0, black = 0, other = 0;
    for (int y = 0; y < pattern.height() * 4 / 5; ++y)
        for (int x = 0; x < pattern.width() * 4 / 5; ++x) {
            QRgb c = pattern.pixel(x, y);
            (c == kGreen ? green : c == kBlack ? black : other)++;
        }
    EXPECT_NEAR(double(black) / (green + black + other), 0.25, 0.05);
    EXPECT_NEAR(double(green) / (green + black + other), 0.75, 0.05);
}
