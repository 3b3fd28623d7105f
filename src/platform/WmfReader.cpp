// Reading old-style metafiles (.wmf): the placeable or bare header gives the size, and
// each record is converted into the enhanced records the player draws. Records are
// dispatched by family: device context, shapes, text, objects and bitmaps.
#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <unordered_map>

#include <QStringDecoder>

#include "platform/Exceptions.h"
#include "platform/MetafileRecords.h"
#include "platform/Screen.h"
#include "platform/Wmf.h"

namespace mf {
using namespace wmf;
namespace {

const char* kBadWmf = "メタファイルの形式が不正です";
// Offset of a record's first parameter word.
constexpr size_t P = 6;

QString decodeText(const uint8_t* s, size_t n, uint8_t charset) {
    QByteArray bytes(reinterpret_cast<const char*>(s), static_cast<qsizetype>(n));
    QStringDecoder dec(charset == kShiftJisCharset ? "windows-31j" : "windows-1252");
    if (!dec.isValid()) return QString::fromLatin1(bytes);
    return dec(bytes);
}

bool isSjisLead(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

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

    using Handler = void (WmfReader::*)(uint16_t fn, const RecordReader& r);

    // The family that converts each record function; functions not listed have no
    // enhanced equivalent drawn here and are skipped.
    static Handler handlerFor(uint16_t fn) {
        static const std::unordered_map<uint16_t, Handler> table = [] {
            std::unordered_map<uint16_t, Handler> t;
            auto set = [&t](std::initializer_list<uint16_t> fns, Handler h) {
                for (uint16_t f : fns)
                    t[f] = h;
            };
            set({META_SETBKCOLOR, META_SETTEXTCOLOR, META_SETBKMODE, META_SETROP2,
                 META_SETPOLYFILLMODE, META_SETTEXTALIGN, META_SETMAPMODE, META_SETWINDOWORG,
                 META_OFFSETWINDOWORG, META_SETWINDOWEXT, META_SCALEWINDOWEXT, META_SAVEDC,
                 META_RESTOREDC, META_EXCLUDECLIPRECT, META_INTERSECTCLIPRECT},
                &WmfReader::deviceContext);
            set({META_MOVETO, META_LINETO, META_RECTANGLE, META_ELLIPSE, META_ROUNDRECT, META_ARC,
                 META_PIE, META_CHORD, META_SETPIXEL, META_POLYGON, META_POLYLINE,
                 META_POLYPOLYGON},
                &WmfReader::shapeRecord);
            set({META_TEXTOUT, META_EXTTEXTOUT}, &WmfReader::textRecord);
            set({META_SELECTOBJECT, META_DELETEOBJECT, META_CREATEPENINDIRECT,
                 META_CREATEBRUSHINDIRECT, META_CREATEFONTINDIRECT, META_DIBCREATEPATTERNBRUSH,
                 META_CREATEPALETTE, META_CREATEREGION, META_CREATEPATTERNBRUSH},
                &WmfReader::objectRecord);
            set({META_PATBLT, META_STRETCHDIB, META_DIBSTRETCHBLT, META_DIBBITBLT},
                &WmfReader::bitmapRecord);
            return t;
        }();
        auto it = table.find(fn);
        return it == table.end() ? nullptr : it->second;
    }

    void convert(uint16_t fn, const RecordReader& r) {
        if (Handler h = handlerFor(fn)) (this->*h)(fn, r);
    }

    // Colours, modes, the window, saved states and clipping rectangles.
    void deviceContext(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
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
        default:
            break;
        }
    }

    // Lines, pixels, shapes, arcs and polygons.
    void shapeRecord(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
        switch (fn) {
        case META_MOVETO:
            point(U_EMR_MOVETOEX, r.i16(P + 2), r.i16(P));
            break;
        case META_LINETO:
            point(U_EMR_LINETO, r.i16(P + 2), r.i16(P));
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
        default:
            break;
        }
    }

    // TEXTOUT and EXTTEXTOUT.
    void textRecord(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
        switch (fn) {
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
        default:
            break;
        }
    }

    // Creating, selecting and deleting objects.
    void objectRecord(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
        switch (fn) {
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
        default:
            break;
        }
    }

    // Pattern blits and DIB blits.
    void bitmapRecord(uint16_t fn, const RecordReader& r) {
        RecordWriter w(rec_);
        switch (fn) {
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

} // namespace

WmfImport importWmf(std::span<const uint8_t> bytes) {
    return WmfReader(bytes).run();
}

} // namespace mf
