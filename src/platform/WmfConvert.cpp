// Old-style metafiles: reading them into enhanced records, and writing enhanced records
// out as a placeable old-style metafile.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include <QPainterPath>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTransform>

#include "core/Checked.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "platform/MetafilePlayer.h"
#include "platform/MetafileRecords.h"
#include "platform/Screen.h"

namespace mf {
namespace {

const char* kBadWmf = "メタファイルの形式が不正です";

using core::mulDiv;

// WMF record functions.
enum : uint16_t {
    META_EOF = 0x0000,
    META_SAVEDC = 0x001E,
    META_CREATEPALETTE = 0x00F7,
    META_SETBKMODE = 0x0102,
    META_SETMAPMODE = 0x0103,
    META_SETROP2 = 0x0104,
    META_SETPOLYFILLMODE = 0x0106,
    META_RESTOREDC = 0x0127,
    META_SELECTOBJECT = 0x012D,
    META_SETTEXTALIGN = 0x012E,
    META_DIBCREATEPATTERNBRUSH = 0x0142,
    META_DELETEOBJECT = 0x01F0,
    META_CREATEPATTERNBRUSH = 0x01F9,
    META_SETBKCOLOR = 0x0201,
    META_SETTEXTCOLOR = 0x0209,
    META_SETWINDOWORG = 0x020B,
    META_SETWINDOWEXT = 0x020C,
    META_SETVIEWPORTORG = 0x020D,
    META_SETVIEWPORTEXT = 0x020E,
    META_OFFSETWINDOWORG = 0x020F,
    META_LINETO = 0x0213,
    META_MOVETO = 0x0214,
    META_CREATEPENINDIRECT = 0x02FA,
    META_CREATEFONTINDIRECT = 0x02FB,
    META_CREATEBRUSHINDIRECT = 0x02FC,
    META_POLYGON = 0x0324,
    META_POLYLINE = 0x0325,
    META_SCALEWINDOWEXT = 0x0410,
    META_EXCLUDECLIPRECT = 0x0415,
    META_INTERSECTCLIPRECT = 0x0416,
    META_ELLIPSE = 0x0418,
    META_RECTANGLE = 0x041B,
    META_SETPIXEL = 0x041F,
    META_TEXTOUT = 0x0521,
    META_POLYPOLYGON = 0x0538,
    META_ROUNDRECT = 0x061C,
    META_PATBLT = 0x061D,
    META_CREATEREGION = 0x06FF,
    META_ARC = 0x0817,
    META_PIE = 0x081A,
    META_CHORD = 0x0830,
    META_DIBBITBLT = 0x0940,
    META_EXTTEXTOUT = 0x0A32,
    META_DIBSTRETCHBLT = 0x0B41,
    META_STRETCHDIB = 0x0F43,
};

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
constexpr uint8_t kShiftJisCharset = 128;

QString decodeText(const uint8_t* s, size_t n, uint8_t charset) {
    QByteArray bytes(reinterpret_cast<const char*>(s), static_cast<qsizetype>(n));
    QStringDecoder dec(charset == kShiftJisCharset ? "windows-31j" : "windows-1252");
    if (!dec.isValid()) return QString::fromLatin1(bytes);
    return dec(bytes);
}

bool isSjisLead(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// ----------------------------------------------------------------------------------------
// Reading
class WmfReader {
public:
    WmfReader(std::span<const uint8_t> bytes) : b_(bytes) {}

    WmfImport run() {
        RecordReader h(b_.data(), b_.size());
        size_t start = 0;
        std::optional<QRect> bbox;
        int inch = 0;
        if (h.u32(0) == kPlaceableKey) {
            if (b_.size() < 22 + 18) throw EInvalidGraphic(kBadWmf);
            int l = h.i16(6), t = h.i16(8), r = h.i16(10), bt = h.i16(12);
            inch = h.u16(14);
            bbox = QRect(QPoint(std::min(l, r), std::min(t, bt)),
                         QPoint(std::max(l, r), std::max(t, bt)));
            start = 22;
        }
        if (start + 18 > b_.size()) throw EInvalidGraphic(kBadWmf);
        uint16_t type = h.u16(start), headerWords = h.u16(start + 2);
        if ((type != 1 && type != 2) || headerWords != 9) throw EInvalidGraphic(kBadWmf);
        objects_ = h.u16(start + 10);
        slots_.assign(objects_, Slot{});
        size_t pos = start + 18;

        // Size: placeable header's frame, else the window extent at 96 dpi.
        WmfImport out;
        QPoint org;
        QSize ext;
        if (bbox && bbox->right() > bbox->left() && bbox->bottom() > bbox->top()) {
            // QRect's width counts the right column; the header's right edge is exclusive.
            int w = bbox->right() - bbox->left(), hgt = bbox->bottom() - bbox->top();
            if (inch <= 0) inch = 1440;
            org = bbox->topLeft();
            ext = QSize(w, hgt);
            out.mmWidth = mulDiv(w, 2540, inch);
            out.mmHeight = mulDiv(hgt, 2540, inch);
            const ScreenInfo& s = screenInfo();
            out.widthPx = mulDiv(out.mmWidth, s.widthPx, int64_t(s.widthMm) * 100);
            out.heightPx = mulDiv(out.mmHeight, s.heightPx, int64_t(s.heightMm) * 100);
        } else {
            if (!scanWindow(pos, org, ext)) throw EInvalidGraphic(kBadWmf);
            out.widthPx = std::abs(ext.width());
            out.heightPx = std::abs(ext.height());
            out.mmWidth = mulDiv(out.widthPx, 2540, 96);
            out.mmHeight = mulDiv(out.heightPx, 2540, 96);
        }
        if (out.widthPx <= 0 || out.heightPx <= 0) throw EInvalidGraphic(kBadWmf);
        out.frame = QRectF(0, 0, out.widthPx, out.heightPx);

        // The window is mapped onto the frame; the file's own window records follow.
        RecordWriter w(rec_);
        w.begin(U_EMR_SETMAPMODE);
        w.u32(U_MM_ANISOTROPIC);
        w.end();
        w.begin(U_EMR_SETWINDOWORGEX);
        w.i32(org.x());
        w.i32(org.y());
        w.end();
        w.begin(U_EMR_SETWINDOWEXTEX);
        w.i32(ext.width());
        w.i32(ext.height());
        w.end();
        w.begin(U_EMR_SETVIEWPORTEXTEX);
        w.i32(out.widthPx);
        w.i32(out.heightPx);
        w.end();
        winOrg_ = org;
        winExt_ = ext;

        while (pos + 6 <= b_.size()) {
            RecordReader r(b_.data() + pos, b_.size() - pos);
            uint64_t size = uint64_t(r.u32(0)) * 2;
            uint16_t fn = r.u16(4);
            if (fn == META_EOF) break;
            if (size < 6 || size > b_.size() - pos) throw EInvalidGraphic(kBadWmf);
            RecordReader one(b_.data() + pos, static_cast<size_t>(size));
            convert(fn, one);
            pos += static_cast<size_t>(size);
        }
        out.records = std::move(rec_);
        out.handles = objects_ + 1u;
        return out;
    }

private:
    struct Slot {
        bool used = false;
        uint8_t charset = 0;
    };

    // The first window origin and extent of a file without a placeable header.
    bool scanWindow(size_t pos, QPoint& org, QSize& ext) const {
        bool haveExt = false;
        while (pos + 6 <= b_.size()) {
            RecordReader r(b_.data() + pos, b_.size() - pos);
            uint64_t size = uint64_t(r.u32(0)) * 2;
            uint16_t fn = r.u16(4);
            if (fn == META_EOF || size < 6 || size > b_.size() - pos) break;
            if (fn == META_SETWINDOWORG && size >= 10 && !haveExt) org = QPoint(r.i16(8), r.i16(6));
            if (fn == META_SETWINDOWEXT && size >= 10) {
                ext = QSize(r.i16(8), r.i16(6));
                haveExt = ext.width() != 0 && ext.height() != 0;
                if (haveExt) return true;
            }
            pos += static_cast<size_t>(size);
        }
        return false;
    }

    int newSlot(uint8_t charset = 0) {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (!slots_[i].used) {
                slots_[i] = Slot{true, charset};
                return static_cast<int>(i);
            }
        return -1;
    }

    void simple(uint32_t emfType, uint32_t value) {
        RecordWriter w(rec_);
        w.begin(emfType);
        w.u32(value);
        w.end();
    }
    void point(uint32_t emfType, int x, int y) {
        RecordWriter w(rec_);
        w.begin(emfType);
        w.i32(x);
        w.i32(y);
        w.end();
    }
    // Rectangle given as bottom, right, top, left words starting at off.
    void rectParams(RecordWriter& w, const RecordReader& r, size_t off) {
        w.i32(r.i16(off + 6));
        w.i32(r.i16(off + 4));
        w.i32(r.i16(off + 2));
        w.i32(r.i16(off));
    }

    // A packed DIB (header, colours, bits) at off: the header-and-colours length.
    static std::optional<uint64_t> dibInfoSize(const RecordReader& r, size_t off) {
        uint32_t hdr = r.u32(off);
        if (hdr < 40 || !r.has(off, hdr)) return std::nullopt;
        uint16_t bits = r.u16(off + 14);
        uint32_t comp = r.u32(off + 16);
        uint64_t used = r.u32(off + 32);
        uint64_t colors = 0;
        if (bits <= 8) colors = used ? std::min<uint64_t>(used, 1u << bits) : (1u << bits);
        uint64_t size = hdr + colors * 4;
        if (comp == U_BI_BITFIELDS && hdr == 40) size += 12;
        if (!r.has(off, size)) return std::nullopt;
        return size;
    }

    void stretchDib(const RecordReader& r, size_t dibOff, int xd, int yd, int wd, int hd, int xs,
                    int ys, int ws, int hs, uint32_t rop, uint32_t usage) {
        auto info = dibInfoSize(r, dibOff);
        if (!info) return;
        uint64_t bitsSize = r.size() - dibOff - *info;
        const uint8_t* dib = r.ptr(dibOff, *info + bitsSize);
        if (!dib) return;
        RecordWriter w(rec_);
        w.begin(U_EMR_STRETCHDIBITS);
        w.i32(xd);
        w.i32(yd);
        w.i32(xd + wd);
        w.i32(yd + hd);
        w.i32(xd);
        w.i32(yd);
        w.i32(xs);
        w.i32(ys);
        w.i32(ws);
        w.i32(hs);
        w.u32(80);
        w.u32(static_cast<uint32_t>(*info));
        w.u32(static_cast<uint32_t>(80 + *info));
        w.u32(static_cast<uint32_t>(bitsSize));
        w.u32(usage);
        w.u32(rop);
        w.i32(wd);
        w.i32(hd);
        w.bytes(dib, static_cast<size_t>(*info + bitsSize));
        w.end();
    }

    void text(const RecordReader& r, int x, int y, size_t strOff, uint64_t n, uint16_t opts,
              std::optional<QRect> rect, size_t dxOff, bool haveDx) {
        const uint8_t* s = r.ptr(strOff, n);
        if (!s || n == 0) return;
        std::vector<int> dxBytes;
        if (haveDx && r.has(dxOff, n * 2))
            for (uint64_t i = 0; i < n; ++i)
                dxBytes.push_back(r.i16(static_cast<size_t>(dxOff + i * 2)));
        // Characters and their advances (a double-byte character takes both advances).
        std::u16string u;
        std::vector<uint32_t> dx;
        for (uint64_t i = 0; i < n;) {
            size_t len = (charset_ == kShiftJisCharset && i + 1 < n && isSjisLead(s[i])) ? 2 : 1;
            QString ch = decodeText(s + i, len, charset_);
            if (ch.isEmpty()) ch = QStringLiteral("?");
            std::u16string cu = ch.toStdU16String();
            u += cu;
            if (!dxBytes.empty()) {
                int a = dxBytes[i] + (len == 2 ? dxBytes[i + 1] : 0);
                dx.push_back(static_cast<uint32_t>(a));
                for (size_t k = 1; k < cu.size(); ++k)
                    dx.push_back(0);
            }
            i += len;
        }
        RecordWriter w(rec_);
        w.begin(U_EMR_EXTTEXTOUTW);
        QRect bounds = rect.value_or(QRect(x, y, 1, 1));
        w.i32(bounds.left());
        w.i32(bounds.top());
        w.i32(bounds.right());
        w.i32(bounds.bottom());
        w.u32(1);
        w.f32(0);
        w.f32(0);
        w.i32(x);
        w.i32(y);
        w.u32(static_cast<uint32_t>(u.size()));
        uint32_t offStr = w.offset();
        w.u32(0);
        w.u32(rect ? (opts & (U_ETO_OPAQUE | U_ETO_CLIPPED)) : U_ETO_NO_RECT);
        if (rect) {
            w.i32(rect->left());
            w.i32(rect->top());
            w.i32(rect->right() + 1);
            w.i32(rect->bottom() + 1);
        }
        uint32_t offDx = w.offset();
        w.u32(0);
        w.patch32(offStr, w.offset());
        for (char16_t c : u)
            w.u16(c);
        w.pad4();
        if (!dx.empty()) {
            w.patch32(offDx, w.offset());
            for (uint32_t d : dx)
                w.u32(d);
        }
        w.end();
    }

    void convert(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
        const size_t P = 6; // first parameter
        switch (fn) {
        case META_SETBKCOLOR:
            simple(U_EMR_SETBKCOLOR, r.u32(P) & 0xFFFFFF);
            break;
        case META_SETTEXTCOLOR:
            simple(U_EMR_SETTEXTCOLOR, r.u32(P) & 0xFFFFFF);
            break;
        case META_SETBKMODE:
            simple(U_EMR_SETBKMODE, r.u16(P));
            break;
        case META_SETROP2:
            simple(U_EMR_SETROP2, r.u16(P));
            break;
        case META_SETPOLYFILLMODE:
            simple(U_EMR_SETPOLYFILLMODE, r.u16(P));
            break;
        case META_SETTEXTALIGN:
            simple(U_EMR_SETTEXTALIGN, r.u16(P));
            break;
        case META_SETMAPMODE:
            // The frame mapping needs the window and viewport: only the scaling modes pass.
            if (r.u16(P) == U_MM_ISOTROPIC || r.u16(P) == U_MM_ANISOTROPIC)
                simple(U_EMR_SETMAPMODE, r.u16(P));
            break;
        case META_SETWINDOWORG:
            winOrg_ = QPoint(r.i16(P + 2), r.i16(P));
            point(U_EMR_SETWINDOWORGEX, winOrg_.x(), winOrg_.y());
            break;
        case META_OFFSETWINDOWORG:
            winOrg_ += QPoint(r.i16(P + 2), r.i16(P));
            point(U_EMR_SETWINDOWORGEX, winOrg_.x(), winOrg_.y());
            break;
        case META_SETWINDOWEXT:
            if (r.i16(P) != 0 && r.i16(P + 2) != 0) {
                winExt_ = QSize(r.i16(P + 2), r.i16(P));
                point(U_EMR_SETWINDOWEXTEX, winExt_.width(), winExt_.height());
            }
            break;
        case META_SCALEWINDOWEXT:
            w.begin(U_EMR_SCALEWINDOWEXTEX);
            w.i32(r.i16(P + 6));
            w.i32(r.i16(P + 4));
            w.i32(r.i16(P + 2));
            w.i32(r.i16(P));
            w.end();
            break;
        case META_SETVIEWPORTORG:
        case META_SETVIEWPORTEXT:
            break; // the viewport is the frame
        case META_MOVETO:
            point(U_EMR_MOVETOEX, r.i16(P + 2), r.i16(P));
            break;
        case META_LINETO:
            point(U_EMR_LINETO, r.i16(P + 2), r.i16(P));
            break;
        case META_SAVEDC:
            w.begin(U_EMR_SAVEDC);
            w.end();
            break;
        case META_RESTOREDC:
            simple(U_EMR_RESTOREDC, static_cast<uint32_t>(int32_t(r.i16(P))));
            break;
        case META_EXCLUDECLIPRECT:
        case META_INTERSECTCLIPRECT:
            w.begin(fn == META_EXCLUDECLIPRECT ? U_EMR_EXCLUDECLIPRECT : U_EMR_INTERSECTCLIPRECT);
            rectParams(w, r, P);
            w.end();
            break;
        case META_RECTANGLE:
        case META_ELLIPSE:
            w.begin(fn == META_RECTANGLE ? U_EMR_RECTANGLE : U_EMR_ELLIPSE);
            rectParams(w, r, P);
            w.end();
            break;
        case META_ROUNDRECT:
            w.begin(U_EMR_ROUNDRECT);
            rectParams(w, r, P + 4);
            w.i32(r.i16(P + 2));
            w.i32(r.i16(P));
            w.end();
            break;
        case META_ARC:
        case META_PIE:
        case META_CHORD:
            w.begin(fn == META_ARC ? U_EMR_ARC : fn == META_PIE ? U_EMR_PIE : U_EMR_CHORD);
            rectParams(w, r, P + 8);
            w.i32(r.i16(P + 6));
            w.i32(r.i16(P + 4));
            w.i32(r.i16(P + 2));
            w.i32(r.i16(P));
            w.end();
            break;
        case META_SETPIXEL:
            w.begin(U_EMR_SETPIXELV);
            w.i32(r.i16(P + 6));
            w.i32(r.i16(P + 4));
            w.u32(r.u32(P) & 0xFFFFFF);
            w.end();
            break;
        case META_POLYGON:
        case META_POLYLINE: {
            uint64_t n = r.u16(P);
            if (!r.has(P + 2, n * 4)) break;
            w.begin(fn == META_POLYGON ? U_EMR_POLYGON16 : U_EMR_POLYLINE16);
            w.i32(0);
            w.i32(0);
            w.i32(-1);
            w.i32(-1);
            w.u32(static_cast<uint32_t>(n));
            w.bytes(r.ptr(P + 2, n * 4), static_cast<size_t>(n * 4));
            w.end();
            break;
        }
        case META_POLYPOLYGON: {
            uint64_t polys = r.u16(P);
            if (!r.has(P + 2, polys * 2)) break;
            uint64_t total = 0;
            for (uint64_t i = 0; i < polys; ++i)
                total += r.u16(static_cast<size_t>(P + 2 + i * 2));
            size_t ptOff = static_cast<size_t>(P + 2 + polys * 2);
            if (!r.has(ptOff, total * 4)) break;
            w.begin(U_EMR_POLYPOLYGON16);
            w.i32(0);
            w.i32(0);
            w.i32(-1);
            w.i32(-1);
            w.u32(static_cast<uint32_t>(polys));
            w.u32(static_cast<uint32_t>(total));
            for (uint64_t i = 0; i < polys; ++i)
                w.u32(r.u16(static_cast<size_t>(P + 2 + i * 2)));
            w.bytes(r.ptr(ptOff, total * 4), static_cast<size_t>(total * 4));
            w.end();
            break;
        }
        case META_TEXTOUT: {
            uint64_t n = r.u16(P);
            size_t after = static_cast<size_t>(P + 2 + ((n + 1) & ~uint64_t(1)));
            if (!r.has(after, 4)) break;
            text(r, r.i16(after + 2), r.i16(after), P + 2, n, 0, std::nullopt, 0, false);
            break;
        }
        case META_EXTTEXTOUT: {
            int y = r.i16(P), x = r.i16(P + 2);
            uint64_t n = r.u16(P + 4);
            uint16_t opts = r.u16(P + 6);
            size_t off = P + 8;
            std::optional<QRect> rect;
            if (opts & (U_ETO_OPAQUE | U_ETO_CLIPPED)) {
                if (!r.has(off, 8)) break;
                rect = QRect(QPoint(r.i16(off), r.i16(off + 2)),
                             QPoint(r.i16(off + 4) - 1, r.i16(off + 6) - 1));
                off += 8;
            }
            size_t dxOff = static_cast<size_t>(off + ((n + 1) & ~uint64_t(1)));
            // The advances are optional: present only when the record has room for them.
            text(r, x, y, off, n, opts, rect, dxOff, r.has(dxOff, n * 2));
            break;
        }
        case META_SELECTOBJECT: {
            uint16_t i = r.u16(P);
            if (i < slots_.size() && slots_[i].used) {
                simple(U_EMR_SELECTOBJECT, i + 1u);
                if (fontSlots_.count(i)) charset_ = slots_[i].charset;
            }
            break;
        }
        case META_DELETEOBJECT: {
            uint16_t i = r.u16(P);
            if (i < slots_.size() && slots_[i].used) {
                slots_[i].used = false;
                fontSlots_.erase(i);
                simple(U_EMR_DELETEOBJECT, i + 1u);
            }
            break;
        }
        case META_CREATEPENINDIRECT: {
            int s = newSlot();
            if (s < 0) break;
            w.begin(U_EMR_CREATEPEN);
            w.u32(uint32_t(s + 1));
            w.u32(r.u16(P));
            w.i32(r.i16(P + 2));
            w.i32(0);
            w.u32(r.u32(P + 6) & 0xFFFFFF);
            w.end();
            break;
        }
        case META_CREATEBRUSHINDIRECT: {
            int s = newSlot();
            if (s < 0) break;
            w.begin(U_EMR_CREATEBRUSHINDIRECT);
            w.u32(uint32_t(s + 1));
            uint16_t style = r.u16(P);
            w.u32(style == U_BS_SOLID || style == U_BS_NULL || style == U_BS_HATCHED ? style
                                                                                     : U_BS_SOLID);
            w.u32(r.u32(P + 2) & 0xFFFFFF);
            w.u32(r.u16(P + 6));
            w.end();
            break;
        }
        case META_CREATEFONTINDIRECT: {
            uint8_t charset = r.u8(P + 13);
            int s = newSlot(charset);
            if (s < 0) break;
            fontSlots_.insert(static_cast<uint16_t>(s));
            size_t faceOff = P + 18;
            size_t faceLen = 0;
            while (faceLen < 32 && r.has(faceOff + faceLen, 1) && r.u8(faceOff + faceLen))
                ++faceLen;
            QString face =
                faceLen ? decodeText(r.ptr(faceOff, faceLen), faceLen, charset) : QString();
            std::u16string f16 = face.left(31).toStdU16String();
            w.begin(U_EMR_EXTCREATEFONTINDIRECTW);
            w.u32(uint32_t(s + 1));
            w.i32(r.i16(P));
            w.i32(r.i16(P + 2));
            w.i32(r.i16(P + 4));
            w.i32(r.i16(P + 6));
            w.i32(r.i16(P + 8));
            for (int i = 0; i < 8; ++i)
                w.u8(r.u8(P + 10 + i));
            for (size_t i = 0; i < 32; ++i)
                w.u16(i < f16.size() ? f16[i] : 0);
            for (int i = 0; i < 128 + 64 + 24 + 10 + 2; ++i)
                w.u8(0);
            w.end();
            break;
        }
        case META_DIBCREATEPATTERNBRUSH: {
            int s = newSlot();
            if (s < 0) break;
            auto info = dibInfoSize(r, P + 4);
            if (!info) {
                // Keep the slot filled so later indices still match.
                w.begin(U_EMR_CREATEBRUSHINDIRECT);
                w.u32(uint32_t(s + 1));
                w.u32(U_BS_SOLID);
                w.u32(0x808080);
                w.u32(0);
                w.end();
                break;
            }
            uint64_t bitsSize = r.size() - (P + 4) - *info;
            w.begin(U_EMR_CREATEDIBPATTERNBRUSHPT);
            w.u32(uint32_t(s + 1));
            w.u32(r.u16(P + 2));
            w.u32(32);
            w.u32(static_cast<uint32_t>(*info));
            w.u32(static_cast<uint32_t>(32 + *info));
            w.u32(static_cast<uint32_t>(bitsSize));
            w.bytes(r.ptr(P + 4, *info + bitsSize), static_cast<size_t>(*info + bitsSize));
            w.end();
            break;
        }
        case META_CREATEPALETTE:
        case META_CREATEREGION:
        case META_CREATEPATTERNBRUSH: {
            // Objects this player does not draw with still take a slot.
            int s = newSlot();
            if (s < 0) break;
            w.begin(U_EMR_CREATEBRUSHINDIRECT);
            w.u32(uint32_t(s + 1));
            w.u32(U_BS_NULL);
            w.u32(0);
            w.u32(0);
            w.end();
            break;
        }
        case META_PATBLT:
            w.begin(U_EMR_BITBLT);
            for (int i = 0; i < 4; ++i)
                w.i32(0);
            w.i32(r.i16(P + 10));
            w.i32(r.i16(P + 8));
            w.i32(r.i16(P + 6));
            w.i32(r.i16(P + 4));
            w.u32(r.u32(P));
            for (int i = 0; i < 14; ++i)
                w.u32(0);
            w.end();
            break;
        case META_STRETCHDIB:
            stretchDib(r, P + 22, r.i16(P + 20), r.i16(P + 18), r.i16(P + 16), r.i16(P + 14),
                       r.i16(P + 12), r.i16(P + 10), r.i16(P + 8), r.i16(P + 6), r.u32(P),
                       r.u16(P + 4));
            break;
        case META_DIBSTRETCHBLT:
            if (r.size() > 28)
                stretchDib(r, P + 20, r.i16(P + 18), r.i16(P + 16), r.i16(P + 14), r.i16(P + 12),
                           r.i16(P + 10), r.i16(P + 8), r.i16(P + 6), r.i16(P + 4), r.u32(P),
                           U_DIB_RGB_COLORS);
            break;
        case META_DIBBITBLT:
            if (r.size() > 24)
                stretchDib(r, P + 16, r.i16(P + 14), r.i16(P + 12), r.i16(P + 10), r.i16(P + 8),
                           r.i16(P + 6), r.i16(P + 4), r.i16(P + 10), r.i16(P + 8), r.u32(P),
                           U_DIB_RGB_COLORS);
            break;
        default:
            break;
        }
    }

    std::span<const uint8_t> b_;
    std::vector<uint8_t> rec_;
    uint16_t objects_ = 0;
    std::vector<Slot> slots_;
    std::set<uint16_t> fontSlots_;
    uint8_t charset_ = 0;
    QPoint winOrg_;
    QSize winExt_;
};

// ----------------------------------------------------------------------------------------
// Writing
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
        auto put16 = [&](uint16_t v) {
            out.push_back(uint8_t(v));
            out.push_back(uint8_t(v >> 8));
        };
        auto put32 = [&](uint32_t v) {
            put16(uint16_t(v));
            put16(uint16_t(v >> 16));
        };
        put32(kPlaceableKey);
        put16(0);
        put16(0);
        put16(0);
        put16(uint16_t(boxW));
        put16(uint16_t(boxH));
        put16(uint16_t(inch));
        put32(0);
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2)
            sum ^= uint16_t(out[i] | (out[i + 1] << 8));
        put16(sum);
        put16(1); // memory metafile
        put16(9); // header words
        put16(0x300);
        put32(static_cast<uint32_t>(9 + words_.size()));
        put16(static_cast<uint16_t>(std::min<size_t>(slots_.size(), 65535)));
        put32(maxRecord_);
        put16(0);
        for (uint16_t v : words_)
            put16(v);
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
        QPointF q = world_.map(p);
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
    double scaleLen() const { return std::sqrt(std::fabs(world_.determinant())) * k_; }

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
            p.push_back(uint16_t(packed[i] | (packed[i + 1] << 8)));
        putRecordV(META_STRETCHDIB, p);
    }

