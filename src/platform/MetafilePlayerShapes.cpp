// The metafile player's drawing records: lines and points, poly records and Béziers,
// rectangles, ellipses and arcs, region fills and frames, and gradient fills.
#include <algorithm>
#include <cmath>

#include <QLinearGradient>

#include "platform/MetafilePlayerImpl.h"

namespace mf {
namespace {

// Points of a poly record: count at countOff, points after it (16- or 32-bit pairs).
bool readPoints(const Reader& r, size_t countOff, bool small, std::vector<QPointF>& pts) {
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

QPainterPath polyPath(const std::vector<QPointF>& pts, bool close) {
    QPainterPath path;
    if (pts.empty()) return path;
    path.moveTo(pts[0]);
    for (size_t i = 1; i < pts.size(); ++i)
        path.lineTo(pts[i]);
    if (close) path.closeSubpath();
    return path;
}

QPainterPath bezierPath(QPointF start, const std::vector<QPointF>& pts, size_t first) {
    QPainterPath path;
    path.moveTo(start);
    for (size_t i = first; i + 2 < pts.size(); i += 3)
        path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
    return path;
}

// Region coordinates are held inside a range where QRect's width and height cannot
// overflow.
constexpr int kRegionCoord = 1 << 29;

int regionCoord(int32_t v) {
    return std::clamp<int32_t>(v, -kRegionCoord, kRegionCoord);
}

// The union of rects[lo, hi), joined pairwise so that many rectangles cost n log n.
QRegion unite(const std::vector<QRect>& rects, size_t lo, size_t hi) {
    if (hi - lo == 1) return QRegion(rects[lo]);
    if (hi - lo == 0) return QRegion();
    size_t mid = lo + (hi - lo) / 2;
    return unite(rects, lo, mid).united(unite(rects, mid, hi));
}

// The cells of region whose whole run of `reach` cells either side along one axis lies in
// it (a morphological erosion), by doubling: runs of length n intersected with themselves
// moved by n.
QRegion erode(const QRegion& region, int reach, bool horizontal) {
    auto moved = [horizontal](const QRegion& r, int d) {
        return horizontal ? r.translated(d, 0) : r.translated(0, d);
    };
    // all(n) holds the cells x for which x - d lies in region for every d in [0, n).
    const int64_t length = 2 * int64_t(reach) + 1;
    QRegion result;
    bool haveResult = false;
    int64_t done = 0;
    QRegion power = region; // all(2^k)
    int64_t powerLength = 1;
    for (int64_t rest = length; rest > 0; rest >>= 1) {
        if (rest & 1) {
            result = haveResult ? result.intersected(moved(power, int(done))) : power;
            haveResult = true;
            done += powerLength;
        }
        if (rest > 1) {
            power = power.intersected(moved(power, int(powerLength)));
            powerLength *= 2;
            if (power.isEmpty()) return QRegion();
        }
    }
    return moved(result, -reach);
}

constexpr int kMaxStroke = 1 << 20;

} // namespace

std::optional<QRegion> readRegion(const Reader& r, size_t off, uint64_t cb) {
    // RGNDATAHEADER: size, type, count, rgnSize, bounds; then count RECTLs.
    if (cb < 32 || !r.has(off, cb)) return std::nullopt;
    uint64_t count = r.u32(off + 8);
    if (count * 16 > cb - 32) return std::nullopt;
    std::vector<QRect> rects;
    rects.reserve(static_cast<size_t>(count));
    for (uint64_t i = 0; i < count; ++i) {
        size_t o = static_cast<size_t>(off + 32 + i * 16);
        int l = regionCoord(r.i32(o)), t = regionCoord(r.i32(o + 4));
        int ri = regionCoord(r.i32(o + 8)), b = regionCoord(r.i32(o + 12));
        if (ri < l) std::swap(l, ri);
        if (b < t) std::swap(t, b);
        if (ri > l && b > t) rects.emplace_back(l, t, ri - l, b - t);
    }
    return unite(rects, 0, rects.size());
}

// ----- lines and points -----

void Player::lineRecord(uint32_t type, const Reader& r) {
    switch (type) {
    case U_EMR_MOVETOEX:
        st_.pos = QPointF(r.i32(8), r.i32(12));
        if (inPath_) path_.moveTo(st_.pos);
        break;
    case U_EMR_LINETO: {
        QPointF to(r.i32(8), r.i32(12));
        if (inPath_) {
            path_.lineTo(to);
        } else {
            QPainterPath path;
            path.moveTo(st_.pos);
            path.lineTo(to);
            drawPath(path, false, true);
        }
        st_.pos = to;
        break;
    }
    case U_EMR_SETPIXELV:
        if (!inPath_ && begin()) p_.fillRect(QRectF(r.i32(8), r.i32(12), 1, 1), color(r.u32(16)));
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
    default:
        break;
    }
}

// ----- poly records -----

void Player::polyRecord(uint32_t type, const Reader& r) {
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

void Player::polyPolyRecord(uint32_t type, const Reader& r) {
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
            QPointF pt = small ? QPointF(r.i16(o), r.i16(o + 2)) : QPointF(r.i32(o), r.i32(o + 4));
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

// ----- shapes and arcs -----

void Player::shapeRecord(uint32_t type, const Reader& r) {
    QRectF box = rectl(r, 8);
    QPainterPath path;
    if (type == U_EMR_RECTANGLE)
        path.addRect(box);
    else if (type == U_EMR_ELLIPSE)
        path.addEllipse(box);
    else
        path.addRoundedRect(box, r.i32(24) / 2.0, r.i32(28) / 2.0);
    drawPath(path, true, true);
}

void Player::arcRecord(uint32_t type, const Reader& r) {
    QPainterPath path = arcPath(type, rectl(r, 8), QPointF(r.i32(24), r.i32(28)),
                                QPointF(r.i32(32), r.i32(36)), st_.arcClockwise, st_.pos);
    drawPath(path, type == U_EMR_CHORD || type == U_EMR_PIE, true);
}

// ----- regions -----

std::optional<BrushObj> Player::brushFor(uint32_t index) {
    if (index & 0x80000000u) {
        if ((index & 0x7FFFFFFFu) > 5) return std::nullopt; // stock pens and fonts
        BrushObj keep = st_.brush;
        selectObject(index);
        std::swap(keep, st_.brush);
        return keep;
    }
    auto it = objects_.find(index);
    if (it == objects_.end() || it->second.kind != Object::Brush) return std::nullopt;
    return it->second.brush;
}

void Player::regionRecord(uint32_t type, const Reader& r) {
    // FILLRGN and FRAMERGN name a brush; PAINTRGN uses the selected one and INVERTRGN
    // none. The region is in logical units.
    std::optional<QRegion> region;
    QBrush brush = qbrush();
    switch (type) {
    case U_EMR_FILLRGN:
    case U_EMR_FRAMERGN: {
        std::optional<BrushObj> b = brushFor(r.u32(28));
        if (!b) return;
        brush = brushOf(*b);
        region = readRegion(r, type == U_EMR_FILLRGN ? 32 : 40, r.u32(24));
        if (region && type == U_EMR_FRAMERGN) {
            // The frame is what lies within the stroke's width of the region's edge
            // horizontally, or within its height vertically.
            int w = std::clamp<int32_t>(r.i32(32), 1, kMaxStroke);
            int h = std::clamp<int32_t>(r.i32(36), 1, kMaxStroke);
            QRegion inner = erode(*region, w, true).intersected(erode(*region, h, false));
            region = region->subtracted(inner);
        }
        break;
    }
    default: // PAINTRGN, INVERTRGN
        region = readRegion(r, 28, r.u32(24));
        break;
    }
    if (!region || region->isEmpty() || inPath_ || !begin()) return;
    QPainterPath path;
    path.addRegion(*region);
    if (type == U_EMR_INVERTRGN) {
        p_.setCompositionMode(QPainter::RasterOp_NotDestination);
        p_.fillPath(path, Qt::black);
        return;
    }
    if (brush.style() == Qt::NoBrush) return;
    p_.fillPath(path, brush);
}

// ----- gradients -----

void Player::gouraudTriangle(const QPointF (&pts)[3], const QColor (&cols)[3]) {
    // Shaded in device pixels: each pixel whose centre lies in the triangle takes the
    // colours of the corners weighted by its barycentric coordinates.
    QTransform t = p_.transform();
    QPointF d[3];
    for (int i = 0; i < 3; ++i)
        d[i] = t.map(pts[i]);
    double area = (d[1].x() - d[0].x()) * (d[2].y() - d[0].y()) -
                  (d[2].x() - d[0].x()) * (d[1].y() - d[0].y());
    if (!(std::fabs(area) > 1e-9)) return;
    QRectF box = QPolygonF({d[0], d[1], d[2]}).boundingRect();
    QRect device(0, 0, p_.device()->width(), p_.device()->height());
    QRect pixels = QRect(QPoint(int(std::floor(std::max(box.left(), -1.0))),
                                int(std::floor(std::max(box.top(), -1.0)))),
                         QPoint(int(std::ceil(std::min(box.right(), device.right() + 1.0))),
                                int(std::ceil(std::min(box.bottom(), device.bottom() + 1.0)))))
                       .intersected(device);
    if (pixels.isEmpty()) return;
    QImage img(pixels.size(), QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return;
    img.fill(Qt::transparent);
    const double eps = 1e-9;
    for (int y = 0; y < img.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        double py = pixels.top() + y + 0.5;
        for (int x = 0; x < img.width(); ++x) {
            double px = pixels.left() + x + 0.5;
            double w0 =
                ((d[1].x() - px) * (d[2].y() - py) - (d[2].x() - px) * (d[1].y() - py)) / area;
            double w1 =
                ((d[2].x() - px) * (d[0].y() - py) - (d[0].x() - px) * (d[2].y() - py)) / area;
            double w2 = 1 - w0 - w1;
            if (w0 < -eps || w1 < -eps || w2 < -eps) continue;
            auto mix = [&](int (QColor::*channel)() const) {
                double v = w0 * (cols[0].*channel)() + w1 * (cols[1].*channel)() +
                           w2 * (cols[2].*channel)();
                return std::clamp(int(std::lround(v)), 0, 255);
            };
            line[x] = qRgb(mix(&QColor::red), mix(&QColor::green), mix(&QColor::blue));
        }
    }
    p_.save();
    p_.setTransform(QTransform());
    p_.drawImage(pixels.topLeft(), img);
    p_.restore();
}

void Player::gradientRecord(uint32_t, const Reader& r) {
    // bounds, vertex count, object count, mode; the vertices (x, y and four 16-bit colour
    // channels each), then the rectangles (two vertex indices) or triangles (three).
    uint64_t nVer = r.u32(24), nObj = r.u32(28);
    uint32_t mode = r.u32(32);
    if (mode > U_GRADIENT_FILL_TRIANGLE || nVer == 0) return;
    uint64_t objSize = mode == U_GRADIENT_FILL_TRIANGLE ? 12 : 8;
    const size_t vOff = 36;
    if (!r.has(vOff, nVer * 16) || !r.has(vOff + nVer * 16, nObj * objSize)) return;
    const size_t oOff = static_cast<size_t>(vOff + nVer * 16);
    auto vertex = [&](uint64_t i) {
        return QPointF(r.i32(vOff + i * 16), r.i32(vOff + i * 16 + 4));
    };
    auto colour = [&](uint64_t i) {
        size_t o = static_cast<size_t>(vOff + i * 16 + 8);
        return QColor(r.u16(o) >> 8, r.u16(o + 2) >> 8, r.u16(o + 4) >> 8);
    };
    if (inPath_ || !begin()) return;
    p_.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // A mesh covers its area about once; a record that asks for far more is cut short.
    const int64_t devicePixels = int64_t(p_.device()->width()) * p_.device()->height();
    int64_t budget = 16 * std::max<int64_t>(devicePixels, 1);
    for (uint64_t k = 0; k < nObj && budget > 0; ++k) {
        size_t o = static_cast<size_t>(oOff + k * objSize);
        if (mode == U_GRADIENT_FILL_TRIANGLE) {
            uint64_t i[3] = {r.u32(o), r.u32(o + 4), r.u32(o + 8)};
            if (i[0] >= nVer || i[1] >= nVer || i[2] >= nVer) continue;
            const QPointF pts[3] = {vertex(i[0]), vertex(i[1]), vertex(i[2])};
            const QColor cols[3] = {colour(i[0]), colour(i[1]), colour(i[2])};
            QRectF area =
                p_.transform().mapRect(QPolygonF({pts[0], pts[1], pts[2]}).boundingRect());
            budget -= int64_t(std::min(area.width() * area.height(), double(devicePixels))) + 1;
            gouraudTriangle(pts, cols);
        } else {
            uint64_t a = r.u32(o), b = r.u32(o + 4);
            if (a >= nVer || b >= nVer) continue;
            QPointF pa = vertex(a), pb = vertex(b);
            QRectF rect = QRectF(pa, pb).normalized();
            if (rect.isEmpty()) continue;
            // The colour runs from the first vertex's edge to the second's.
            QLinearGradient g = mode == U_GRADIENT_FILL_RECT_H
                                    ? QLinearGradient(pa.x(), 0, pb.x(), 0)
                                    : QLinearGradient(0, pa.y(), 0, pb.y());
            g.setColorAt(0, colour(a));
            g.setColorAt(1, colour(b));
            QRectF area = p_.transform().mapRect(rect);
            budget -= int64_t(std::min(area.width() * area.height(), double(devicePixels))) + 1;
            p_.fillRect(rect, QBrush(g));
        }
    }
}

} // namespace mf
