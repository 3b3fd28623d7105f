#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <QImage>
#include <QPainter>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"
#include "platform/Screen.h"
#include "support/TestSupport.h"

namespace {

QImage render(const Graphic& g, int w, int h, QColor background = Qt::white) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(background);
    QPainter p(&img);
    g.paint(p, QRectF(0, 0, w, h));
    return img;
}

QRgb rgbOf(TColor c) {
    return qRgb(GetRValue(c), GetGValue(c), GetBValue(c));
}

// A drawing that uses each kind of record the canvas makes.
Metafile sampleDrawing() {
    Metafile m;
    m.setWidth(120);
    m.setHeight(80);
    MetafileCanvas c(m);
    c.brush().color = clSilver;
    c.fillRect(QRect(0, 0, 120, 80));
    Bitmap bmp(10, 10, pf24bit);
    {
        Canvas bc(bmp);
        bc.brush().color = clRed;
        bc.fillRect(QRect(0, 0, 10, 10));
        bc.brush().color = clBlue;
        bc.fillRect(QRect(0, 5, 10, 5));
    }
    c.stretchDraw(QRect(60, 10, 40, 40), bmp);
    c.pen().color = clLime;
    c.pen().width = 3;
    const QPoint pts[] = {{5, 70}, {50, 70}};
    c.polyline(pts);
    c.pen() = CanvasPen{};
    c.brush().color = clWhite;
    c.rectangle(5, 5, 40, 40);
    c.font().size = 9;
    c.textOut(8, 50, QStringLiteral("255 %"));
    return m;
}

int differingPixels(const QImage& a, const QImage& b, int tolerance) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > tolerance ||
                std::abs(qGreen(p) - qGreen(q)) > tolerance ||
                std::abs(qBlue(p) - qBlue(q)) > tolerance)
                ++n;
        }
    return n;
}

void checkSample(const QImage& img) {
    EXPECT_EQ(img.pixel(110, 75), rgbOf(clSilver));
    EXPECT_EQ(img.pixel(80, 15), rgbOf(clRed));
    EXPECT_EQ(img.pixel(80, 45), rgbOf(clBlue));
    EXPECT_EQ(img.pixel(30, 70), rgbOf(clLime));
    EXPECT_EQ(img.pixel(5, 20), rgbOf(clBlack)); // outline
    EXPECT_EQ(img.pixel(20, 20), rgbOf(clWhite));
    int dark = 0;
    for (int y = 50; y < 66; ++y)
        for (int x = 8; x < 50; ++x)
            if (qGray(img.pixel(x, y)) < 90) ++dark;
    EXPECT_GT(dark, 10) << "the text shows";
}

struct ScreenGuard {
    ScreenInfo saved = screenInfo();
    ~ScreenGuard() { setScreenInfo(saved); }
};

} // namespace

TEST(MetafileTest, RecordingPlaysBackWhatWasDrawn) {
    Metafile m = sampleDrawing();
    EXPECT_EQ(m.width(), 120);
    EXPECT_EQ(m.height(), 80);
    EXPECT_EQ(m.mmWidth(), 3175); // 120 px on a 96-dpi screen
    checkSample(render(m, 120, 80));
    // Played at twice the size everything lands twice as far.
    QImage big = render(m, 240, 160);
    EXPECT_EQ(big.pixel(160, 30), rgbOf(clRed));
    EXPECT_EQ(big.pixel(160, 90), rgbOf(clBlue));
}

TEST(MetafileTest, EmptyRecordingTakesTheScreensPhysicalSize) {
    ScreenGuard guard;
    Metafile m;
    { MetafileCanvas c(m); }
    EXPECT_EQ(m.mmWidth(), 50800);
    EXPECT_EQ(m.mmHeight(), 28600);
    EXPECT_EQ(m.width(), 1920);
    m.setLogicalInch(true);
    EXPECT_EQ(m.width(), 1920);
    EXPECT_EQ(m.height(), 1081); // 28600 × 96 / 2540 rounded

    // A screen whose logical resolution is larger than its physical one.
    ScreenInfo s;
    s.logPixelsX = s.logPixelsY = 120;
    setScreenInfo(s);
    Metafile n;
    { MetafileCanvas c(n); }
    n.setLogicalInch(true);
    EXPECT_EQ(n.width(), 2400);
    n.setWidth(n.width() * 80 / 100);
    EXPECT_EQ(n.mmWidth(), 40640);
    EXPECT_EQ(n.width(), 1920);
    n.setLogicalInch(false);
    EXPECT_EQ(n.width(), 1920);
}

