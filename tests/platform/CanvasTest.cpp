#include <QPoint>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

namespace {

uint32_t at(const Bitmap& b, int x, int y) {
    return b.pixelColor(x, y);
}

Bitmap filled(int w, int h, PixelFormat f, TColor c) {
    Bitmap b(w, h, pf24bit);
    Canvas canvas(b);
    canvas.brush().color = c;
    canvas.fillRect(QRect(0, 0, w, h));
    if (f != pf24bit) b.setPixelFormat(f);
    return b;
}

void trimPen(Canvas& c) {
    c.pen() = CanvasPen{clBlack, 2, psSolid, pmNotXor};
    c.brush().style = bsClear;
}

} // namespace

// The trimming frame: an inverting rectangle drawn twice leaves every pixel as it was, on
// every bitmap layout the canvas paints on, also when the frame runs off the picture.
TEST(CanvasTest, NotXorFrameDrawnTwiceRestoresEveryPixel) {
    for (PixelFormat f : {pf24bit, pf32bit, pfDevice}) {
        SCOPED_TRACE(int(f));
        Bitmap b = pwtest::makeTestBitmap(40, 30, 7);
        b.setPixelFormat(f);
        const Bitmap before = b;
        Canvas c(b);
        trimPen(c);
        for (QRect r :
             {QRect(QPoint(5, 4), QPoint(20, 18)), QRect(QPoint(-3, -3), QPoint(45, 12)),
              QRect(QPoint(10, 10), QPoint(11, 11)), QRect(QPoint(0, 0), QPoint(39, 29))}) {
            c.rectangle(r.left(), r.top(), r.right(), r.bottom());
            EXPECT_FALSE(pwtest::sameBitmap(b, before)) << "the frame must show";
            c.rectangle(r.left(), r.top(), r.right(), r.bottom());
            EXPECT_TRUE(pwtest::sameBitmap(b, before));
        }
    }
}

TEST(CanvasTest, NotXorFrameInvertsTheOutlineOnly) {
    Bitmap b = filled(30, 30, pf24bit, RGBColor(10, 200, 60));
    Canvas c(b);
    trimPen(c);
    c.rectangle(5, 5, 20, 20);
    const uint32_t inverted = RGBColor(245, 55, 195);
    const uint32_t kept = RGBColor(10, 200, 60);
    // A 2-pixel pen straddles the edge: columns 4 and 5 on the left, 18 and 19 on the right.
    EXPECT_EQ(at(b, 4, 10), inverted);
    EXPECT_EQ(at(b, 5, 10), inverted);
    EXPECT_EQ(at(b, 19, 10), inverted);
    EXPECT_EQ(at(b, 10, 4), inverted);
    EXPECT_EQ(at(b, 10, 19), inverted);
    EXPECT_EQ(at(b, 4, 4), inverted); // corners are inverted once, not twice
    EXPECT_EQ(at(b, 10, 10), kept);   // hollow brush
    EXPECT_EQ(at(b, 3, 10), kept);
    EXPECT_EQ(at(b, 20, 10), kept);
}

TEST(CanvasTest, NotXorLinesDrawnTwiceRestore) {
    Bitmap b = pwtest::makeTestBitmap(50, 40, 3);
    const Bitmap before = b;
    Canvas c(b);
    c.pen() = CanvasPen{clBlack, 3, psSolid, pmNotXor};
    const QPoint pts[] = {{2, 2}, {45, 30}, {10, 35}, {2, 2}, {60, -10}};
    c.polyline(pts);
    EXPECT_FALSE(pwtest::sameBitmap(b, before));
    c.polyline(pts);
    EXPECT_TRUE(pwtest::sameBitmap(b, before));
    c.pen().width = 1;
    c.pen().style = psDot;
    c.moveTo(0, 39);
    c.lineTo(49, 0);
    c.moveTo(0, 39);
    c.lineTo(49, 0);
    EXPECT_TRUE(pwtest::sameBitmap(b, before));
}

