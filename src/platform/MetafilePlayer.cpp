// The metafile player: walks the enhanced records of a metafile and draws them with
// QPainter. Every field is read through a bounded record reader, every count is checked
// against the record's size in 64-bit arithmetic and every object index against the table,
// so a record that lies is skipped rather than read past its end.
#include "platform/MetafilePlayer.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QStringDecoder>

#include "platform/Limits.h"
#include "platform/Metafile.h"
#include "platform/MetafileRecords.h"

namespace mf {
namespace {

using Reader = RecordReader;

QColor color(uint32_t ref) {
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
constexpr double kMaxCoord = 1e9;

bool finiteTransform(const QTransform& t) {
    const double v[] = {t.m11(), t.m12(), t.m21(), t.m22(), t.dx(), t.dy()};
    for (double d : v)
        if (!std::isfinite(d) || std::fabs(d) > kMaxCoord) return false;
    return std::fabs(t.determinant()) > 1e-12;
}

QImage decodeDib(const Reader& r, uint64_t offBmi, uint64_t cbBmi, uint64_t offBits,
                 uint64_t cbBits, uint32_t usage);

class Player {
public:
    Player(QPainter& p, const QRectF& dest, const Metafile& m)
        : p_(p), m_(m), handles_(std::min<uint32_t>(m.handleCount(), kMaxHandles)) {
        const QRectF& f = m.recordFrame();
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

    void run() {
        const std::vector<uint8_t>& rec = m_.records();
        size_t pos = 0;
        while (pos + 8 <= rec.size()) {
            Reader r(rec.data() + pos, rec.size() - pos);
            uint32_t type = r.u32(0), size = r.u32(4);
            if (size < 8 || size > rec.size() - pos) break;
            Reader one(rec.data() + pos, size);
            record(type, one);
            pos += size;
        }
    }

private:
    // ----- coordinate mapping -----
    QTransform page() const { return st_.map.page(m_.deviceResolution()); }
    QTransform total() const { return st_.world * page() * base_ * baseTransform_; }

    // Sets the painter up for a drawing in logical coordinates; false when the current
    // mapping cannot be drawn with.
    bool begin() {
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

    QPen qpen() const {
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

    QBrush qbrush() const {
        const BrushObj& b = st_.brush;
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

    // Strokes and/or fills a path in logical coordinates, or adds it to the path being
    // built between BEGINPATH and ENDPATH.
    void drawPath(const QPainterPath& path, bool fill, bool stroke) {
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

    // ----- reading helpers -----
    static QRectF rectl(const Reader& r, size_t off) {
        double l = r.i32(off), t = r.i32(off + 4), ri = r.i32(off + 8), b = r.i32(off + 12);
        return QRectF(QPointF(std::min(l, ri), std::min(t, b)),
                      QPointF(std::max(l, ri), std::max(t, b)));
    }

    // Points of a poly record: count at countOff, points after it (16- or 32-bit pairs).
    static bool readPoints(const Reader& r, size_t countOff, bool small,
                           std::vector<QPointF>& pts) {
        uint64_t n = r.u32(countOff);
        uint64_t bytes = n * (small ? 4u : 8u);
        size_t off = countOff + 4;
        if (!r.has(off, bytes)) return false;
        pts.resize(static_cast<size_t>(n));
        for (uint64_t i = 0; i < n; ++i) {
            if (small)
                pts[i] = QPointF(r.i16(off + i * 4), r.i16(off + i * 4 + 2));
            else
                pts[i] = QPointF(r.i32(off + i * 8), r.i32(off + i * 8 + 4));
        }
        return true;
    }

    static QPainterPath polyPath(const std::vector<QPointF>& pts, bool close) {
        QPainterPath path;
        if (pts.empty()) return path;
        path.moveTo(pts[0]);
        for (size_t i = 1; i < pts.size(); ++i)
            path.lineTo(pts[i]);
        if (close) path.closeSubpath();
        return path;
    }

    static QPainterPath bezierPath(QPointF start, const std::vector<QPointF>& pts, size_t first) {
        QPainterPath path;
        path.moveTo(start);
        for (size_t i = first; i + 2 < pts.size(); i += 3)
            path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
        return path;
    }

    void polyRecord(uint32_t type, const Reader& r) {
        bool small = type >= U_EMR_POLYBEZIER16;
        std::vector<QPointF> pts;
        if (!readPoints(r, 24, small, pts) || pts.empty()) return;
        QPainterPath path;
        Qt::FillRule rule = st_.polyFill == U_WINDING ? Qt::WindingFill : Qt::OddEvenFill;
        switch (type) {
        case U_EMR_POLYGON:
        case U_EMR_POLYGON16:
            path = polyPath(pts, true);
            path.setFillRule(rule);
            drawPath(path, true, true);
            break;
        case U_EMR_POLYLINE:
        case U_EMR_POLYLINE16:
            drawPath(polyPath(pts, false), false, true);
            break;
        case U_EMR_POLYLINETO:
        case U_EMR_POLYLINETO16:
            pts.insert(pts.begin(), st_.pos);
            drawPath(polyPath(pts, false), false, true);
            st_.pos = pts.back();
            break;
        case U_EMR_POLYBEZIER:
        case U_EMR_POLYBEZIER16:
            if (pts.size() >= 4) drawPath(bezierPath(pts[0], pts, 1), false, true);
            break;
        case U_EMR_POLYBEZIERTO:
        case U_EMR_POLYBEZIERTO16:
            if (pts.size() >= 3) {
                drawPath(bezierPath(st_.pos, pts, 0), false, true);
                st_.pos = pts[(pts.size() / 3) * 3 - 1];
            }
            break;
        default:
            break;
        }
    }

    void polyPolyRecord(uint32_t type, const Reader& r) {
        bool small = type == U_EMR_POLYPOLYLINE16 || type == U_EMR_POLYPOLYGON16;
        uint64_t nPolys = r.u32(24), cpts = r.u32(28);
        uint64_t need = nPolys * 4 + cpts * (small ? 4 : 8);
        if (!r.has(32, need)) return;
        size_t ptOff = static_cast<size_t>(32 + nPolys * 4);
        QPainterPath path;
        path.setFillRule(st_.polyFill == U_WINDING ? Qt::WindingFill : Qt::OddEvenFill);
        uint64_t used = 0;
        bool polygon = type == U_EMR_POLYPOLYGON || type == U_EMR_POLYPOLYGON16;
        for (uint64_t i = 0; i < nPolys; ++i) {
            uint64_t n = r.u32(static_cast<size_t>(32 + i * 4));
            if (n > cpts - used) return;
            for (uint64_t k = 0; k < n; ++k) {
                size_t o = static_cast<size_t>(ptOff + (used + k) * (small ? 4 : 8));
                QPointF pt =
                    small ? QPointF(r.i16(o), r.i16(o + 2)) : QPointF(r.i32(o), r.i32(o + 4));
                if (k == 0)
                    path.moveTo(pt);
                else
                    path.lineTo(pt);
            }
            if (polygon && n > 0) path.closeSubpath();
            used += n;
        }
        drawPath(path, polygon, true);
    }

    void arcRecord(uint32_t type, const Reader& r) {
        QRectF box = rectl(r, 8);
        QPointF s(r.i32(24), r.i32(28)), e(r.i32(32), r.i32(36));
        QPointF c = box.center();
        auto angle = [&](QPointF p) {
            double rx = std::max(box.width() / 2, 1e-9), ry = std::max(box.height() / 2, 1e-9);
            return std::atan2(-(p.y() - c.y()) / ry, (p.x() - c.x()) / rx) * 180.0 / M_PI;
        };
        double a0 = angle(s), a1 = angle(e);
        double sweep = st_.arcClockwise ? -std::fmod(a0 - a1 + 720.0, 360.0)
                                        : std::fmod(a1 - a0 + 720.0, 360.0);
        if (sweep == 0) sweep = st_.arcClockwise ? -360 : 360;
        QPainterPath path;
        if (type == U_EMR_PIE) {
            path.moveTo(c);
            path.arcTo(box, a0, sweep);
            path.closeSubpath();
        } else if (type == U_EMR_ARCTO) {
            path.moveTo(st_.pos);
            QPainterPath arc;
            arc.arcMoveTo(box, a0);
            path.lineTo(arc.currentPosition());
            path.arcTo(box, a0, sweep);
            st_.pos = path.currentPosition();
        } else {
            path.arcMoveTo(box, a0);
            path.arcTo(box, a0, sweep);
            if (type == U_EMR_CHORD) path.closeSubpath();
        }
        bool closed = type == U_EMR_CHORD || type == U_EMR_PIE;
        drawPath(path, closed, true);
    }

    // ----- objects -----
    // The object in a table slot; the table holds only the slots in use, so a header that
    // declares many slots costs nothing.
    Object* slot(uint32_t index) {
        if (index == 0 || index >= handles_) return nullptr;
        return &objects_[index];
    }

    void selectObject(uint32_t index) {
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

    void createFont(const Reader& r) {
        Object* o = slot(r.u32(8));
        if (!o || !r.has(12, 92)) return;
        FontObj f;
        f.height = r.i32(12);
        f.escapement = r.i32(20);
        f.weight = r.i32(28);
        f.italic = r.u8(32) != 0;
        f.underline = r.u8(33) != 0;
        f.strikeOut = r.u8(34) != 0;
        f.charset = r.u8(35);
        std::u16string face;
        for (size_t i = 0; i < 32; ++i) {
            char16_t ch = r.u16(44 + i * 2);
            if (!ch) break;
            face.push_back(ch);
        }
        f.face = QString::fromStdU16String(face);
        o->kind = Object::Font;
        o->font = f;
    }

    // ----- text -----
    void textRecord(uint32_t type, const Reader& r) {
        bool wide = type == U_EMR_EXTTEXTOUTW;
        QPointF ref(r.i32(36), r.i32(40));
        uint64_t n = r.u32(44), offString = r.u32(48), options = r.u32(52);
        bool hasRect = !(options & U_ETO_NO_RECT);
        size_t offDxField = hasRect ? 72 : 56;
        QRectF rcl = hasRect ? rectl(r, 56) : QRectF();
        uint64_t offDx = r.u32(offDxField);
        if (!r.ok() || n == 0 || n > 65536) return;
        const uint8_t* str = r.ptr(offString, n * (wide ? 2 : 1));
        if (!str) return;
        std::vector<int32_t> dx;
        if (offDx) {
            uint64_t per = (options & U_ETO_PDY) ? 2 : 1;
            if (!r.has(offDx, n * 4 * per)) return;
            dx.resize(n);
            for (uint64_t i = 0; i < n; ++i)
                dx[i] = r.i32(static_cast<size_t>(offDx + i * 4 * per));
        }
        // Characters and their advances (a double-byte character takes both bytes' advances).
        QString text;
        std::vector<double> adv;
        if (wide) {
            std::u16string u(n, u'\0');
            for (uint64_t i = 0; i < n; ++i)
                u[i] = char16_t(str[i * 2] | (str[i * 2 + 1] << 8));
            text = QString::fromStdU16String(u);
            if (!dx.empty()) adv.assign(dx.begin(), dx.end());
        } else {
            bool sjis = st_.font.charset == 128;
            for (uint64_t i = 0; i < n;) {
                int len = 1;
                if (sjis && i + 1 < n &&
                    ((str[i] >= 0x81 && str[i] <= 0x9F) || (str[i] >= 0xE0 && str[i] <= 0xFC)))
                    len = 2;
                QByteArray bytes(reinterpret_cast<const char*>(str + i), len);
                QString ch;
                if (sjis) {
                    QStringDecoder dec("windows-31j");
                    ch = dec.isValid() ? QString(dec(bytes)) : QString::fromLatin1(bytes);
                } else {
                    ch = QString::fromLatin1(bytes);
                }
                if (ch.isEmpty()) ch = QStringLiteral("?");
                text += ch;
                if (!dx.empty()) {
                    double a = dx[i] + (len == 2 ? dx[i + 1] : 0);
                    adv.push_back(a);
                    for (int k = 1; k < ch.size(); ++k)
                        adv.push_back(0);
                }
                i += static_cast<uint64_t>(len);
            }
        }
        drawText(ref, text, adv, options, rcl);
    }

    void drawText(QPointF ref, const QString& text, const std::vector<double>& adv,
                  uint64_t options, const QRectF& rcl) {
        if (inPath_) return;
        if (!begin()) return;
        if (st_.textAlign & U_TA_UPDATECP) ref = st_.pos;
        QTransform t = p_.transform();
        QPointF o = t.map(ref);
        QPointF ux = t.map(ref + QPointF(1, 0)) - o, uy = t.map(ref + QPointF(0, 1)) - o;
        double sx = std::hypot(ux.x(), ux.y()), sy = std::hypot(uy.x(), uy.y());
        double h = st_.font.height == 0 ? 12.0 : std::fabs(double(st_.font.height));
        double hDev = h * sy;
        if (!(hDev >= 0.5 && hDev <= 8000)) return;

        if ((options & U_ETO_OPAQUE) && !rcl.isEmpty()) p_.fillRect(rcl, st_.bkColor);
        if ((options & U_ETO_CLIPPED) && !rcl.isEmpty()) p_.setClipRect(rcl, Qt::IntersectClip);

        // Fonts are drawn upright at their device size whatever the mapping's axis
        // directions, as the classic device does.
        int px = hDev >= 8 ? static_cast<int>(std::lround(hDev)) : 64;
        double extra = hDev >= 8 ? hDev / px : hDev / 64;
        QFont font(st_.font.face.isEmpty() ? QStringLiteral("sans-serif") : st_.font.face);
        font.setPixelSize(px);
        if (st_.font.height > 0) {
            // A positive height is the cell height: internal leading included.
            QFontMetricsF fm(font);
            if (fm.height() > 0)
                font.setPixelSize(std::max(1, int(std::lround(px * px / fm.height()))));
        }
        font.setWeight(
            QFont::Weight(std::clamp(st_.font.weight == 0 ? 400 : st_.font.weight, 1, 1000)));
        font.setItalic(st_.font.italic);
        font.setUnderline(st_.font.underline);
        font.setStrikeOut(st_.font.strikeOut);
        QFontMetricsF fm(font);

        std::vector<double> xs(static_cast<size_t>(text.size()) + 1, 0);
        for (int i = 0; i < text.size(); ++i) {
            double a = (size_t(i) < adv.size()) ? adv[size_t(i)] * sx / extra
                                                : fm.horizontalAdvance(text.at(i));
            xs[size_t(i) + 1] = xs[size_t(i)] + a;
        }
        double width = xs.back();
        double x0 = 0, y0 = 0;
        uint32_t ha = st_.textAlign & U_TA_CENTER;
        if (ha == U_TA_CENTER)
            x0 = -width / 2;
        else if (ha == U_TA_RIGHT)
            x0 = -width;
        uint32_t va = st_.textAlign & U_TA_BASELINE;
        if (va == U_TA_BASELINE)
            y0 = 0;
        else if (va == U_TA_BOTTOM)
            y0 = -fm.descent();
        else
            y0 = fm.ascent();

        double angle = std::atan2(ux.y(), ux.x()) * 180.0 / M_PI - st_.font.escapement / 10.0;
        QTransform tt;
        tt.translate(o.x(), o.y());
        tt.rotate(angle);
        tt.scale(extra, extra);
        p_.setTransform(tt);
        if (st_.bkMode == U_OPAQUE && !(options & U_ETO_OPAQUE))
            p_.fillRect(QRectF(x0, y0 - fm.ascent(), width, fm.height()), st_.bkColor);
        p_.setFont(font);
        p_.setPen(st_.textColor);
        if (adv.empty()) {
            p_.drawText(QPointF(x0, y0), text);
        } else {
            for (int i = 0; i < text.size(); ++i)
                p_.drawText(QPointF(x0 + xs[size_t(i)], y0), QString(text.at(i)));
        }
        if (st_.textAlign & U_TA_UPDATECP) {
            QTransform inv = total().inverted();
            st_.pos = inv.map(tt.map(QPointF(x0 + width, y0)));
        }
    }

    // ----- bitmaps -----
    void blit(const QImage& img, QRectF src, QRectF dst, uint32_t rop) {
        if (inPath_ || !begin()) return;
        if (img.isNull()) {
            // Pattern or constant operations that use no source.
            switch (rop) {
            case 0x00000042:
                p_.fillRect(dst, Qt::black);
                break; // BLACKNESS
            case 0x00FF0062:
                p_.fillRect(dst, Qt::white);
                break; // WHITENESS
            case 0x00F00021:
                p_.fillRect(dst, qbrush());
                break;       // PATCOPY
            case 0x00550009: // DSTINVERT
                p_.setCompositionMode(QPainter::RasterOp_NotDestination);
                p_.fillRect(dst, Qt::black);
                break;
            case 0x005A0049: // PATINVERT
                p_.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
                p_.fillRect(dst, qbrush());
                break;
            default:
                break;
            }
            return;
        }
        switch (rop) {
        case 0x008800C6:
            p_.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
            break;
        case 0x00EE0086:
            p_.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
            break;
        case 0x00660046:
            p_.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            break;
        case 0x00330008:
            p_.setCompositionMode(QPainter::RasterOp_NotSource);
            break;
        default:
            break;
        }
        QImage im = img;
        if (dst.width() < 0 || dst.height() < 0) {
            im = im.mirrored(dst.width() < 0, dst.height() < 0);
            if (dst.width() < 0) src.moveLeft(im.width() - src.right());
            if (dst.height() < 0) src.moveTop(im.height() - src.bottom());
            dst = dst.normalized();
        }
        p_.drawImage(dst, im, src);
    }

    // Source rectangle of a DIB: rows of a bottom-up DIB are counted from the bottom.
    static QRectF dibSource(const QImage& img, bool bottomUp, double x, double y, double w,
                            double h) {
        if (bottomUp) y = img.height() - y - h;
        return QRectF(x, y, w, h);
    }

    void dibRecord(uint32_t type, const Reader& r) {
        if (type == U_EMR_STRETCHDIBITS) {
            QImage img = decodeDib(r, r.u32(48), r.u32(52), r.u32(56), r.u32(60), r.u32(64));
            if (img.isNull()) return;
            bool bottomUp = r.i32(r.u32(48) + 8) > 0;
            QRectF src = dibSource(img, bottomUp, r.i32(32), r.i32(36), r.i32(40), r.i32(44));
            blit(img, src, QRectF(r.i32(24), r.i32(28), r.i32(72), r.i32(76)), r.u32(68));
        } else if (type == U_EMR_SETDIBITSTODEVICE) {
            QImage img = decodeDib(r, r.u32(48), r.u32(52), r.u32(56), r.u32(60), r.u32(64));
            if (img.isNull()) return;
            bool bottomUp = r.i32(r.u32(48) + 8) > 0;
            double w = r.i32(40), h = r.i32(44);
            QRectF src = dibSource(img, bottomUp, r.i32(32), r.i32(36), w, h);
            blit(img, src, QRectF(r.i32(24), r.i32(28), w, h), U_SRCCOPY);
        } else {
            // BITBLT, STRETCHBLT, ALPHABLEND, TRANSPARENTBLT share the first fields.
            QRectF dst(r.i32(24), r.i32(28), r.i32(32), r.i32(36));
            uint32_t rop = r.u32(40);
            uint32_t cbBmi = r.u32(88);
            if (cbBmi == 0) {
                blit(QImage(), QRectF(), dst, rop);
                return;
            }
            QImage img = decodeDib(r, r.u32(84), cbBmi, r.u32(92), r.u32(96), r.u32(80));
            if (img.isNull()) return;
            bool bottomUp = r.i32(r.u32(84) + 8) > 0;
            double cx = type == U_EMR_BITBLT ? dst.width() : r.i32(100);
            double cy = type == U_EMR_BITBLT ? dst.height() : r.i32(104);
            QRectF src = dibSource(img, bottomUp, r.i32(44), r.i32(48), cx, cy);
            if (type == U_EMR_ALPHABLEND) {
                p_.save();
                double alpha = ((rop >> 16) & 0xFF) / 255.0;
                if (begin()) {
                    p_.setOpacity(alpha);
                    QImage a = img;
                    if (((rop >> 24) & 1) && a.format() == QImage::Format_RGB32)
                        a = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
                    p_.drawImage(dst.normalized(), a, src);
                }
                p_.restore();
                return;
            }
            if (type == U_EMR_TRANSPARENTBLT) {
                QImage a = img.convertToFormat(QImage::Format_ARGB32);
                QRgb key = qRgb(rop & 0xFF, (rop >> 8) & 0xFF, (rop >> 16) & 0xFF);
                for (int y = 0; y < a.height(); ++y) {
                    QRgb* line = reinterpret_cast<QRgb*>(a.scanLine(y));
                    for (int x = 0; x < a.width(); ++x)
                        if ((line[x] & 0xFFFFFF) == (key & 0xFFFFFF)) line[x] = 0;
                }
                blit(a, src, dst, U_SRCCOPY);
                return;
            }
            blit(img, src, dst, rop);
        }
    }

    // ----- clipping -----
    void setClip(const QPainterPath& devicePath, uint32_t mode) {
        QPainterPath cur = st_.clip ? *st_.clip : QPainterPath();
        switch (mode) {
        case 1:
            st_.clip = st_.clip ? cur.intersected(devicePath) : devicePath;
            break; // AND
        case 2:
            if (st_.clip) st_.clip = cur.united(devicePath);
            break; // OR
        case 3:
            if (st_.clip) st_.clip = cur.subtracted(devicePath).united(devicePath.subtracted(cur));
            break;
        case 4:
            if (st_.clip) st_.clip = cur.subtracted(devicePath);
            break; // DIFF
        case 5:
            st_.clip = devicePath;
            break; // COPY
        default:
            break;
        }
    }

    // RGNDATA in the record at off with cb bytes: its rectangles as a path.
    static std::optional<QPainterPath> region(const Reader& r, size_t off, uint64_t cb) {
        if (cb < 32 || !r.has(off, cb)) return std::nullopt;
        uint64_t count = r.u32(off + 8);
        if (count * 16 > cb - 32) return std::nullopt;
        QPainterPath path;
        for (uint64_t i = 0; i < count; ++i)
            path.addRect(rectl(r, static_cast<size_t>(off + 32 + i * 16)));
        return path;
    }

    // ----- dispatcher -----
    void record(uint32_t type, const Reader& r) {
        switch (type) {
        case U_EMR_POLYBEZIER:
        case U_EMR_POLYGON:
        case U_EMR_POLYLINE:
        case U_EMR_POLYBEZIERTO:
        case U_EMR_POLYLINETO:
        case U_EMR_POLYBEZIER16:
        case U_EMR_POLYGON16:
        case U_EMR_POLYLINE16:
        case U_EMR_POLYBEZIERTO16:
        case U_EMR_POLYLINETO16:
            polyRecord(type, r);
            break;
        case U_EMR_POLYPOLYLINE:
        case U_EMR_POLYPOLYGON:
        case U_EMR_POLYPOLYLINE16:
        case U_EMR_POLYPOLYGON16:
            polyPolyRecord(type, r);
            break;
        case U_EMR_SETWINDOWEXTEX:
        case U_EMR_SETWINDOWORGEX:
        case U_EMR_SETVIEWPORTEXTEX:
        case U_EMR_SETVIEWPORTORGEX:
        case U_EMR_SCALEVIEWPORTEXTEX:
        case U_EMR_SCALEWINDOWEXTEX:
        case U_EMR_SETMAPMODE:
            st_.map.apply(type, r);
            break;
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
        case U_EMR_MOVETOEX:
            st_.pos = QPointF(r.i32(8), r.i32(12));
            if (inPath_) path_.moveTo(st_.pos);
            break;
        case U_EMR_LINETO: {
            QPointF to(r.i32(8), r.i32(12));
            QPainterPath path;
            path.moveTo(st_.pos);
            path.lineTo(to);
            if (inPath_)
                path_.lineTo(to);
            else
                drawPath(path, false, true);
            st_.pos = to;
            break;
        }
        case U_EMR_SETPIXELV:
            if (!inPath_ && begin())
                p_.fillRect(QRectF(r.i32(8), r.i32(12), 1, 1), color(r.u32(16)));
            break;
        case U_EMR_RECTANGLE:
        case U_EMR_ELLIPSE:
        case U_EMR_ROUNDRECT: {
            QRectF box = rectl(r, 8);
            QPainterPath path;
            if (type == U_EMR_RECTANGLE)
                path.addRect(box);
            else if (type == U_EMR_ELLIPSE)
                path.addEllipse(box);
            else
                path.addRoundedRect(box, r.i32(24) / 2.0, r.i32(28) / 2.0);
            drawPath(path, true, true);
            break;
        }
        case U_EMR_ARC:
        case U_EMR_CHORD:
        case U_EMR_PIE:
        case U_EMR_ARCTO:
            arcRecord(type, r);
            break;
        case U_EMR_ANGLEARC: {
            QPointF c(r.i32(8), r.i32(12));
            double rad = r.u32(16), a0 = r.f32(20), sw = r.f32(24);
            if (!std::isfinite(a0) || !std::isfinite(sw) || rad > kMaxCoord) break;
            QRectF box(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad);
            QPainterPath path;
            path.moveTo(st_.pos);
            QPainterPath a;
            a.arcMoveTo(box, a0);
            path.lineTo(a.currentPosition());
            path.arcTo(box, a0, std::clamp(sw, -360.0, 360.0));
            st_.pos = path.currentPosition();
            drawPath(path, false, true);
            break;
        }
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
                if (!img.isNull() && img.width() <= 256 && img.height() <= 256)
                    o->brush.pattern = img;
            }
            break;
        case U_EMR_EXTCREATEFONTINDIRECTW:
            createFont(r);
            break;
        case U_EMR_CREATEPALETTE:
        case U_EMR_CREATECOLORSPACE:
        case U_EMR_CREATECOLORSPACEW:
            if (Object* o = slot(r.u32(8))) {
                *o = Object();
                o->kind = Object::Other;
            }
            break;
        case U_EMR_EXTTEXTOUTW:
        case U_EMR_EXTTEXTOUTA:
            textRecord(type, r);
            break;
        case U_EMR_BITBLT:
        case U_EMR_STRETCHBLT:
        case U_EMR_STRETCHDIBITS:
        case U_EMR_SETDIBITSTODEVICE:
        case U_EMR_ALPHABLEND:
        case U_EMR_TRANSPARENTBLT:
            dibRecord(type, r);
            break;
        case U_EMR_INTERSECTCLIPRECT:
        case U_EMR_EXCLUDECLIPRECT: {
            QTransform t = total();
            if (!finiteTransform(t)) break;
            QPainterPath p;
            p.addRect(rectl(r, 8));
            setClip(t.map(p), type == U_EMR_INTERSECTCLIPRECT ? 1 : 4);
            break;
        }
        case U_EMR_EXTSELECTCLIPRGN: {
            uint64_t cb = r.u32(8);
            uint32_t mode = r.u32(12);
            if (cb == 0) {
                if (mode == 5) {
                    QPainterPath frame;
                    frame.addRect(m_.recordFrame());
                    st_.clip = (base_ * baseTransform_).map(frame);
                }
                break;
            }
            if (auto rg = region(r, 16, cb)) setClip((base_ * baseTransform_).map(*rg), mode);
            break;
        }
        case U_EMR_FILLRGN:
            if (auto rg = region(r, 32, r.u32(24))) {
                BrushObj keep = st_.brush;
                uint32_t ih = r.u32(28);
                selectObject(ih);
                QPainterPath p = *rg;
                if (!inPath_ && begin()) p_.fillPath(p, qbrush());
                st_.brush = keep;
            }
            break;
        case U_EMR_PAINTRGN:
            if (auto rg = region(r, 28, r.u32(24)))
                if (!inPath_ && begin()) p_.fillPath(*rg, qbrush());
            break;
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
        case U_EMR_FILLPATH:
        case U_EMR_STROKEANDFILLPATH:
        case U_EMR_STROKEPATH: {
            inPath_ = false;
            QPainterPath p = path_;
            p.setFillRule(st_.polyFill == U_WINDING ? Qt::WindingFill : Qt::OddEvenFill);
            drawPath(p, type != U_EMR_STROKEPATH, type != U_EMR_FILLPATH);
            path_ = QPainterPath();
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
            break; // records with no visible effect here, or unknown ones
        }
    }

    QPainter& p_;
    const Metafile& m_;
    uint32_t handles_;
    std::unordered_map<uint32_t, Object> objects_;
    QTransform base_, baseTransform_;
    DcState st_;
    std::vector<DcState> saved_;
    bool inPath_ = false;
    QPainterPath path_;
};

// A device-independent bitmap inside a record: header at offBmi (cbBmi bytes), pixels at
// offBits (cbBits bytes). Null when any part lies outside the record or the layout is not
// one this player draws.
QImage decodeDib(const Reader& r, uint64_t offBmi, uint64_t cbBmi, uint64_t offBits,
                 uint64_t cbBits, uint32_t usage) {
    if (cbBmi < 40 || !r.has(offBmi, cbBmi) || !r.has(offBits, cbBits)) return QImage();
    size_t o = static_cast<size_t>(offBmi);
    uint32_t hdr = r.u32(o);
    if (hdr < 40 || hdr > cbBmi) return QImage();
    int64_t w = r.i32(o + 4), h = r.i32(o + 8);
    int bits = r.u16(o + 14);
    uint32_t comp = r.u32(o + 16);
    uint64_t used = r.u32(o + 32);
    bool topDown = h < 0;
    h = std::llabs(h);
    if (w <= 0 || h <= 0 || w > limits::kMaxSide || h > limits::kMaxSide ||
        w * h > limits::kMaxPixels)
        return QImage();
    const uint8_t* px = r.ptr(static_cast<size_t>(offBits), cbBits);
    if (!px) return QImage();
    if (comp == U_BI_JPEG || comp == U_BI_PNG) {
        QImage img = QImage::fromData(px, static_cast<int>(std::min<uint64_t>(cbBits, INT32_MAX)));
        if (img.width() > limits::kMaxSide || img.height() > limits::kMaxSide) return QImage();
        return img;
    }
    if (!(bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32))
        return QImage();
    if (comp != U_BI_RGB && comp != U_BI_BITFIELDS) return QImage();
    uint64_t stride = ((uint64_t(w) * bits + 31) / 32) * 4;
    if (stride * uint64_t(h) > cbBits) return QImage();

    // Colour table (or the bit masks after a 40-byte header).
    std::vector<QRgb> table;
    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (bits == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0xFF00;
        masks[2] = 0xFF;
    }
    size_t after = o + hdr;
    if (comp == U_BI_BITFIELDS && (bits == 16 || bits == 32)) {
        size_t mo = hdr >= 52 ? o + 40 : after;
        if (!r.has(mo, 12) || mo + 12 > offBmi + cbBmi) return QImage();
        for (int i = 0; i < 3; ++i)
            masks[i] = r.u32(mo + 4 * i);
    }
    if (bits <= 8) {
        uint64_t n = used ? std::min<uint64_t>(used, 1u << bits) : (1u << bits);
        for (uint64_t i = 0; i < n; ++i) {
            if (usage != U_DIB_RGB_COLORS) {
                int v = int(i * 255 / std::max<uint64_t>(n - 1, 1));
                table.push_back(qRgb(v, v, v));
                continue;
            }
            size_t e = static_cast<size_t>(after + i * 4);
            if (e + 4 > offBmi + cbBmi) break;
            table.push_back(qRgb(r.u8(e + 2), r.u8(e + 1), r.u8(e)));
        }
        while (table.size() < (1u << bits))
            table.push_back(qRgb(0, 0, 0));
    }
    auto chan = [](uint32_t v, uint32_t mask) -> int {
        if (!mask) return 0;
        int shift = 0;
        while (!((mask >> shift) & 1))
            ++shift;
        uint32_t m = mask >> shift;
        return int(uint64_t((v >> shift) & m) * 255 / m);
    };
    QImage img(int(w), int(h), QImage::Format_RGB32);
    if (img.isNull()) return QImage();
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* row = px + (topDown ? y : h - 1 - y) * stride;
        QRgb* out = reinterpret_cast<QRgb*>(img.scanLine(int(y)));
        for (int64_t x = 0; x < w; ++x) {
            switch (bits) {
            case 1:
                out[x] = table[(row[x >> 3] >> (7 - (x & 7))) & 1];
                break;
            case 4:
                out[x] = table[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
                break;
            case 8:
                out[x] = table[row[x]];
                break;
            case 16: {
                uint32_t v = row[x * 2] | (row[x * 2 + 1] << 8);
                out[x] = qRgb(chan(v, masks[0]), chan(v, masks[1]), chan(v, masks[2]));
                break;
            }
            case 24:
                out[x] = qRgb(row[x * 3 + 2], row[x * 3 + 1], row[x * 3]);
                break;
            case 32: {
                uint32_t v = row[x * 4] | (row[x * 4 + 1] << 8) | (row[x * 4 + 2] << 16) |
                             (uint32_t(row[x * 4 + 3]) << 24);
                out[x] = comp == U_BI_BITFIELDS
                             ? qRgb(chan(v, masks[0]), chan(v, masks[1]), chan(v, masks[2]))
                             : (0xFF000000u | (v & 0xFFFFFF));
                break;
            }
            default:
                break;
            }
        }
    }
    return img;
}

} // namespace

void play(QPainter& painter, const QRectF& dest, const Metafile& metafile) {
    const QRectF& f = metafile.recordFrame();
    if (f.width() <= 0 || f.height() <= 0 || dest.isEmpty()) return;
    painter.save();
    Player(painter, dest, metafile).run();
    painter.restore();
}

} // namespace mf