    void convert(uint32_t type, const RecordReader& r) {
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
            bool small = type >= U_EMR_POLYBEZIER16;
            std::vector<QPointF> pts = readPoints(r, 24, small);
            bool to = type == U_EMR_POLYBEZIERTO || type == U_EMR_POLYBEZIERTO16;
            if (to) pts.insert(pts.begin(), pos_);
            if (pts.size() < 4) break;
            QPainterPath path(pts[0]);
            for (size_t i = 1; i + 2 < pts.size(); i += 3)
                path.cubicTo(pts[i], pts[i + 1], pts[i + 2]);
            if (to) pos_ = path.currentPosition();
            for (const QPolygonF& poly1 : path.toSubpathPolygons())
                poly(META_POLYLINE, std::vector<QPointF>(poly1.begin(), poly1.end()));
            break;
        }
        case U_EMR_POLYPOLYLINE:
        case U_EMR_POLYPOLYGON:
        case U_EMR_POLYPOLYLINE16:
        case U_EMR_POLYPOLYGON16: {
            bool small = type == U_EMR_POLYPOLYLINE16 || type == U_EMR_POLYPOLYGON16;
            uint64_t polys = r.u32(24), cpts = r.u32(28);
            if (!r.has(32, polys * 4 + cpts * (small ? 4 : 8))) break;
            size_t ptOff = static_cast<size_t>(32 + polys * 4);
            uint64_t used = 0;
            bool polygon = type == U_EMR_POLYPOLYGON || type == U_EMR_POLYPOLYGON16;
            std::vector<uint16_t> counts;
            std::vector<QPointF> all;
            for (uint64_t i = 0; i < polys; ++i) {
                uint64_t n = r.u32(static_cast<size_t>(32 + i * 4));
                if (n > cpts - used) break;
                std::vector<QPointF> pts;
                for (uint64_t j = 0; j < n; ++j) {
                    size_t o = static_cast<size_t>(ptOff + (used + j) * (small ? 4 : 8));
                    pts.emplace_back(small ? r.i16(o) : r.i32(o),
                                     small ? r.i16(o + 2) : r.i32(o + 4));
                }
                used += n;
                if (polygon) {
                    counts.push_back(uint16_t(std::min<uint64_t>(n, 32767)));
                    all.insert(all.end(), pts.begin(), pts.begin() + counts.back());
                } else {
                    poly(META_POLYLINE, pts);
                }
            }
            if (polygon && !counts.empty() && all.size() < 32000) {
                std::vector<uint16_t> p{uint16_t(counts.size())};
                p.insert(p.end(), counts.begin(), counts.end());
                points(all, p);
                putRecordV(META_POLYPOLYGON, p);
            }
            break;
        }
        case U_EMR_SAVEDC:
            putRecord(META_SAVEDC, {});
            saved_.push_back(world_);
            break;
        case U_EMR_RESTOREDC: {
            int32_t n = r.i32(8);
            if (n < 0 && uint64_t(-int64_t(n)) <= saved_.size()) {
                world_ = saved_[saved_.size() - size_t(-int64_t(n))];
                saved_.resize(saved_.size() - size_t(-int64_t(n)));
                putRecord(META_RESTOREDC, {uint16_t(int16_t(n))});
            }
            break;
        }
        case U_EMR_SETWORLDTRANSFORM:
        case U_EMR_MODIFYWORLDTRANSFORM: {
            // Old-style metafiles have no world transform: it is applied to the points here.
            QTransform next = worldAfter(type, r, world_);
            if (std::isfinite(next.determinant()) && std::fabs(next.determinant()) > 1e-12)
                world_ = next;
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
        case U_EMR_CREATEPEN: {
            uint32_t ih = r.u32(8);
            int s = takeSlot();
            objects_[ih] = s;
            std::vector<uint16_t> p{uint16_t(r.u32(12) & 0xFFFF), c16(r.i32(16) * scaleLen()), 0};
            push32(p, r.u32(24) & 0xFFFFFF);
            putRecordV(META_CREATEPENINDIRECT, p);
            break;
        }
        case U_EMR_EXTCREATEPEN: {
            uint32_t ih = r.u32(8);
            int s = takeSlot();
            objects_[ih] = s;
            uint32_t style = r.u32(36) == U_BS_NULL
                                 ? 5
                                 : (r.u32(28) & 0xFFFF & ~U_PS_ENDCAP_MASK & ~U_PS_JOIN_MASK);
            std::vector<uint16_t> p{uint16_t(style), c16(r.u32(32) * scaleLen()), 0};
            push32(p, r.u32(40) & 0xFFFFFF);
            putRecordV(META_CREATEPENINDIRECT, p);
            break;
        }
        case U_EMR_CREATEBRUSHINDIRECT:
        case U_EMR_CREATEDIBPATTERNBRUSHPT:
        case U_EMR_CREATEMONOBRUSH: {
            uint32_t ih = r.u32(8);
            int s = takeSlot();
            objects_[ih] = s;
            std::vector<uint16_t> p;
            if (type == U_EMR_CREATEBRUSHINDIRECT) {
                uint32_t style = r.u32(12);
                p.push_back(
                    uint16_t(style == U_BS_NULL || style == U_BS_HATCHED ? style : U_BS_SOLID));
                push32(p, r.u32(16) & 0xFFFFFF);
                p.push_back(uint16_t(r.u32(20)));
            } else {
                p.push_back(U_BS_SOLID);
                push32(p, 0x808080);
                p.push_back(0);
            }
            putRecordV(META_CREATEBRUSHINDIRECT, p);
            break;
        }
        case U_EMR_EXTCREATEFONTINDIRECTW: {
            uint32_t ih = r.u32(8);
            int s = takeSlot();
            objects_[ih] = s;
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
            else if (auto it = objects_.find(ih); it != objects_.end())
                putRecord(META_SELECTOBJECT, {uint16_t(it->second)});
            break;
        }
        case U_EMR_DELETEOBJECT: {
            auto it = objects_.find(r.u32(8));
            if (it == objects_.end()) break;
            putRecord(META_DELETEOBJECT, {uint16_t(it->second)});
            slots_[size_t(it->second)] = false;
            objects_.erase(it);
            break;
        }
        case U_EMR_EXTTEXTOUTW:
            text(r);
            break;
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
            break; // no old-style equivalent
        }
    }

    const Metafile& m_;
    double k_ = 1;
    std::vector<uint16_t> words_;
    uint32_t maxRecord_ = 0;
    std::vector<bool> slots_;
    std::map<uint32_t, int> objects_; // enhanced index → slot
    std::map<uint32_t, int> stock_;
    QTransform world_;
    std::vector<QTransform> saved_;
    QPointF pos_;
};

} // namespace

WmfImport importWmf(std::span<const uint8_t> bytes) {
    return WmfReader(bytes).run();
}

std::vector<uint8_t> exportWmf(const Metafile& metafile) {
    return WmfWriter(metafile).run();
}

} // namespace mf