TEST(MetafileTest, SizeFollowsThePhysicalFrameInLogicalInches) {
    Metafile m;
    m.setWidth(300);
    m.setHeight(200);
    EXPECT_EQ(m.mmWidth(), 7938);
    m.setMMWidth(2540);
    EXPECT_EQ(m.width(), 96);
    m.setLogicalInch(true);
    m.setWidth(192);
    EXPECT_EQ(m.mmWidth(), 5080);
    EXPECT_EQ(m.width(), 192);
}

TEST(MetafileTest, EnhancedFileRoundTrip) {
    Metafile m = sampleDrawing();
    std::vector<uint8_t> bytes = m.saveToBytes();
    ASSERT_GT(bytes.size(), 108u);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(std::memcmp(bytes.data() + 40, " EMF", 4), 0);
    Metafile back;
    back.loadFromBytes(bytes);
    EXPECT_TRUE(back.enhanced());
    EXPECT_EQ(back.width(), 120);
    EXPECT_EQ(back.height(), 80);
    EXPECT_EQ(back.mmWidth(), m.mmWidth());
    EXPECT_EQ(back.mmHeight(), m.mmHeight());
    EXPECT_EQ(differingPixels(render(m, 120, 80), render(back, 120, 80), 0), 0);
}

TEST(MetafileTest, ResizedRecordingSavesAtItsNewSize) {
    Metafile m = sampleDrawing();
    m.setWidth(240);
    m.setHeight(40);
    Metafile back;
    back.loadFromBytes(m.saveToEmfBytes());
    EXPECT_EQ(back.width(), 240);
    EXPECT_EQ(back.height(), 40);
    QImage img = render(back, 240, 40);
    EXPECT_EQ(img.pixel(160, 7), rgbOf(clRed));
    EXPECT_EQ(img.pixel(160, 22), rgbOf(clBlue));
    EXPECT_EQ(differingPixels(render(m, 240, 40), img, 8), 0);
}

TEST(MetafileTest, OldStyleFileRoundTrip) {
    Metafile m = sampleDrawing();
    m.setEnhanced(false);
    std::vector<uint8_t> bytes = m.saveToBytes();
    ASSERT_GT(bytes.size(), 40u);
    EXPECT_EQ(bytes[0], 0xD7);
    EXPECT_EQ(bytes[3], 0x9A);
    Metafile back;
    back.loadFromBytes(bytes);
    EXPECT_FALSE(back.enhanced());
    EXPECT_EQ(back.width(), 120);
    EXPECT_EQ(back.height(), 80);
    QImage img = render(back, 120, 80);
    EXPECT_EQ(img.pixel(110, 75), rgbOf(clSilver));
    EXPECT_EQ(img.pixel(80, 15), rgbOf(clRed));
    EXPECT_EQ(img.pixel(80, 45), rgbOf(clBlue));
    EXPECT_EQ(img.pixel(30, 70), rgbOf(clLime));
    EXPECT_EQ(img.pixel(20, 20), rgbOf(clWhite));
    EXPECT_LT(differingPixels(render(m, 120, 80), img, 8), 120 * 80 / 50);
}

TEST(MetafileTest, StretchedMetafileIsRecordedAsVectors) {
    Metafile src = sampleDrawing();
    Metafile m;
    m.setWidth(60);
    m.setHeight(40);
    {
        MetafileCanvas c(m);
        src.draw(c, QRect(0, 0, 60, 40));
    }
    QImage a = render(m, 240, 160), b = render(src, 240, 160);
    EXPECT_LT(differingPixels(a, b, 8), 240 * 160 / 100);
    // A drawing with its own mapping (an old-style file maps its window onto the frame),
    // recorded twice over, still draws as the original.
    Metafile mapped;
    {
        Metafile old = src;
        old.setEnhanced(false);
        mapped.loadFromBytes(old.saveToBytes());
    }
    Metafile inner, outer;
    inner.setWidth(30);
    inner.setHeight(20);
    {
        MetafileCanvas c(inner);
        c.stretchDraw(QRect(0, 0, 30, 20), mapped);
    }
    outer.setWidth(90);
    outer.setHeight(60);
    {
        MetafileCanvas c(outer);
        c.stretchDraw(QRect(0, 0, 90, 60), inner);
    }
    EXPECT_LT(differingPixels(render(outer, 240, 160), render(mapped, 240, 160), 8),
              240 * 160 / 100);
    // And it survives both file formats.
    Metafile e;
    e.loadFromBytes(m.saveToEmfBytes());
    EXPECT_EQ(differingPixels(render(e, 240, 160), a, 0), 0);
    Metafile w;
    w.loadFromBytes(m.saveToWmfBytes());
    EXPECT_EQ(w.width(), 60);
    EXPECT_EQ(render(w, 240, 160).pixel(160, 30), rgbOf(clRed));
}

