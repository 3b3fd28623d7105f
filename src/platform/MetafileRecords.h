// Little-endian record building and bounded record reading shared by the metafile reader,
// writer, player and recording canvas. Record type numbers and flag values come from
// libuemf's headers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <uemf.h>

#include "core/ByteIO.h"

#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QTransform>

namespace mf {

// Appends one record to a buffer: begin(type), fields, end() (pads to 4 bytes and fills
// in the size).
class RecordWriter {
public:
    explicit RecordWriter(std::vector<uint8_t>& out) : out_(out) {}
    void begin(uint32_t type) {
        start_ = out_.size();
        u32(type);
        u32(0);
    }
    void u8(uint8_t v) { out_.u8(v); }
    void u16(uint16_t v) { out_.u16(v); }
    void i16(int16_t v) { out_.i16(v); }
    void u32(uint32_t v) { out_.u32(v); }
    void i32(int32_t v) { out_.i32(v); }
    void f32(float v) {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        u32(u);
    }
    void bytes(const void* data, size_t n) { out_.bytes(data, n); }
    void pad4() { out_.zeros((4 - (out_.size() - start_) % 4) % 4); }
    // Offset of the next byte from the record's start.
    uint32_t offset() const { return static_cast<uint32_t>(out_.size() - start_); }
    void end() {
        pad4();
        out_.patch32(start_ + 4, offset());
    }
    // Patches a 32-bit field at an offset from the record's start.
    void patch32(uint32_t offsetInRecord, uint32_t v) { out_.patch32(start_ + offsetInRecord, v); }

private:
    core::ByteWriter out_;
    size_t start_ = 0;
};

// A bounded view of one record: reads outside the record yield zero and set ok() false,
// so a record whose fields lie cannot make the reader step outside its bytes. (The player
// skips such a record's drawing instead of refusing the whole picture, so this view does
// not throw as core::ByteReader does.)
class RecordReader {
public:
    RecordReader(const uint8_t* data, size_t size) : d_(data), n_(size) {}
    size_t size() const { return n_; }
    bool has(uint64_t offset, uint64_t bytes) const { return offset <= n_ && bytes <= n_ - offset; }
    uint8_t u8(size_t off) const {
        if (!has(off, 1)) return fail<uint8_t>();
        return d_[off];
    }
    uint16_t u16(size_t off) const {
        if (!has(off, 2)) return fail<uint16_t>();
        return core::loadLE16(d_ + off);
    }
    int16_t i16(size_t off) const { return static_cast<int16_t>(u16(off)); }
    uint32_t u32(size_t off) const {
        if (!has(off, 4)) return fail<uint32_t>();
        return core::loadLE32(d_ + off);
    }
    int32_t i32(size_t off) const { return static_cast<int32_t>(u32(off)); }
    float f32(size_t off) const {
        uint32_t u = u32(off);
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    const uint8_t* ptr(size_t off, uint64_t bytes) const {
        if (!has(off, bytes)) return fail<const uint8_t*>();
        return d_ + off;
    }
    bool ok() const { return ok_; }

private:
    template <class T> T fail() const {
        ok_ = false;
        return T{};
    }
    const uint8_t* d_;
    size_t n_;
    mutable bool ok_ = true;
};

inline constexpr uint32_t kEmfSignature = 0x464D4520; // " EMF"
inline constexpr size_t kEmfHeaderSize = 108;
// Most object slots a recording may declare (the header's count is 16 bits).
inline constexpr uint32_t kMaxHandles = 65535;
// Deepest SAVEDC nesting the player keeps.
inline constexpr size_t kMaxSavedStates = 4096;

// The page mapping of a recording: mapping mode, window and viewport.
struct Mapping {
    uint32_t mode = U_MM_TEXT;
    QPointF winOrg, vpOrg;
    QSizeF winExt{1, 1}, vpExt{1, 1};

    // Logical to device coordinates; deviceRes is device pixels per hundredth of a mm.
    QTransform page(QPointF deviceRes) const {
        double sx = 1, sy = 1;
        const QPointF k = deviceRes;
        switch (mode) {
        case U_MM_LOMETRIC:
            sx = 10 * k.x();
            sy = -10 * k.y();
            break;
        case U_MM_HIMETRIC:
            sx = k.x();
            sy = -k.y();
            break;
        case U_MM_LOENGLISH:
            sx = 25.4 * k.x();
            sy = -25.4 * k.y();
            break;
        case U_MM_HIENGLISH:
            sx = 2.54 * k.x();
            sy = -2.54 * k.y();
            break;
        case U_MM_TWIPS:
            sx = 2540.0 / 1440 * k.x();
            sy = -2540.0 / 1440 * k.y();
            break;
        case U_MM_ISOTROPIC:
        case U_MM_ANISOTROPIC: {
            sx = vpExt.width() / winExt.width();
            sy = vpExt.height() / winExt.height();
            if (mode == U_MM_ISOTROPIC) {
                double s = std::min(std::fabs(sx), std::fabs(sy));
                sx = std::copysign(s, sx);
                sy = std::copysign(s, sy);
            }
            break;
        }
        default:
            break;
        }
        return QTransform::fromTranslate(-winOrg.x(), -winOrg.y()) * QTransform::fromScale(sx, sy) *
               QTransform::fromTranslate(vpOrg.x(), vpOrg.y());
    }

