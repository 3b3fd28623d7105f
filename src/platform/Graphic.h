// The abstract picture class: every kind of picture the program holds (bitmap, metafile,
// icon, JPEG, GIF) derives from Graphic and shares these verbs.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <QRect>

class Bitmap;
class Canvas;
class QPainter;
class QRectF;

// What a graphic is. Asked through Graphic::kind(), the one place that knows it: callers
// never test classes or class names to find out.
enum class GraphicKind { Bitmap, Metafile, Icon, Jpeg, Gif, Other };

class Graphic {
public:
    virtual ~Graphic() = default;

    // Natural size in pixels; 0 × 0 when empty.
    virtual int width() const = 0;
    virtual int height() const = 0;
    virtual bool empty() const { return width() <= 0 || height() <= 0; }

    // Resizing. Bitmaps keep their top-left content; metafiles change their natural size;
    // classes that cannot be resized throw EInvalidGraphicOperation.
    virtual void setWidth(int width) = 0;
    virtual void setHeight(int height) = 0;

    // Whether parts of the picture are see-through (icons, GIF frames with transparency).
    virtual bool transparent() const { return false; }

    // Paints the picture stretched into dest on a painter (screen, printer, image).
    virtual void paint(QPainter& painter, const QRectF& dest) const = 0;

    // Draws the picture stretched into dest on a canvas (a bitmap or a metafile recording).
    void draw(Canvas& canvas, const QRect& dest) const;

    // A deep copy of the same class.
    virtual std::unique_ptr<Graphic> clone() const = 0;

    // Makes this graphic a copy of source, converting where the class can (for example a
    // bitmap takes any graphic by drawing it); throws EConvertError
    // ("<source class> を <this class> に代入できません") otherwise.
    virtual void assign(const Graphic& source) = 0;

    // Reading and writing the class's own file format. Readers refuse malformed data with
    // EInvalidGraphic (or their format's own exception) and never read outside bytes.
    virtual void loadFromBytes(std::span<const uint8_t> bytes) = 0;
    // The same for bytes the graphic may take over: a class that keeps its file as it is (a
    // JPEG picture) moves them in instead of copying them. On failure bytes are left as
    // they were.
    virtual void loadFromBuffer(std::vector<uint8_t>&& bytes) { loadFromBytes(bytes); }
    virtual std::vector<uint8_t> saveToBytes() const = 0;

    // The framework's class name: "TBitmap", "TMetafile", "TIcon", "TJPEGImage", "TGIFImage".
    // Used in messages only; kind() answers what the graphic is.
    virtual const char* className() const = 0;

    // What this graphic is.
    virtual GraphicKind kind() const { return GraphicKind::Other; }

    // The raster this graphic is or decodes to (a bitmap itself, a JPEG's or GIF's decoded
    // picture), or nullptr for graphics that can only be drawn (metafiles, icons). The
    // pointer stays valid while the graphic is alive and unchanged.
    virtual const Bitmap* raster() const { return nullptr; }

    // What reading the file changed on the way in, for the window's caption (for example that
    // transparency was composited over white); empty when the picture is as the file has it.
    virtual std::string loadNote() const { return {}; }
};