TEST(MetafileTest, RegistryChoosesTheSavedKindByExtension) {
    pwtest::TempDir dir;
    Metafile m = sampleDrawing();
    auto wmf = Picture::createForExtension("wmf");
    wmf->assign(m);
    writeFileAtomically(dir / "a.wmf", wmf->saveToBytes());
    auto emf = Picture::createForExtension("emf");
    emf->assign(*wmf);
    writeFileAtomically(dir / "a.emf", emf->saveToBytes());
    EXPECT_EQ(pwtest::readFile(dir / "a.wmf")[0], 0xD7);
    EXPECT_EQ(pwtest::readFile(dir / "a.emf")[0], 1);
    for (const char* name : {"a.wmf", "a.emf"}) {
        SCOPED_TRACE(name);
        Picture p;
        p.loadFromFile(dir / name);
        ASSERT_NE(p.as<Metafile>(), nullptr);
        EXPECT_STREQ(p.graphic()->className(), "TMetafile");
        EXPECT_EQ(p.width(), 120);
        EXPECT_EQ(p.height(), 80);
    }
}

TEST(MetafileTest, AssignAndConversionToBitmap) {
    Metafile m = sampleDrawing();
    Bitmap b;
    EXPECT_THROW(m.assign(b), EConvertError);
    try {
        m.assign(b);
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "TBitmap を TMetafile に代入できません");
    }
    b.assign(m);
    EXPECT_EQ(b.width(), 120);
    EXPECT_EQ(b.height(), 80);
    EXPECT_EQ(b.pixelColor(80, 15), clRed);
    // A metafile larger than the picture limits cannot be rasterised.
    Metafile huge;
    huge.setWidth(70000);
    huge.setHeight(10);
    Bitmap tooBig;
    EXPECT_THROW(tooBig.assign(huge), EInvalidGraphic);
}

// Files written by other programs: fig2dev's enhanced metafile uses a 1200-dpi reference
// device and a header description, gnuplot's draws through map modes and fonts.
TEST(MetafileTest, ReadsMetafilesOfOtherPrograms) {
    const char* root = std::getenv("PW_SOURCE_DIR");
    std::filesystem::path corpus = std::filesystem::path(root ? root : ".") / "fuzz/corpus/emf";
    if (!std::filesystem::exists(corpus / "fig2dev.emf")) GTEST_SKIP() << "no sample files";
    Metafile fig;
    fig.loadFromBytes(readWholeFile(corpus / "fig2dev.emf"));
    EXPECT_EQ(fig.width(), 2541);
    EXPECT_EQ(fig.height(), 1934);
    EXPECT_EQ(fig.mmWidth(), 5379);
    QImage img = render(fig, 300, 228);
    EXPECT_EQ(img.pixel(100, 95), qRgb(0, 0, 255)) << "filled circle";
    EXPECT_EQ(img.pixel(150, 147), qRgb(255, 0, 0)) << "polyline corner";
    EXPECT_EQ(img.pixel(250, 200), qRgb(255, 255, 255));

    Metafile plot;
    plot.loadFromBytes(readWholeFile(corpus / "gnuplot.emf"));
    EXPECT_EQ(plot.width(), 241);
    EXPECT_EQ(plot.height(), 161);
    QImage p = render(plot, 241, 161);
    int coloured = 0;
    for (int y = 0; y < p.height(); ++y)
        for (int x = 0; x < p.width(); ++x)
            if (qRed(p.pixel(x, y)) > 100 && qBlue(p.pixel(x, y)) > 100 &&
                qGreen(p.pixel(x, y)) < 60)
                ++coloured;
    EXPECT_GT(coloured, 300) << "the purple curve";
    // Converted to the old-style format it still reads back at its size.
    Metafile w;
    w.loadFromBytes(plot.saveToWmfBytes());
    EXPECT_EQ(w.width(), 241);
}