    // Applies a mapping record; false when the record is not one.
    bool apply(uint32_t type, const RecordReader& r) {
        switch (type) {
        case U_EMR_SETWINDOWEXTEX:
            if (r.i32(8) != 0 && r.i32(12) != 0) winExt = QSizeF(r.i32(8), r.i32(12));
            return true;
        case U_EMR_SETWINDOWORGEX:
            winOrg = QPointF(r.i32(8), r.i32(12));
            return true;
        case U_EMR_SETVIEWPORTEXTEX:
            if (r.i32(8) != 0 && r.i32(12) != 0) vpExt = QSizeF(r.i32(8), r.i32(12));
            return true;
        case U_EMR_SETVIEWPORTORGEX:
            vpOrg = QPointF(r.i32(8), r.i32(12));
            return true;
        case U_EMR_SCALEVIEWPORTEXTEX:
        case U_EMR_SCALEWINDOWEXTEX: {
            int32_t xn = r.i32(8), xd = r.i32(12), yn = r.i32(16), yd = r.i32(20);
            if (xn == 0 || xd == 0 || yn == 0 || yd == 0) return true;
            QSizeF& e = type == U_EMR_SCALEVIEWPORTEXTEX ? vpExt : winExt;
            QSizeF next(e.width() * xn / xd, e.height() * yn / yd);
            if (next.width() != 0 && next.height() != 0) e = next;
            return true;
        }
        case U_EMR_SETMAPMODE:
            if (r.u32(8) >= U_MM_MIN && r.u32(8) <= U_MM_MAX) mode = r.u32(8);
            return true;
        default:
            return false;
        }
    }
};

// The world transform after a SETWORLDTRANSFORM or MODIFYWORLDTRANSFORM record, or the
// current one when the record is not usable.
inline QTransform worldAfter(uint32_t type, const RecordReader& r, const QTransform& current) {
    QTransform x(r.f32(8), r.f32(12), r.f32(16), r.f32(20), r.f32(24), r.f32(28));
    if (!r.ok()) return current;
    uint32_t mode = type == U_EMR_SETWORLDTRANSFORM ? 0 : r.u32(32);
    switch (mode) {
    case 0:
        return x;
    case U_MWT_IDENTITY:
        return QTransform();
    case U_MWT_LEFTMULTIPLY:
        return x * current;
    case U_MWT_RIGHTMULTIPLY:
        return current * x;
    default:
        return current;
    }
}

// A RECTL at off, normalised.
inline QRectF rectl(const RecordReader& r, size_t off) {
    double l = r.i32(off), t = r.i32(off + 4), ri = r.i32(off + 8), b = r.i32(off + 12);
    return QRectF(QPointF(std::min(l, ri), std::min(t, b)),
                  QPointF(std::max(l, ri), std::max(t, b)));
}

// The figure of an ARC, CHORD, PIE or ARCTO record: the part of the ellipse in box from the
// radial through start to the radial through end, counter-clockwise unless clockwise. ARCTO
// draws a line from pos to the arc's start and moves pos to its end.
inline QPainterPath arcPath(uint32_t type, const QRectF& box, QPointF start, QPointF end,
                            bool clockwise, QPointF& pos) {
    QPointF c = box.center();
    auto angle = [&](QPointF p) {
        double rx = std::max(box.width() / 2, 1e-9), ry = std::max(box.height() / 2, 1e-9);
        return std::atan2(-(p.y() - c.y()) / ry, (p.x() - c.x()) / rx) * 180.0 / M_PI;
    };
    double a0 = angle(start), a1 = angle(end);
    double sweep =
        clockwise ? -std::fmod(a0 - a1 + 720.0, 360.0) : std::fmod(a1 - a0 + 720.0, 360.0);
    if (sweep == 0) sweep = clockwise ? -360 : 360;
    QPainterPath path;
    if (type == U_EMR_PIE) {
        path.moveTo(c);
        path.arcTo(box, a0, sweep);
        path.closeSubpath();
    } else if (type == U_EMR_ARCTO) {
        path.moveTo(pos);
        QPainterPath arc;
        arc.arcMoveTo(box, a0);
        path.lineTo(arc.currentPosition());
        path.arcTo(box, a0, sweep);
        pos = path.currentPosition();
    } else {
        path.arcMoveTo(box, a0);
        path.arcTo(box, a0, sweep);
        if (type == U_EMR_CHORD) path.closeSubpath();
    }
    return path;
}

// Colour values of records: 0x00BBGGRR, as TColor.
inline uint32_t colorRef(uint32_t v) {
    return v & 0xFFFFFF;
}

} // namespace mf
