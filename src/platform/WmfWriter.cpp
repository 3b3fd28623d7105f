// Writing enhanced records out as a placeable old-style metafile (.wmf). Old-style files
// have no world transform, no paths and no stock objects: the transform is applied to the
// points here, a path is flattened into polygons and polylines when it is filled or
// stroked, and stock pens and brushes are created on first use. Records are dispatched by
// family: device context, shapes, paths, objects, text and bitmaps.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

#include <QPainterPath>
#include <QStringEncoder>
#include <QTransform>

#include "core/ByteIO.h"
#include "platform/Metafile.h"
#include "platform/MetafileRecords.h"
#include "platform/Screen.h"
#include "platform/Wmf.h"

namespace mf {
using namespace wmf;
namespace {

class WmfWriter {
public:
    explicit WmfWriter(const Metafile& m) : m_(m) {}

    std::vector<uint8_t> run() {
        const QRectF f = m_.recordFrame();
        const int w = std::max(1, m_.width()), h = std::max(1, m_.height());
        // Record coordinates must fit 16 bits: scale them down when the frame is larger.
        double extent = std::max({std::fabs(f.left()), std::fabs(f.right()), std::fabs(f.top()),
                                  std::fabs(f.bottom()), 1.0});
        k_ = extent > 32000 ? 32000 / extent : 1.0;

        // The placeable header's box is the natural size; its units per inch make the
        // physical size come out as the metafile's.
        // 1440 units per inch keep the physical size to a fraction of a pixel; a large
        // picture takes fewer so that the box still fits 16 bits.
        // The file keeps only a physical size, which readers turn into pixels at the
        // screen's pitch: it is derived from the natural size so that this comes back.
        const ScreenInfo& s = screenInfo();
        int mmw = std::max(1, mulDiv(w, int64_t(s.widthMm) * 100, s.widthPx));
        int mmh = std::max(1, mulDiv(h, int64_t(s.heightMm) * 100, s.heightPx));
        int64_t inch = std::clamp<int64_t>(int64_t(32767) * 2540 / std::max(mmw, mmh), 1, 1440);
        int boxW = std::clamp(mulDiv(mmw, inch, 2540), 1, 32767);
        int boxH = std::clamp(mulDiv(mmh, inch, 2540), 1, 32767);

        putRecord(META_SETMAPMODE, {U_MM_ANISOTROPIC});
        QRectF frame(f.x() * k_, f.y() * k_, f.width() * k_, f.height() * k_);
        putRecord(META_SETWINDOWORG, {c16(frame.top()), c16(frame.left())});
        putRecord(META_SETWINDOWEXT,
                  {c16(std::max(1.0, frame.height())), c16(std::max(1.0, frame.width()))});
        putRecord(META_SETBKMODE, {1});

        const std::vector<uint8_t>& rec = m_.records();
        for (size_t pos = 0; pos + 8 <= rec.size();) {
            RecordReader r(rec.data() + pos, rec.size() - pos);
            uint32_t type = r.u32(0), size = r.u32(4);
            if (size < 8 || size > rec.size() - pos) break;
            convert(type, RecordReader(rec.data() + pos, size));
            pos += size;
        }
        words_.push_back(3);
        words_.push_back(0);
        words_.push_back(0);

        std::vector<uint8_t> out;
        core::ByteWriter file(out);
        file.u32(kPlaceableKey);
        file.u16(0);
        file.u16(0);
        file.u16(0);
        file.u16(uint16_t(boxW));
        file.u16(uint16_t(boxH));
        file.u16(uint16_t(inch));
        file.u32(0);
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2)
            sum ^= core::loadLE16(out.data() + i);
        file.u16(sum);
        file.u16(1); // memory metafile
        file.u16(9); // header words
        file.u16(0x300);
        file.u32(static_cast<uint32_t>(9 + words_.size()));
        file.u16(static_cast<uint16_t>(std::min<size_t>(slots_.size(), 65535)));
        file.u32(maxRecord_);
        file.u16(0);
        for (uint16_t v : words_)
            file.u16(v);
        return out;
    }

private:
    static uint16_t c16(double v) {
        return static_cast<uint16_t>(
            static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L)));
    }

    void putRecord(uint16_t fn, std::initializer_list<uint16_t> params) {
        std::vector<uint16_t> p(params);
        putRecordV(fn, p);
    }
    void putRecordV(uint16_t fn, const std::vector<uint16_t>& p) {
        uint32_t size = static_cast<uint32_t>(3 + p.size());
        words_.push_back(uint16_t(size));
        words_.push_back(uint16_t(size >> 16));
        words_.push_back(fn);
        words_.insert(words_.end(), p.begin(), p.end());
        maxRecord_ = std::max(maxRecord_, size);
    }
    static void push32(std::vector<uint16_t>& p, uint32_t v) {
        p.push_back(uint16_t(v));
        p.push_back(uint16_t(v >> 16));
    }

    QPointF map(QPointF p) const {
        QPointF q = st_.world.map(p);
        return QPointF(q.x() * k_, q.y() * k_);
    }
    // Rectangle as the bottom, right, top, left words.
    void pushRect(std::vector<uint16_t>& p, const RecordReader& r, size_t off) const {
        QPointF a = map(QPointF(r.i32(off), r.i32(off + 4)));
        QPointF b = map(QPointF(r.i32(off + 8), r.i32(off + 12)));
        p.push_back(c16(std::max(a.y(), b.y())));
        p.push_back(c16(std::max(a.x(), b.x())));
        p.push_back(c16(std::min(a.y(), b.y())));
        p.push_back(c16(std::min(a.x(), b.x())));
    }
    double scaleLen() const { return std::sqrt(std::fabs(st_.world.determinant())) * k_; }

    // WMF has no stock objects and no chosen indices: objects take the lowest free slot.
    int takeSlot() {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (!slots_[i]) {
                slots_[i] = true;
                return int(i);
            }
        slots_.push_back(true);
        return int(slots_.size() - 1);
    }
    void selectStock(uint32_t id) {
        auto it = stock_.find(id);
        if (it == stock_.end()) {
            uint32_t n = id & 0x7FFFFFFF;
            std::vector<uint16_t> p;
            if (n >= 6 && n <= 8) {
                p.push_back(n == 8 ? 5 : 0);
                p.push_back(0);
                p.push_back(0);
                push32(p, n == 6 ? 0xFFFFFF : 0);
                putRecordV(META_CREATEPENINDIRECT, p);
            } else if (n <= 5) {
                static const uint32_t grey[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0};
                p.push_back(n == 5 ? 1 : 0);
                push32(p, n < 5 ? grey[n] : 0);
                p.push_back(0);
                putRecordV(META_CREATEBRUSHINDIRECT, p);
            } else {
                return; // stock fonts and palettes: the player's defaults serve
            }
            it = stock_.emplace(id, takeSlot()).first;
        }
        putRecord(META_SELECTOBJECT, {uint16_t(it->second)});
        if ((id & 0x7FFFFFFF) >= 6 && (id & 0x7FFFFFFF) <= 8) st_.pen = it->second;
    }

    void points(const std::vector<QPointF>& pts, std::vector<uint16_t>& p) const {
        for (const QPointF& q : pts) {
            QPointF m = map(q);
            p.push_back(c16(m.x()));
            p.push_back(c16(m.y()));
        }
    }
    void poly(uint16_t fn, const std::vector<QPointF>& pts) {
        if (pts.empty() || pts.size() > 32767) return;
        std::vector<uint16_t> p{uint16_t(pts.size())};
        points(pts, p);
        putRecordV(fn, p);
    }

    static std::vector<QPointF> readPoints(const RecordReader& r, size_t countOff, bool small) {
        uint64_t n = r.u32(countOff);
        std::vector<QPointF> pts;
        if (!r.has(countOff + 4, n * (small ? 4 : 8))) return pts;
        for (uint64_t i = 0; i < n; ++i) {
            size_t o = static_cast<size_t>(countOff + 4 + i * (small ? 4 : 8));
            pts.emplace_back(small ? r.i16(o) : r.i32(o), small ? r.i16(o + 2) : r.i32(o + 4));
        }
        return pts;
    }

    void text(const RecordReader& r) {
        QPointF ref(r.i32(36), r.i32(40));
        uint64_t n = r.u32(44), offStr = r.u32(48), opts = r.u32(52);
        size_t offDxField = (opts & U_ETO_NO_RECT) ? 56 : 72;
        uint64_t offDx = r.u32(offDxField);
        if (n == 0 || n > 16000 || !r.has(offStr, n * 2)) return;
        std::u16string u(n, u'\0');
        for (uint64_t i = 0; i < n; ++i)
            u[i] = r.u16(static_cast<size_t>(offStr + i * 2));
        std::vector<int> dx;
        if (offDx && r.has(offDx, n * 4))
            for (uint64_t i = 0; i < n; ++i)
                dx.push_back(r.i32(static_cast<size_t>(offDx + i * 4)));
        // Each character in Shift-JIS; its advance goes to its first byte.
        QStringEncoder enc("windows-31j");
        std::string bytes;
        std::vector<int> dxBytes;
        for (size_t i = 0; i < u.size(); ++i) {
            QByteArray b =
                enc.isValid() ? QByteArray(enc(QString(QChar(u[i])))) : QByteArray(1, '?');
            if (b.isEmpty()) b = "?";
            bytes.append(b.constData(), size_t(b.size()));
            double a = i < dx.size() ? dx[i] * scaleLen() : 0;
            for (qsizetype k = 0; k < b.size(); ++k)
                dxBytes.push_back(k == 0 ? int(std::lround(a)) : 0);
        }
        if (bytes.size() > 16000) return;
        QPointF at = map(ref);
        std::vector<uint16_t> p{c16(at.y()), c16(at.x()), uint16_t(bytes.size()), 0};
        for (size_t i = 0; i < bytes.size(); i += 2)
            p.push_back(uint16_t(uint8_t(bytes[i]) |
                                 ((i + 1 < bytes.size() ? uint8_t(bytes[i + 1]) : 0) << 8)));
        if (!dx.empty())
            for (int d : dxBytes)
                p.push_back(c16(d));
        putRecordV(META_EXTTEXTOUT, p);
    }

    void dib(const RecordReader& r, QRectF dst, QRectF src, uint64_t offBmi, uint64_t cbBmi,
             uint64_t offBits, uint64_t cbBits, uint32_t rop) {
        if (!r.has(offBmi, cbBmi) || !r.has(offBits, cbBits) || cbBmi < 40) return;
        QPointF a = map(dst.topLeft()), b = map(dst.bottomRight());
        std::vector<uint16_t> p;
        push32(p, rop);
        p.push_back(U_DIB_RGB_COLORS);
        p.push_back(c16(src.height()));
        p.push_back(c16(src.width()));
        p.push_back(c16(src.y()));
        p.push_back(c16(src.x()));
        p.push_back(c16(b.y() - a.y()));
        p.push_back(c16(b.x() - a.x()));
        p.push_back(c16(a.y()));
        p.push_back(c16(a.x()));
        std::vector<uint8_t> packed(r.ptr(offBmi, cbBmi), r.ptr(offBmi, cbBmi) + cbBmi);
        const uint8_t* bits = r.ptr(offBits, cbBits);
        packed.insert(packed.end(), bits, bits + cbBits);
        if (packed.size() % 2) packed.push_back(0);
        if (packed.size() / 2 + p.size() + 3 > UINT32_MAX) return;
        for (size_t i = 0; i < packed.size(); i += 2)
            p.push_back(core::loadLE16(packed.data() + i));
        putRecordV(META_STRETCHDIB, p);
    }

    // Colours, modes, saved states, the transform, the window and clipping rectangles.
    void deviceContext(uint32_t type, const RecordReader& r) {
        switch (type) {
        case U_EMR_SETBKMODE:
            putRecord(META_SETBKMODE, {uint16_t(r.u32(8))});
            break;
        case U_EMR_SETROP2:
            putRecord(META_SETROP2, {uint16_t(r.u32(8))});
            break;
        case U_EMR_SETPOLYFILLMODE:
            putRecord(META_SETPOLYFILLMODE, {uint16_t(r.u32(8))});
            break;
        case U_EMR_SETTEXTALIGN:
            putRecord(META_SETTEXTALIGN, {uint16_t(r.u32(8))});
            break;
        case U_EMR_SETTEXTCOLOR:
        case U_EMR_SETBKCOLOR: {
            std::vector<uint16_t> p;
            push32(p, r.u32(8) & 0xFFFFFF);
            putRecordV(type == U_EMR_SETTEXTCOLOR ? META_SETTEXTCOLOR : META_SETBKCOLOR, p);
            break;
        }
        case U_EMR_SETARCDIRECTION:
            st_.arcClockwise = r.u32(8) == 2;
            break;
        case U_EMR_SAVEDC:
            if (saved_.size() >= kMaxSavedStates) break; // as deep as the player keeps
            putRecord(META_SAVEDC, {});
            saved_.push_back(st_);
            break;
        case U_EMR_RESTOREDC: {
            int32_t n = r.i32(8);
            if (n < 0 && uint64_t(-int64_t(n)) <= saved_.size()) {
                st_ = saved_[saved_.size() - size_t(-int64_t(n))];
                saved_.resize(saved_.size() - size_t(-int64_t(n)));
                putRecord(META_RESTOREDC, {uint16_t(int16_t(n))});
            }
            break;
        }
        case U_EMR_SETWORLDTRANSFORM:
        case U_EMR_MODIFYWORLDTRANSFORM: {
            // Old-style metafiles have no world transform: it is applied to the points here.
            QTransform next = worldAfter(type, r, st_.world);
            if (std::isfinite(next.determinant()) && std::fabs(next.determinant()) > 1e-12)
                st_.world = next;
            break;
        }
        case U_EMR_INTERSECTCLIPRECT:
        case U_EMR_EXCLUDECLIPRECT: {
            std::vector<uint16_t> p;
            pushRect(p, r, 8);
            putRecordV(
                type == U_EMR_INTERSECTCLIPRECT ? META_INTERSECTCLIPRECT : META_EXCLUDECLIPRECT, p);
            break;
        }
        case U_EMR_SETMAPMODE:
            if (r.u32(8) == U_MM_ISOTROPIC || r.u32(8) == U_MM_ANISOTROPIC)
                putRecord(META_SETMAPMODE, {uint16_t(r.u32(8))});
            break;
        case U_EMR_SETWINDOWORGEX:
            putRecord(META_SETWINDOWORG, {c16(r.i32(12) * k_), c16(r.i32(8) * k_)});
            break;
        case U_EMR_SETWINDOWEXTEX:
            if (r.i32(8) && r.i32(12))
                putRecord(META_SETWINDOWEXT, {c16(r.i32(12) * k_), c16(r.i32(8) * k_)});
            break;
        default:
            break;
        }
    }

    // Lines, shapes, arcs, polygons and Béziers. Inside a path bracket they add to the
    // path instead of drawing.
    void shapeRecord(uint32_t type, const RecordReader& r) {
        if (inPath_) {
            addToPath(type, r);
            return;
        }
        switch (type) {
        case U_EMR_MOVETOEX:
        case U_EMR_LINETO: {
            pos_ = QPointF(r.i32(8), r.i32(12));
            QPointF m = map(pos_);
            putRecord(type == U_EMR_MOVETOEX ? META_MOVETO : META_LINETO, {c16(m.y()), c16(m.x())});
            break;
        }
        case U_EMR_RECTANGLE:
        case U_EMR_ELLIPSE: {
            std::vector<uint16_t> p;
            pushRect(p, r, 8);
            putRecordV(type == U_EMR_RECTANGLE ? META_RECTANGLE : META_ELLIPSE, p);
            break;
        }
        case U_EMR_ROUNDRECT: {
            std::vector<uint16_t> p{c16(r.i32(28) * scaleLen()), c16(r.i32(24) * scaleLen())};
            pushRect(p, r, 8);
            putRecordV(META_ROUNDRECT, p);
            break;
        }
        case U_EMR_ARC:
        case U_EMR_CHORD:
        case U_EMR_PIE: {
            QPointF s = map(QPointF(r.i32(24), r.i32(28))), e = map(QPointF(r.i32(32), r.i32(36)));
            std::vector<uint16_t> p{c16(e.y()), c16(e.x()), c16(s.y()), c16(s.x())};
            pushRect(p, r, 8);
            putRecordV(type == U_EMR_ARC ? META_ARC : type == U_EMR_PIE ? META_PIE : META_CHORD, p);
            break;
        }
        case U_EMR_ARCTO: {
            // No old-style equivalent: the line to the arc and the arc as a polyline.
            QPainterPath path = arcPath(type, rectl(r, 8), QPointF(r.i32(24), r.i32(28)),
                                        QPointF(r.i32(32), r.i32(36)), st_.arcClockwise, pos_);
            for (const QPolygonF& poly1 : toFile().map(path).toSubpathPolygons())
                polyMapped(META_POLYLINE, poly1);
            break;
        }
        case U_EMR_POLYLINE:
        case U_EMR_POLYLINE16:
        case U_EMR_POLYGON:
        case U_EMR_POLYGON16:
        case U_EMR_POLYLINETO:
        case U_EMR_POLYLINETO16: {
            bool small = type >= U_EMR_POLYBEZIER16;
            std::vector<QPointF> pts = readPoints(r, 24, small);
            if (type == U_EMR_POLYLINETO || type == U_EMR_POLYLINETO16) {
                pts.insert(pts.begin(), pos_);
                if (!pts.empty()) pos_ = pts.back();
            }
            poly(type == U_EMR_POLYGON || type == U_EMR_POLYGON16 ? META_POLYGON : META_POLYLINE,
                 pts);
            break;
        }
        case U_EMR_POLYBEZIER:
        case U_EMR_POLYBEZIER16:
        case U_EMR_POLYBEZIERTO:
        case U_EMR_POLYBEZIERTO16: {
            QPainterPath path = bezierPath(type, r);
            for (const QPolygonF& poly1 : toFile().map(path).toSubpathPolygons())
                polyMapped(META_POLYLINE, poly1);
            break;
        }
        case U_EMR_POLYPOLYLINE:
        case U_EMR_POLYPOLYGON:
        case U_EMR_POLYPOLYLINE16:
        case U_EMR_POLYPOLYGON16: {
            bool polygon = type == U_EMR_POLYPOLYGON || type == U_EMR_POLYPOLYGON16;
            QList<QPolygonF> polys = polyPolyPoints(type, r);
            if (polygon) {
                for (QPolygonF& one : polys)
                    one = toFile().map(one);
                polyPolygon(polys);
            } else {
                for (const QPolygonF& one : polys)
                    polyMapped(META_POLYLINE, toFile().map(one));
            }
            break;
        }
        default:
            break;
        }
    }

    // The points of a POLYBEZIER(TO) record as a path in logical units; a TO record starts at
    // the current position and moves it.
    QPainterPath bezierPath(uint32_t type, const RecordReader& r) {
        bool small = type >= U_EMR_POLYBEZIER16;
        std::vector<QPointF> pts = readPoints(r, 24, small);
        bool to = type == U_EMR_POLYBEZIERTO || type == U_EMR_POLYBEZIERTO16;
        if (to) pts.insert(pts.begin(), pos_);
        if (pts.size() < 4) return QPainterPath();
        QPainterPath path(pts[0]);
        for (size_t i = 1; i + 2 < pts.size(); i += 3)
            path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
        if (to) pos_ = path.currentPosition();
        return path;
    }

    // The figures of a POLYPOLY record in logical units; nothing when the counts lie.
    static QList<QPolygonF> polyPolyPoints(uint32_t type, const RecordReader& r) {
        bool small = type == U_EMR_POLYPOLYLINE16 || type == U_EMR_POLYPOLYGON16;
        uint64_t polys = r.u32(24), cpts = r.u32(28);
        QList<QPolygonF> out;
        if (!r.has(32, polys * 4 + cpts * (small ? 4 : 8))) return out;
        size_t ptOff = static_cast<size_t>(32 + polys * 4);
        uint64_t used = 0;
        for (uint64_t i = 0; i < polys; ++i) {
            uint64_t n = r.u32(static_cast<size_t>(32 + i * 4));
            if (n > cpts - used) break;
            QPolygonF pts;
            for (uint64_t j = 0; j < n; ++j) {
                size_t o = static_cast<size_t>(ptOff + (used + j) * (small ? 4 : 8));
                pts.append(
                    QPointF(small ? r.i16(o) : r.i32(o), small ? r.i16(o + 2) : r.i32(o + 4)));
            }
            used += n;
            out.append(pts);
        }
        return out;
    }

    // Inside a path bracket: the record's figure added to the path, in file units.
    void addToPath(uint32_t type, const RecordReader& r) {
        const QTransform t = toFile();
        QPainterPath figure;
        switch (type) {
        case U_EMR_MOVETOEX:
            pos_ = QPointF(r.i32(8), r.i32(12));
            path_.moveTo(t.map(pos_));
            return;
        case U_EMR_LINETO:
            pos_ = QPointF(r.i32(8), r.i32(12));
            path_.lineTo(t.map(pos_));
            return;
        case U_EMR_POLYLINETO:
        case U_EMR_POLYLINETO16:
            for (const QPointF& q : readPoints(r, 24, type == U_EMR_POLYLINETO16)) {
                path_.lineTo(t.map(q));
                pos_ = q;
            }
            return;
        case U_EMR_POLYBEZIERTO:
        case U_EMR_POLYBEZIERTO16: {
            QPainterPath b = t.map(bezierPath(type, r));
            if (b.elementCount() > 1) path_.connectPath(b);
            return;
        }
        case U_EMR_ARCTO:
            path_.connectPath(
                t.map(arcPath(type, rectl(r, 8), QPointF(r.i32(24), r.i32(28)),
                              QPointF(r.i32(32), r.i32(36)), st_.arcClockwise, pos_)));
            return;
        case U_EMR_POLYLINE:
        case U_EMR_POLYLINE16:
        case U_EMR_POLYGON:
        case U_EMR_POLYGON16: {
            std::vector<QPointF> pts = readPoints(r, 24, type >= U_EMR_POLYBEZIER16);
            if (pts.empty()) return;
            figure.addPolygon(QPolygonF(QList<QPointF>(pts.begin(), pts.end())));
            if (type == U_EMR_POLYGON || type == U_EMR_POLYGON16) figure.closeSubpath();
            break;
        }
        case U_EMR_POLYBEZIER:
        case U_EMR_POLYBEZIER16:
            figure = bezierPath(type, r);
            break;
        case U_EMR_POLYPOLYLINE:
        case U_EMR_POLYPOLYGON:
        case U_EMR_POLYPOLYLINE16:
        case U_EMR_POLYPOLYGON16:
            for (const QPolygonF& one : polyPolyPoints(type, r)) {
                figure.addPolygon(one);
                if (type == U_EMR_POLYPOLYGON || type == U_EMR_POLYPOLYGON16) figure.closeSubpath();
            }
            break;
        case U_EMR_RECTANGLE:
            figure.addRect(rectl(r, 8));
            break;
        case U_EMR_ELLIPSE:
            figure.addEllipse(rectl(r, 8));
            break;
        case U_EMR_ROUNDRECT:
            figure.addRoundedRect(rectl(r, 8), r.i32(24) / 2.0, r.i32(28) / 2.0);
            break;
        case U_EMR_ARC:
        case U_EMR_CHORD:
        case U_EMR_PIE: {
            QPointF keep = pos_;
            figure = arcPath(type, rectl(r, 8), QPointF(r.i32(24), r.i32(28)),
                             QPointF(r.i32(32), r.i32(36)), st_.arcClockwise, keep);
            break;
        }
        default:
            return;
        }
        path_.addPath(t.map(figure));
    }

    // The path bracket. Filling writes the flattened figures as one poly-polygon with the
    // null pen selected for it; stroking writes each figure as a polyline.
    void pathRecord(uint32_t type, const RecordReader&) {
        switch (type) {
        case U_EMR_BEGINPATH:
            inPath_ = true;
            path_ = QPainterPath();
            path_.moveTo(toFile().map(pos_));
            break;
        case U_EMR_ENDPATH:
            inPath_ = false;
            break;
        case U_EMR_CLOSEFIGURE:
            if (inPath_) path_.closeSubpath();
            break;
        case U_EMR_FILLPATH:
        case U_EMR_STROKEANDFILLPATH:
        case U_EMR_STROKEPATH: {
            inPath_ = false;
            QList<QPolygonF> figures;
            for (const QPolygonF& f : path_.toSubpathPolygons())
                if (f.size() > 1) figures.append(f);
            path_ = QPainterPath();
            if (figures.isEmpty()) break;
            if (type == U_EMR_STROKEPATH) {
                for (const QPolygonF& f : figures)
                    polyMapped(META_POLYLINE, f);
            } else if (type == U_EMR_STROKEANDFILLPATH) {
                polyPolygon(figures);
            } else {
                const int pen = st_.pen;
                selectStock(U_NULL_PEN);
                polyPolygon(figures);
                selectPen(pen);
            }
            break;
        }
        default: // ABORTPATH; a clipping path has no old-style equivalent
            inPath_ = false;
            path_ = QPainterPath();
            break;
        }
    }

    // Creating, selecting and deleting objects.
    void objectRecord(uint32_t type, const RecordReader& r) {
        switch (type) {
        case U_EMR_CREATEPEN: {
            newObject(r.u32(8), true);
            std::vector<uint16_t> p{uint16_t(r.u32(12) & 0xFFFF), c16(r.i32(16) * scaleLen()), 0};
            push32(p, r.u32(24) & 0xFFFFFF);
            putRecordV(META_CREATEPENINDIRECT, p);
            break;
        }
        case U_EMR_EXTCREATEPEN: {
            newObject(r.u32(8), true);
            uint32_t style = r.u32(36) == U_BS_NULL
                                 ? 5
                                 : (r.u32(28) & 0xFFFF & ~U_PS_ENDCAP_MASK & ~U_PS_JOIN_MASK);
            std::vector<uint16_t> p{uint16_t(style), c16(r.u32(32) * scaleLen()), 0};
            push32(p, r.u32(40) & 0xFFFFFF);
            putRecordV(META_CREATEPENINDIRECT, p);
            break;
        }
        case U_EMR_CREATEBRUSHINDIRECT: {
            newObject(r.u32(8), false);
            uint32_t style = r.u32(12);
            std::vector<uint16_t> p;
            p.push_back(uint16_t(style == U_BS_NULL || style == U_BS_HATCHED ? style : U_BS_SOLID));
            push32(p, r.u32(16) & 0xFFFFFF);
            p.push_back(uint16_t(r.u32(20)));
            putRecordV(META_CREATEBRUSHINDIRECT, p);
            break;
        }
        case U_EMR_CREATEDIBPATTERNBRUSHPT:
        case U_EMR_CREATEMONOBRUSH:
            newObject(r.u32(8), false);
            patternBrush(r);
            break;
        case U_EMR_EXTCREATEFONTINDIRECTW: {
            newObject(r.u32(8), false);
            std::u16string face;
            for (size_t i = 0; i < 32; ++i) {
                char16_t c = r.u16(44 + i * 2);
                if (!c) break;
                face.push_back(c);
            }
            QStringEncoder enc("windows-31j");
            QByteArray f =
                enc.isValid() ? QByteArray(enc(QString::fromStdU16String(face))) : QByteArray();
            f = f.left(31);
            std::vector<uint16_t> p{c16(r.i32(12) * scaleLen()), c16(r.i32(16) * scaleLen()),
                                    uint16_t(r.i32(20)), uint16_t(r.i32(24)), uint16_t(r.i32(28))};
            uint8_t b[8] = {r.u8(32), r.u8(33), r.u8(34), kShiftJisCharset,
                            r.u8(36), r.u8(37), r.u8(38), r.u8(39)};
            for (int i = 0; i < 8; i += 2)
                p.push_back(uint16_t(b[i] | (b[i + 1] << 8)));
            f.append('\0');
            if (f.size() % 2) f.append('\0');
            for (qsizetype i = 0; i < f.size(); i += 2)
                p.push_back(uint16_t(uint8_t(f[i]) | (uint8_t(f[i + 1]) << 8)));
            putRecordV(META_CREATEFONTINDIRECT, p);
            break;
        }
        case U_EMR_SELECTOBJECT: {
            uint32_t ih = r.u32(8);
            if (ih & 0x80000000u)
                selectStock(ih);
            else if (auto it = objects_.find(ih); it != objects_.end()) {
                putRecord(META_SELECTOBJECT, {uint16_t(it->second)});
                if (pens_.count(it->second)) st_.pen = it->second;
            }
            break;
        }
        case U_EMR_DELETEOBJECT: {
            auto it = objects_.find(r.u32(8));
            if (it == objects_.end()) break;
            putRecord(META_DELETEOBJECT, {uint16_t(it->second)});
            slots_[size_t(it->second)] = false;
            pens_.erase(it->second);
            if (st_.pen == it->second) st_.pen = -1;
            objects_.erase(it);
            break;
        }
        default:
            break;
        }
    }

    // Text.
    void textRecord(uint32_t type, const RecordReader& r) {
        switch (type) {
        case U_EMR_EXTTEXTOUTW:
            text(r);
            break;
        default:
            break;
        }
    }

    // Pattern blits and DIB blits.
    void bitmapRecord(uint32_t type, const RecordReader& r) {
        switch (type) {
        case U_EMR_STRETCHDIBITS:
            dib(r, QRectF(r.i32(24), r.i32(28), r.i32(72), r.i32(76)),
                QRectF(r.i32(32), r.i32(36), r.i32(40), r.i32(44)), r.u32(48), r.u32(52), r.u32(56),
                r.u32(60), r.u32(68));
            break;
        case U_EMR_BITBLT:
        case U_EMR_STRETCHBLT: {
            QRectF dst(r.i32(24), r.i32(28), r.i32(32), r.i32(36));
            if (r.u32(88) == 0) {
                QPointF a = map(dst.topLeft()), b = map(dst.bottomRight());
                std::vector<uint16_t> p;
                push32(p, r.u32(40));
                p.push_back(c16(b.y() - a.y()));
                p.push_back(c16(b.x() - a.x()));
                p.push_back(c16(a.y()));
                p.push_back(c16(a.x()));
                putRecordV(META_PATBLT, p);
                break;
            }
            double cx = type == U_EMR_BITBLT ? dst.width() : r.i32(100);
            double cy = type == U_EMR_BITBLT ? dst.height() : r.i32(104);
            dib(r, dst, QRectF(r.i32(44), r.i32(48), cx, cy), r.u32(84), r.u32(88), r.u32(92),
                r.u32(96), r.u32(40));
            break;
        }
        default:
            break;
        }
    }

    // ----- objects -----
    // A new object of the enhanced index ih in the lowest free slot.
    int newObject(uint32_t ih, bool pen) {
        int s = takeSlot();
        objects_[ih] = s;
        if (pen)
            pens_.insert(s);
        else
            pens_.erase(s);
        return s;
    }

    void selectPen(int slot) {
        if (slot < 0) {
            selectStock(U_BLACK_PEN);
            return;
        }
        putRecord(META_SELECTOBJECT, {uint16_t(slot)});
        st_.pen = slot;
    }

    // A DIB pattern brush (or a monochrome one) as META_DIBCREATEPATTERNBRUSH with the packed
    // DIB; one whose bitmap lies outside the record becomes a grey brush so that the slot
    // numbering still matches.
    void patternBrush(const RecordReader& r) {
        // ihBrush, iUsage, offBmi, cbBmi, offBits, cbBits
        uint64_t offBmi = r.u32(16), cbBmi = r.u32(20), offBits = r.u32(24), cbBits = r.u32(28);
        std::vector<uint16_t> p;
        if (cbBmi < 40 || !r.has(offBmi, cbBmi) || !r.has(offBits, cbBits) ||
            (cbBmi + cbBits) / 2 + 8 > UINT32_MAX) {
            p.push_back(U_BS_SOLID);
            push32(p, 0x808080);
            p.push_back(0);
            putRecordV(META_CREATEBRUSHINDIRECT, p);
            return;
        }
        p.push_back(U_BS_DIBPATTERN);
        p.push_back(uint16_t(r.u32(12)));
        std::vector<uint8_t> packed(r.ptr(offBmi, cbBmi), r.ptr(offBmi, cbBmi) + cbBmi);
        const uint8_t* bits = r.ptr(offBits, cbBits);
        packed.insert(packed.end(), bits, bits + cbBits);
        if (packed.size() % 2) packed.push_back(0);
        for (size_t i = 0; i < packed.size(); i += 2)
            p.push_back(core::loadLE16(packed.data() + i));
        putRecordV(META_DIBCREATEPATTERNBRUSH, p);
    }

    // ----- figures already in file units -----
    QTransform toFile() const { return st_.world * QTransform::fromScale(k_, k_); }

    void polyMapped(uint16_t fn, const QPolygonF& pts) {
        if (pts.isEmpty() || pts.size() > 32767) return;
        std::vector<uint16_t> p{uint16_t(pts.size())};
        for (const QPointF& q : pts) {
            p.push_back(c16(q.x()));
            p.push_back(c16(q.y()));
        }
        putRecordV(fn, p);
    }

    // Figures as one poly-polygon (so that holes stay holes), or one polygon each when
    // together they exceed what one record can count.
    void polyPolygon(const QList<QPolygonF>& figures) {
        qsizetype total = 0;
        for (const QPolygonF& f : figures)
            total += f.size();
        if (figures.isEmpty()) return;
        if (figures.size() > 32767 || total >= 32000) {
            for (const QPolygonF& f : figures)
                polyMapped(META_POLYGON, f);
            return;
        }
        std::vector<uint16_t> p{uint16_t(figures.size())};
        for (const QPolygonF& f : figures)
            p.push_back(uint16_t(f.size()));
        for (const QPolygonF& f : figures)
            for (const QPointF& q : f) {
                p.push_back(c16(q.x()));
                p.push_back(c16(q.y()));
            }
        putRecordV(META_POLYPOLYGON, p);
    }

    // ----- dispatch -----
    using Handler = void (WmfWriter::*)(uint32_t type, const RecordReader& r);
    using Table = std::array<Handler, U_EMR_MAX + 1>;

    // The family that writes each record type; types not listed have no old-style
    // equivalent and are left out.
    static const Table& table() {
        static const Table t = [] {
            Table t{};
            auto set = [&t](std::initializer_list<uint32_t> types, Handler h) {
                for (uint32_t type : types)
                    t[type] = h;
            };
            set({U_EMR_SETBKMODE, U_EMR_SETROP2, U_EMR_SETPOLYFILLMODE, U_EMR_SETTEXTALIGN,
                 U_EMR_SETTEXTCOLOR, U_EMR_SETBKCOLOR, U_EMR_SETARCDIRECTION, U_EMR_SAVEDC,
                 U_EMR_RESTOREDC, U_EMR_SETWORLDTRANSFORM, U_EMR_MODIFYWORLDTRANSFORM,
                 U_EMR_INTERSECTCLIPRECT, U_EMR_EXCLUDECLIPRECT, U_EMR_SETMAPMODE,
                 U_EMR_SETWINDOWORGEX, U_EMR_SETWINDOWEXTEX},
                &WmfWriter::deviceContext);
            set({U_EMR_MOVETOEX,       U_EMR_LINETO,       U_EMR_RECTANGLE,
                 U_EMR_ELLIPSE,        U_EMR_ROUNDRECT,    U_EMR_ARC,
                 U_EMR_CHORD,          U_EMR_PIE,          U_EMR_ARCTO,
                 U_EMR_POLYLINE,       U_EMR_POLYLINE16,   U_EMR_POLYGON,
                 U_EMR_POLYGON16,      U_EMR_POLYLINETO,   U_EMR_POLYLINETO16,
                 U_EMR_POLYBEZIER,     U_EMR_POLYBEZIER16, U_EMR_POLYBEZIERTO,
                 U_EMR_POLYBEZIERTO16, U_EMR_POLYPOLYLINE, U_EMR_POLYPOLYGON,
                 U_EMR_POLYPOLYLINE16, U_EMR_POLYPOLYGON16},
                &WmfWriter::shapeRecord);
            set({U_EMR_BEGINPATH, U_EMR_ENDPATH, U_EMR_ABORTPATH, U_EMR_CLOSEFIGURE, U_EMR_FILLPATH,
                 U_EMR_STROKEANDFILLPATH, U_EMR_STROKEPATH, U_EMR_SELECTCLIPPATH},
                &WmfWriter::pathRecord);
            set({U_EMR_CREATEPEN, U_EMR_EXTCREATEPEN, U_EMR_CREATEBRUSHINDIRECT,
                 U_EMR_CREATEDIBPATTERNBRUSHPT, U_EMR_CREATEMONOBRUSH, U_EMR_EXTCREATEFONTINDIRECTW,
                 U_EMR_SELECTOBJECT, U_EMR_DELETEOBJECT},
                &WmfWriter::objectRecord);
            set({U_EMR_EXTTEXTOUTW}, &WmfWriter::textRecord);
            set({U_EMR_STRETCHDIBITS, U_EMR_BITBLT, U_EMR_STRETCHBLT}, &WmfWriter::bitmapRecord);
            return t;
        }();
        return t;
    }

    void convert(uint32_t type, const RecordReader& r) {
        if (type < table().size() && table()[type]) (this->*table()[type])(type, r);
    }

    // What SAVEDC keeps: the transform applied to the points, the selected pen's slot and
    // the arc direction.
    struct State {
        QTransform world;
        int pen = -1;
        bool arcClockwise = false;
    };

    const Metafile& m_;
    double k_ = 1;
    std::vector<uint16_t> words_;
    uint32_t maxRecord_ = 0;
    std::vector<bool> slots_;
    std::map<uint32_t, int> objects_; // enhanced index → slot
    std::map<uint32_t, int> stock_;
    std::set<int> pens_; // slots that hold pens
    State st_;
    std::vector<State> saved_;
    QPointF pos_;
    bool inPath_ = false;
    QPainterPath path_; // in file units
};

} // namespace

std::vector<uint8_t> exportWmf(const Metafile& metafile) {
    return WmfWriter(metafile).run();
}

} // namespace mf