TEST(CanvasTest, CopyModeDrawsPenAndBrushColours) {
    Bitmap b = filled(20, 20, pf24bit, clWhite);
    Canvas c(b);
    c.pen().color = clRed;
    c.brush().color = clBlue;
    c.rectangle(2, 2, 10, 10);
    EXPECT_EQ(at(b, 2, 5), clRed);
    EXPECT_EQ(at(b, 9, 5), clRed);
    EXPECT_EQ(at(b, 5, 9), clRed);
    EXPECT_EQ(at(b, 5, 5), clBlue);
    EXPECT_EQ(at(b, 10, 5), clWhite); // right edge exclusive
    c.pen().color = clLime;
    c.moveTo(0, 15);
    c.lineTo(19, 15);
    EXPECT_EQ(at(b, 0, 15), clLime);
    EXPECT_EQ(at(b, 12, 15), clLime);
    EXPECT_EQ(at(b, 12, 14), clWhite);
    EXPECT_EQ(c.penPos(), QPoint(19, 15));
}

TEST(CanvasTest, OtherFormatsAreDrawnAt24Bits) {
    Bitmap b(8, 8, pf8bit);
    Canvas c(b);
    EXPECT_EQ(b.pixelFormat(), pf24bit);
    c.brush().color = clRed;
    c.fillRect(QRect(0, 0, 8, 8));
    EXPECT_EQ(at(b, 7, 7), clRed);
}

TEST(CanvasTest, TextIsDrawnInsideItsMeasuredBox) {
    Bitmap b = filled(200, 60, pf24bit, clWhite);
    Canvas c(b);
    c.font().size = 16;
    c.font().color = clBlack;
    const QString s = QStringLiteral("128 ヒスト");
    int w = c.textWidth(s), h = c.textHeight(s);
    EXPECT_GT(w, c.textWidth(QStringLiteral("128")));
    EXPECT_GT(h, 10);
    c.textOut(10, 5, s);
    int inside = 0, outside = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 200; ++x) {
            if (at(b, x, y) == clWhite) continue;
            bool in = x >= 10 && x < 10 + w + 2 && y >= 5 && y < 5 + h + 1;
            (in ? inside : outside)++;
        }
    EXPECT_GT(inside, 20);
    EXPECT_EQ(outside, 0);
}

TEST(CanvasTest, StretchDrawAndGraphicDrawScaleABitmap) {
    Bitmap src(2, 2, pf24bit);
    {
        Canvas c(src);
        const TColor colours[] = {clRed, clLime, clBlue, clWhite};
        for (int i = 0; i < 4; ++i) {
            c.brush().color = colours[i];
            c.fillRect(QRect(i % 2, i / 2, 1, 1));
        }
    }
    Bitmap dst = filled(10, 10, pf32bit, clBlack);
    Canvas c(dst);
    src.draw(c, QRect(2, 2, 4, 4));
    EXPECT_EQ(at(dst, 2, 2), clRed);
    EXPECT_EQ(at(dst, 3, 3), clRed);
    EXPECT_EQ(at(dst, 4, 3), clLime);
    EXPECT_EQ(at(dst, 3, 4), clBlue);
    EXPECT_EQ(at(dst, 5, 5), clWhite);
    EXPECT_EQ(at(dst, 6, 6), clBlack);
    EXPECT_EQ(dst.scanLine(3)[4 * 3 + 3], 255) << "32-bit pixels stay opaque";
    c.draw(8, 8, src);
    EXPECT_EQ(at(dst, 8, 8), clRed);
    EXPECT_EQ(at(dst, 9, 9), clWhite);
}

TEST(CanvasTest, RecordingEndsOnceAndRefusesLaterDrawing) {
    Metafile m;
    MetafileCanvas c(m);
    c.moveTo(0, 0);
    c.lineTo(10, 10);
    c.end();
    EXPECT_TRUE(m.hasRecording());
    EXPECT_THROW(c.lineTo(5, 5), EInvalidGraphicOperation);
    c.end(); // a second end does nothing
}
