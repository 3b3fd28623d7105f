// The metafile player's state and its record families, shared by the files that implement
// them: MetafilePlayer.cpp (dispatch, device context, objects, clipping, paths),
// MetafilePlayerShapes.cpp (lines, curves, shapes, regions, gradients),
// MetafilePlayerText.cpp (fonts and text) and MetafilePlayerBitmaps.cpp (blits and DIBs).
// Private to the player: nothing outside those files includes it.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QTransform>

#include "platform/MetafileRecords.h"

class Metafile;

namespace mf {

using Reader = RecordReader;

inline QColor color(uint32_t ref) {
    return QColor(ref & 0xFF, (ref >> 8) & 0xFF, (ref >> 16) & 0xFF);
}

struct PenObj {
    uint32_t style = U_PS_SOLID;
    double width = 0; // logical units; 0 or 1 with a cosmetic pen means one device pixel
    bool geometric = false;
    QColor color = Qt::black;
};

struct BrushObj {
    uint32_t style = U_BS_SOLID;
    uint32_t hatch = 0;
    QColor color = Qt::white;
    QImage pattern;
};

struct FontObj {
    int32_t height = 0;
    int32_t escapement = 0;
    int32_t weight = 400;
    bool italic = false, underline = false, strikeOut = false;
    uint8_t charset = 1;
    QString face;
};

struct Object {
    enum Kind { None, Pen, Brush, Font, Other } kind = None;
    PenObj pen;
    BrushObj brush;
    FontObj font;
};

struct DcState {
    PenObj pen;
    BrushObj brush;
    FontObj font;
    QColor textColor = Qt::black;
    QColor bkColor = Qt::white;
    uint32_t bkMode = U_OPAQUE;
    uint32_t textAlign = 0;
    uint32_t polyFill = U_ALTERNATE;
    uint32_t rop2 = U_R2_COPYPEN;
    Mapping map;
    QTransform world;
    QPointF pos;
    std::optional<QPainterPath> clip; // in painter coordinates
    bool arcClockwise = false;
};

// Coordinates that no drawing needs; a transform beyond them is refused.
inline constexpr double kMaxCoord = 1e9;

bool finiteTransform(const QTransform& t);

// A device-independent bitmap inside a record: header at offBmi (cbBmi bytes), pixels at
// offBits (cbBits bytes). Null when any part lies outside the record or the layout is not
// one the player draws.
QImage decodeDib(const Reader& r, uint64_t offBmi, uint64_t cbBmi, uint64_t offBits,
                 uint64_t cbBits, uint32_t usage);

// The rectangles of the RGNDATA at off (cb bytes) as one region; nullopt when the data
// does not fit the record.
std::optional<QRegion> readRegion(const Reader& r, size_t off, uint64_t cb);

class Player {
public:
    Player(QPainter& p, const QRectF& dest, const Metafile& m);
    void run();

    // One handler per record family; each reads the record type it was given.
    using Handler = void (Player::*)(uint32_t type, const Reader& r);

    // ----- MetafilePlayer.cpp -----
    void deviceContext(uint32_t type, const Reader& r); // modes, colours, mapping, SAVEDC
    void objectRecord(uint32_t type, const Reader& r);  // create, select, delete
    void clipRecord(uint32_t type, const Reader& r);
    void pathBracket(uint32_t type, const Reader& r); // BEGINPATH … STROKEPATH
    // ----- MetafilePlayerShapes.cpp -----
    void lineRecord(uint32_t type, const Reader& r); // MOVETO, LINETO, SETPIXEL, ANGLEARC
    void polyRecord(uint32_t type, const Reader& r);
    void polyPolyRecord(uint32_t type, const Reader& r);
    void shapeRecord(uint32_t type, const Reader& r); // rectangle, ellipse, round rectangle
    void arcRecord(uint32_t type, const Reader& r);
    void regionRecord(uint32_t type, const Reader& r); // FILLRGN, FRAMERGN, PAINTRGN, INVERTRGN
    void gradientRecord(uint32_t type, const Reader& r);
    // ----- MetafilePlayerText.cpp -----
    void textRecord(uint32_t type, const Reader& r);
    // ----- MetafilePlayerBitmaps.cpp -----
    void dibRecord(uint32_t type, const Reader& r);

private:
    // ----- coordinate mapping and drawing set-up (MetafilePlayer.cpp) -----
    QTransform page() const { return st_.map.page(deviceRes_); }
    QTransform total() const { return st_.world * page() * base_ * baseTransform_; }
    // Sets the painter up for a drawing in logical coordinates; false when the current
    // mapping cannot be drawn with.
    bool begin();
    QPen qpen() const;
    QBrush qbrush() const;
    QBrush brushOf(const BrushObj& b) const;
    // Strokes and/or fills a path in logical coordinates, or adds it to the path being
    // built between BEGINPATH and ENDPATH.
    void drawPath(const QPainterPath& path, bool fill, bool stroke);
    void selectObject(uint32_t index);
    // The brush an object index names (a stock brush or a brush in the table), leaving
    // the selection as it was; nullopt when the index names no brush.
    std::optional<BrushObj> brushFor(uint32_t index);
    // The object in a table slot; the table holds only the slots in use, so a header
    // that declares many slots costs nothing.
    Object* slot(uint32_t index);
    void setClip(const QPainterPath& devicePath, uint32_t mode);

    // ----- text (MetafilePlayerText.cpp) -----
    void createFont(const Reader& r);
    void drawText(QPointF ref, const QString& text, const std::vector<double>& adv,
                  uint64_t options, const QRectF& rcl);

    // ----- bitmaps (MetafilePlayerBitmaps.cpp) -----
    void blit(const QImage& img, QRectF src, QRectF dst, uint32_t rop);

    // ----- gradients (MetafilePlayerShapes.cpp) -----
    void gouraudTriangle(const QPointF (&pts)[3], const QColor (&cols)[3]);

    QPainter& p_;
    const Metafile& m_;
    QRectF frame_;
    QPointF deviceRes_;
    uint32_t handles_;
    std::unordered_map<uint32_t, Object> objects_;
    QTransform base_, baseTransform_;
    DcState st_;
    std::vector<DcState> saved_;
    bool inPath_ = false;
    QPainterPath path_;
};

} // namespace mf
