// The metafile player: walks the enhanced records of a metafile and draws them with
// QPainter. Every field is read through a bounded record reader, every count is checked
// against the record's size in 64-bit arithmetic and every object index against the table,
// so a record that lies is skipped rather than read past its end.
//
// Records are dispatched by family through a table indexed by record type; this file holds
// the table, the device context (modes, colours, mapping, saved states, world transform),
// the object table, clipping and the path bracket.
#include "platform/MetafilePlayer.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "platform/Metafile.h"
#include "platform/MetafilePlayerImpl.h"

namespace mf {

bool finiteTransform(const QTransform& t) {
    const double v[] = {t.m11(), t.m12(), t.m21(), t.m22(), t.dx(), t.dy()};
    for (double d : v)
        if (!std::isfinite(d) || std::fabs(d) > kMaxCoord) return false;
    return std::fabs(t.determinant()) > 1e-12;
}

namespace {

// Which family handles each record type; records left empty have no visible effect here
// or are unknown, and are skipped.
using Table = std::array<Player::Handler, U_EMR_MAX + 1>;

Table makeTable() {
    Table t{};
    auto set = [&t](std::initializer_list<uint32_t> types, Player::Handler h) {
        for (uint32_t type : types)
            t[type] = h;
    };
    set({U_EMR_POLYBEZIER, U_EMR_POLYGON, U_EMR_POLYLINE, U_EMR_POLYBEZIERTO, U_EMR_POLYLINETO,
         U_EMR_POLYBEZIER16, U_EMR_POLYGON16, U_EMR_POLYLINE16, U_EMR_POLYBEZIERTO16,
         U_EMR_POLYLINETO16},
        &Player::polyRecord);
    set({U_EMR_POLYPOLYLINE, U_EMR_POLYPOLYGON, U_EMR_POLYPOLYLINE16, U_EMR_POLYPOLYGON16},
        &Player::polyPolyRecord);
    set({U_EMR_SETWINDOWEXTEX, U_EMR_SETWINDOWORGEX, U_EMR_SETVIEWPORTEXTEX, U_EMR_SETVIEWPORTORGEX,
         U_EMR_SCALEVIEWPORTEXTEX, U_EMR_SCALEWINDOWEXTEX, U_EMR_SETMAPMODE, U_EMR_SETBKMODE,
         U_EMR_SETPOLYFILLMODE, U_EMR_SETROP2, U_EMR_SETTEXTALIGN, U_EMR_SETTEXTCOLOR,
         U_EMR_SETBKCOLOR, U_EMR_SETARCDIRECTION, U_EMR_SAVEDC, U_EMR_RESTOREDC,
         U_EMR_SETWORLDTRANSFORM, U_EMR_MODIFYWORLDTRANSFORM},
        &Player::deviceContext);
    set({U_EMR_MOVETOEX, U_EMR_LINETO, U_EMR_SETPIXELV, U_EMR_ANGLEARC}, &Player::lineRecord);
    set({U_EMR_RECTANGLE, U_EMR_ELLIPSE, U_EMR_ROUNDRECT}, &Player::shapeRecord);
    set({U_EMR_ARC, U_EMR_CHORD, U_EMR_PIE, U_EMR_ARCTO}, &Player::arcRecord);
    set({U_EMR_SELECTOBJECT, U_EMR_DELETEOBJECT, U_EMR_CREATEPEN, U_EMR_EXTCREATEPEN,
         U_EMR_CREATEBRUSHINDIRECT, U_EMR_CREATEDIBPATTERNBRUSHPT, U_EMR_CREATEMONOBRUSH,
         U_EMR_EXTCREATEFONTINDIRECTW, U_EMR_CREATEPALETTE, U_EMR_CREATECOLORSPACE,
         U_EMR_CREATECOLORSPACEW},
        &Player::objectRecord);
    set({U_EMR_EXTTEXTOUTW, U_EMR_EXTTEXTOUTA}, &Player::textRecord);
    set({U_EMR_BITBLT, U_EMR_STRETCHBLT, U_EMR_STRETCHDIBITS, U_EMR_SETDIBITSTODEVICE,
         U_EMR_ALPHABLEND, U_EMR_TRANSPARENTBLT},
        &Player::dibRecord);
    set({U_EMR_INTERSECTCLIPRECT, U_EMR_EXCLUDECLIPRECT, U_EMR_EXTSELECTCLIPRGN,
         U_EMR_SELECTCLIPPATH},
        &Player::clipRecord);
    set({U_EMR_FILLRGN, U_EMR_FRAMERGN, U_EMR_PAINTRGN, U_EMR_INVERTRGN}, &Player::regionRecord);
    set({U_EMR_GRADIENTFILL}, &Player::gradientRecord);
    set({U_EMR_BEGINPATH, U_EMR_ENDPATH, U_EMR_ABORTPATH, U_EMR_CLOSEFIGURE, U_EMR_FILLPATH,
         U_EMR_STROKEANDFILLPATH, U_EMR_STROKEPATH},
        &Player::pathBracket);
    return t;
}

const Table& table() {
    static const Table t = makeTable();
    return t;
}

} // namespace

Player::Player(QPainter& p, const QRectF& dest, const Metafile& m)
    : p_(p), m_(m), frame_(m.recordFrame()), deviceRes_(m.deviceResolution()),
      handles_(std::min<uint32_t>(m.handleCount(), kMaxHandles)) {
    const QRectF& f = frame_;
    base_ = QTransform::fromTranslate(-f.x(), -f.y()) *
            QTransform::fromScale(dest.width() / f.width(), dest.height() / f.height()) *
            QTransform::fromTranslate(dest.x(), dest.y());
    baseTransform_ = p_.transform();
    // Whatever lies outside the frame is not part of the picture; a clip the caller set
    // stays in force.
    QPainterPath frame;
    frame.addRect(dest);
    if (p_.hasClipping()) frame = frame.intersected(p_.clipPath());
    st_.clip = baseTransform_.map(frame);
}

void Player::run() {
    const std::vector<uint8_t>& rec = m_.records();
    const Table& handlers = table();
    size_t pos = 0;
    while (pos + 8 <= rec.size()) {
        Reader r(rec.data() + pos, rec.size() - pos);
        uint32_t type = r.u32(0), size = r.u32(4);
        if (size < 8 || size > rec.size() - pos) break;
        if (type < handlers.size() && handlers[type]) {
            Reader one(rec.data() + pos, size);
            (this->*handlers[type])(type, one);
        }
        pos += size;
    }
}

// ----- drawing set-up -----

bool Player::begin() {
    QTransform t = total();
    if (!finiteTransform(t)) return false;
    p_.setTransform(QTransform());
    if (st_.clip)
        p_.setClipPath(*st_.clip);
    else
        p_.setClipping(false);
    p_.setTransform(t);
    p_.setCompositionMode(QPainter::CompositionMode_SourceOver);
    switch (st_.rop2) {
    case U_R2_NOTXORPEN:
        p_.setCompositionMode(QPainter::RasterOp_NotSourceXorDestination);
        break;
    case U_R2_XORPEN:
        p_.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        break;
    case U_R2_NOT:
        p_.setCompositionMode(QPainter::RasterOp_NotDestination);
        break;
    case U_R2_MASKPEN:
        p_.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
        break;
    case U_R2_MERGEPEN:
        p_.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
        break;
    case U_R2_NOTCOPYPEN:
        p_.setCompositionMode(QPainter::RasterOp_NotSource);
        break;
    default:
        break;
    }
    return st_.rop2 != U_R2_NOP;
}

QPen Player::qpen() const {
    const PenObj& pen = st_.pen;
    uint32_t style = pen.style & U_PS_STYLE_MASK;
    if (style == U_PS_NULL) return QPen(Qt::NoPen);
    QColor c = st_.rop2 == U_R2_BLACK   ? QColor(Qt::black)
               : st_.rop2 == U_R2_WHITE ? QColor(Qt::white)
                                        : pen.color;
    QPen q(c);
    double w = pen.width;
    bool cosmetic = !pen.geometric && w <= 1;
    // A pen wider than any picture is held to a size that still strokes quickly.
    double scale = std::sqrt(std::fabs(total().determinant()));
    if (!cosmetic && w * scale > 20000) w = 20000 / scale;
    q.setWidthF(cosmetic ? 0.0 : w);
    q.setCosmetic(cosmetic);
    switch (style) {
    case U_PS_DASH:
        q.setStyle(Qt::DashLine);
        break;
    case U_PS_DOT:
    case U_PS_ALTERNATE:
        q.setStyle(Qt::DotLine);
        break;
    case U_PS_DASHDOT:
        q.setStyle(Qt::DashDotLine);
        break;
    case U_PS_DASHDOTDOT:
        q.setStyle(Qt::DashDotDotLine);
        break;
    default:
        break;
    }
    if (pen.geometric) {
        uint32_t cap = pen.style & U_PS_ENDCAP_MASK, join = pen.style & U_PS_JOIN_MASK;
        q.setCapStyle(cap == U_PS_ENDCAP_SQUARE ? Qt::SquareCap
                      : cap == U_PS_ENDCAP_FLAT ? Qt::FlatCap
                                                : Qt::RoundCap);
        q.setJoinStyle(join == U_PS_JOIN_BEVEL   ? Qt::BevelJoin
                       : join == U_PS_JOIN_MITER ? Qt::MiterJoin
                                                 : Qt::RoundJoin);
    } else {
        q.setCapStyle(Qt::RoundCap);
        q.setJoinStyle(Qt::RoundJoin);
    }
    return q;
}

QBrush Player::qbrush() const {
    return brushOf(st_.brush);
}

QBrush Player::brushOf(const BrushObj& b) const {
    switch (b.style) {
    case U_BS_NULL:
        return QBrush(Qt::NoBrush);
    case U_BS_HATCHED: {
        Qt::BrushStyle s = Qt::SolidPattern;
        switch (b.hatch) {
        case U_HS_HORIZONTAL:
            s = Qt::HorPattern;
            break;
        case U_HS_VERTICAL:
            s = Qt::VerPattern;
            break;
        case U_HS_FDIAGONAL:
            s = Qt::FDiagPattern;
            break;
        case U_HS_BDIAGONAL:
            s = Qt::BDiagPattern;
            break;
        case U_HS_CROSS:
            s = Qt::CrossPattern;
            break;
        case U_HS_DIAGCROSS:
            s = Qt::DiagCrossPattern;
            break;
        default:
            break;
        }
        return QBrush(b.color, s);
    }
    case U_BS_PATTERN:
    case U_BS_DIBPATTERN:
    case U_BS_DIBPATTERNPT:
        if (!b.pattern.isNull()) return QBrush(b.pattern);
        return QBrush(b.color);
    default:
        return QBrush(b.color);
    }
}

void Player::drawPath(const QPainterPath& path, bool fill, bool stroke) {
    if (inPath_) {
        path_.addPath(path);
        return;
    }
    if (!begin()) return;
    if (fill) {
        QBrush br = qbrush();
        if (st_.brush.style == U_BS_HATCHED && st_.bkMode == U_OPAQUE)
            p_.fillPath(path, st_.bkColor);
        if (br.style() != Qt::NoBrush) p_.fillPath(path, br);
    }
    if (stroke) {
        QPen pen = qpen();
        if (pen.style() != Qt::NoPen) {
            if (pen.style() != Qt::SolidLine) {
                // Dashing a path larger than any screen costs time for nothing.
                QRectF b = p_.transform().mapRect(path.controlPointRect());
                if (b.width() + b.height() > 1e5) pen.setStyle(Qt::SolidLine);
            }
            p_.strokePath(path, pen);
        }
    }
}

// ----- device context -----

void Player::deviceContext(uint32_t type, const Reader& r) {
    switch (type) {
    case U_EMR_SETBKMODE:
        st_.bkMode = r.u32(8);
        break;
    case U_EMR_SETPOLYFILLMODE:
        st_.polyFill = r.u32(8);
        break;
    case U_EMR_SETROP2:
        st_.rop2 = r.u32(8);
        break;
    case U_EMR_SETTEXTALIGN:
        st_.textAlign = r.u32(8);
        break;
    case U_EMR_SETTEXTCOLOR:
        st_.textColor = color(r.u32(8));
        break;
    case U_EMR_SETBKCOLOR:
        st_.bkColor = color(r.u32(8));
        break;
    case U_EMR_SETARCDIRECTION:
        st_.arcClockwise = r.u32(8) == 2;
        break;
    case U_EMR_SAVEDC:
        if (saved_.size() < kMaxSavedStates) saved_.push_back(st_);
        break;
    case U_EMR_RESTOREDC: {
        int32_t n = r.i32(8);
        size_t target;
        if (n < 0) {
            if (uint64_t(-int64_t(n)) > saved_.size()) break;
            target = saved_.size() - size_t(-int64_t(n));
        } else {
            if (n == 0 || size_t(n) > saved_.size()) break;
            target = size_t(n) - 1;
        }
        st_ = saved_[target];
        saved_.resize(target);
        break;
    }
    case U_EMR_SETWORLDTRANSFORM:
    case U_EMR_MODIFYWORLDTRANSFORM: {
        QTransform next = worldAfter(type, r, st_.world);
        if (finiteTransform(next)) st_.world = next;
        break;
    }
    default:
        st_.map.apply(type, r);
        break;
    }
}

// ----- objects -----

Object* Player::slot(uint32_t index) {
    if (index == 0 || index >= handles_) return nullptr;
    return &objects_[index];
}

void Player::selectObject(uint32_t index) {
    if (index & 0x80000000u) {
        switch (index & 0x7FFFFFFFu) {
        case 0:
            st_.brush = {U_BS_SOLID, 0, Qt::white, {}};
            break;
        case 1:
            st_.brush = {U_BS_SOLID, 0, QColor(192, 192, 192), {}};
            break;
        case 2:
            st_.brush = {U_BS_SOLID, 0, QColor(128, 128, 128), {}};
            break;
        case 3:
            st_.brush = {U_BS_SOLID, 0, QColor(64, 64, 64), {}};
            break;
        case 4:
            st_.brush = {U_BS_SOLID, 0, Qt::black, {}};
            break;
        case 5:
            st_.brush = {U_BS_NULL, 0, Qt::black, {}};
            break;
        case 6:
            st_.pen = {U_PS_SOLID, 0, false, Qt::white};
            break;
        case 7:
            st_.pen = {U_PS_SOLID, 0, false, Qt::black};
            break;
        case 8:
            st_.pen = {U_PS_NULL, 0, false, Qt::black};
            break;
        case 10:
        case 11:
        case 12:
        case 13:
        case 14:
        case 16:
            st_.font = FontObj();
            break;
        default:
            break;
        }
        return;
    }
    Object* o = slot(index);
    if (!o) return;
    switch (o->kind) {
    case Object::Pen:
        st_.pen = o->pen;
        break;
    case Object::Brush:
        st_.brush = o->brush;
        break;
    case Object::Font:
        st_.font = o->font;
        break;
    default:
        break;
    }
}

void Player::objectRecord(uint32_t type, const Reader& r) {
    switch (type) {
    case U_EMR_SELECTOBJECT:
        selectObject(r.u32(8));
        break;
    case U_EMR_DELETEOBJECT:
        objects_.erase(r.u32(8));
        break;
    case U_EMR_CREATEPEN:
        if (Object* o = slot(r.u32(8)); o && r.has(12, 16)) {
            o->kind = Object::Pen;
            o->pen.style = r.u32(12);
            o->pen.width = r.i32(16);
            o->pen.geometric = o->pen.width > 1;
            o->pen.color = color(r.u32(24));
        }
        break;
    case U_EMR_EXTCREATEPEN:
        // offBmi, cbBmi, offBits, cbBits, then EXTLOGPEN: style, width, brush style,
        // colour, hatch, style entries.
        if (Object* o = slot(r.u32(8)); o && r.has(28, 20)) {
            o->kind = Object::Pen;
            o->pen.style = r.u32(28);
            o->pen.width = r.u32(32);
            o->pen.geometric = (o->pen.style & U_PS_TYPE_MASK) == U_PS_GEOMETRIC;
            o->pen.color = color(r.u32(40));
            if (r.u32(36) == U_BS_NULL) o->pen.style = U_PS_NULL;
        }
        break;
    case U_EMR_CREATEBRUSHINDIRECT:
        if (Object* o = slot(r.u32(8)); o && r.has(12, 12)) {
            o->kind = Object::Brush;
            o->brush = BrushObj();
            o->brush.style = r.u32(12);
            o->brush.color = color(r.u32(16));
            o->brush.hatch = r.u32(20);
        }
        break;
    case U_EMR_CREATEDIBPATTERNBRUSHPT:
    case U_EMR_CREATEMONOBRUSH:
        // ihBrush, iUsage, offBmi, cbBmi, offBits, cbBits
        if (Object* o = slot(r.u32(8))) {
            o->kind = Object::Brush;
            o->brush = BrushObj();
            o->brush.style = U_BS_DIBPATTERNPT;
            o->brush.color = Qt::black;
            QImage img = decodeDib(r, r.u32(16), r.u32(20), r.u32(24), r.u32(28), r.u32(12));
            if (!img.isNull() && img.width() <= 256 && img.height() <= 256) o->brush.pattern = img;
        }
        break;
    case U_EMR_EXTCREATEFONTINDIRECTW:
        createFont(r);
        break;
    default: // palettes and colour spaces take a slot and draw nothing
        if (Object* o = slot(r.u32(8))) {
            *o = Object();
            o->kind = Object::Other;
        }
        break;
    }
}

// ----- clipping -----

void Player::setClip(const QPainterPath& devicePath, uint32_t mode) {
    QPainterPath cur = st_.clip ? *st_.clip : QPainterPath();
    switch (mode) {
    case U_RGN_AND:
        st_.clip = st_.clip ? cur.intersected(devicePath) : devicePath;
        break;
    case U_RGN_OR:
        if (st_.clip) st_.clip = cur.united(devicePath);
        break;
    case U_RGN_XOR:
        if (st_.clip) st_.clip = cur.subtracted(devicePath).united(devicePath.subtracted(cur));
        break;
    case U_RGN_DIFF:
        if (st_.clip) st_.clip = cur.subtracted(devicePath);
        break;
    case U_RGN_COPY:
        st_.clip = devicePath;
        break;
    default:
        break;
    }
}

void Player::clipRecord(uint32_t type, const Reader& r) {
    switch (type) {
    case U_EMR_INTERSECTCLIPRECT:
    case U_EMR_EXCLUDECLIPRECT: {
        QTransform t = total();
        if (!finiteTransform(t)) break;
        QPainterPath p;
        p.addRect(rectl(r, 8));
        setClip(t.map(p), type == U_EMR_INTERSECTCLIPRECT ? U_RGN_AND : U_RGN_DIFF);
        break;
    }
    case U_EMR_EXTSELECTCLIPRGN: {
        // The region is in device units of the recording: only the frame mapping applies.
        uint64_t cb = r.u32(8);
        uint32_t mode = r.u32(12);
        if (cb == 0) {
            if (mode == U_RGN_COPY) {
                QPainterPath frame;
                frame.addRect(frame_);
                st_.clip = (base_ * baseTransform_).map(frame);
            }
            break;
        }
        if (auto rg = readRegion(r, 16, cb)) {
            QPainterPath p;
            p.addRegion(*rg);
            setClip((base_ * baseTransform_).map(p), mode);
        }
        break;
    }
    case U_EMR_SELECTCLIPPATH: {
        QTransform t = total();
        if (finiteTransform(t)) setClip(t.map(path_), r.u32(8));
        path_ = QPainterPath();
        inPath_ = false;
        break;
    }
    default:
        break;
    }
}

// ----- the path bracket -----

void Player::pathBracket(uint32_t type, const Reader&) {
    switch (type) {
    case U_EMR_BEGINPATH:
        inPath_ = true;
        path_ = QPainterPath();
        path_.moveTo(st_.pos);
        break;
    case U_EMR_ENDPATH:
        inPath_ = false;
        break;
    case U_EMR_ABORTPATH:
        inPath_ = false;
        path_ = QPainterPath();
        break;
    case U_EMR_CLOSEFIGURE:
        if (inPath_) path_.closeSubpath();
        break;
    default: { // FILLPATH, STROKEANDFILLPATH, STROKEPATH
        inPath_ = false;
        QPainterPath p = path_;
        p.setFillRule(st_.polyFill == U_WINDING ? Qt::WindingFill : Qt::OddEvenFill);
        drawPath(p, type != U_EMR_STROKEPATH, type != U_EMR_FILLPATH);
        path_ = QPainterPath();
        break;
    }
    }
}

void play(QPainter& painter, const QRectF& dest, const Metafile& metafile) {
    const QRectF& f = metafile.recordFrame();
    if (f.width() <= 0 || f.height() <= 0 || dest.isEmpty()) return;
    painter.save();
    Player(painter, dest, metafile).run();
    painter.restore();
}

} // namespace mf
