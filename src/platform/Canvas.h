// Drawing surface over a bitmap or over a metafile recording.
//
// Usage:
//   Bitmap bmp(286, 175);
//   Canvas c(bmp);                      // draws on the bitmap's own pixels
//   c.brush().color = clSilver;
//   c.fillRect(QRect(0, 0, 286, 175));
//   c.pen().color = clBlue;
//   c.moveTo(0, 0); c.lineTo(10, 10);
//   c.textOut(5, 5, "255");
//
//   Metafile mf; mf.setWidth(572); mf.setHeight(350);
//   {
//       MetafileCanvas rec(mf);         // records; the screen is the reference device
//       rec.stretchDraw(QRect(0, 0, 572, 350), someBitmap);
//   }                                   // recording ends here (or on rec.end())
//
//   // The trimming frame: an inverting rectangle that a second drawing removes.
//   c.pen() = {clBlack, 2, psSolid, pmNotXor};
//   c.brush().style = bsClear;
//   c.rectangle(l, t, r, b);           // draw
//   c.rectangle(l, t, r, b);           // every pixel restored
//
// Coordinates are pixels of the bitmap (or of the recording's frame), origin at the
// top-left. Rectangles follow the classic convention: left/top inclusive,
// right/bottom exclusive.
#pragma once

#include <memory>
#include <span>

#include <QPoint>
#include <QRect>
#include <QString>

#include "platform/Color.h"
#include "platform/Screen.h"

class Bitmap;
class Graphic;
class Metafile;

enum TPenMode { pmCopy, pmNotXor };
enum TPenStyle { psSolid, psDash, psDot, psClear };
enum TBrushStyle { bsSolid, bsClear };

struct CanvasPen {
    TColor color = clBlack;
    int width = 1;
    TPenStyle style = psSolid;
    TPenMode mode = pmCopy;
    bool operator==(const CanvasPen&) const = default;
};

struct CanvasBrush {
    TColor color = clWhite;
    TBrushStyle style = bsSolid;
    bool operator==(const CanvasBrush&) const = default;
};

struct CanvasFont {
    QString family = QStringLiteral("ＭＳ Ｐゴシック");
    int size = 9; // points, at the canvas's pixels per inch
    TColor color = clBlack;
    bool bold = false;
    bool italic = false;
    bool operator==(const CanvasFont&) const = default;
};

class CanvasBackend;

class Canvas {
public:
    // A canvas over a bitmap's pixels. 24- and 32-bit (and device) bitmaps are drawn on in
    // place; any other format is converted to 24 bits first, because indexed and 16-bit
    // layouts cannot be painted on without re-quantising every stroke.
    explicit Canvas(Bitmap& bitmap);
    virtual ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    CanvasPen& pen() { return pen_; }
    CanvasBrush& brush() { return brush_; }
    CanvasFont& font() { return font_; }
    const CanvasPen& pen() const { return pen_; }
    const CanvasBrush& brush() const { return brush_; }
    const CanvasFont& font() const { return font_; }

    QPoint penPos() const { return penPos_; }
    void moveTo(int x, int y);
    // A line from the pen position to (x, y), the end point itself not drawn; the pen moves.
    void lineTo(int x, int y);
    // Connected lines through the points (at least two).
    void polyline(std::span<const QPoint> points);

    // Pen outline and brush interior of (left, top)–(right, bottom), right/bottom exclusive.
    void rectangle(int left, int top, int right, int bottom);
    void rectangle(const QRect& r) { rectangle(r.left(), r.top(), r.right() + 1, r.bottom() + 1); }
    // The rectangle filled with the brush, no outline.
    void fillRect(const QRect& rect);

    // Text with its top-left corner at (x, y), in the current font and font colour, on a
    // transparent background.
    void textOut(int x, int y, const QString& text);
    int textWidth(const QString& text) const;
    int textHeight(const QString& text) const;

    // A graphic at its natural size with its top-left corner at (x, y).
    void draw(int x, int y, const Graphic& graphic);
    // A graphic stretched into dest.
    void stretchDraw(const QRect& dest, const Graphic& graphic);

    // Pixels per inch that font point sizes refer to (the reference device's for a
    // recording, the screen's logical resolution for a bitmap).
    int pixelsPerInch() const;

protected:
    explicit Canvas(std::unique_ptr<CanvasBackend> backend);
    CanvasBackend* backend() const { return backend_.get(); }
    void resetBackend();

private:
    std::unique_ptr<CanvasBackend> backend_;
    CanvasPen pen_;
    CanvasBrush brush_;
    CanvasFont font_;
    QPoint penPos_;
};

// Records drawing into a metafile. Recording starts on construction and ends when the
// object is destroyed or end() is called; the metafile then holds the new drawing (its
// previous content is replaced). The frame is the metafile's size when it has one,
// otherwise the reference device's full physical size. After end() every drawing call
// throws EInvalidGraphicOperation.
class MetafileCanvas : public Canvas {
public:
    explicit MetafileCanvas(Metafile& target);
    MetafileCanvas(Metafile& target, const ScreenInfo& reference);
    ~MetafileCanvas() override;
    void end();

private:
    Metafile* target_;
};
