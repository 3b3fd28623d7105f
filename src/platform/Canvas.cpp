#include "platform/Canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPen>

#include "core/Checked.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"
#include "platform/MetafileRecords.h"

void Graphic::draw(Canvas& canvas, const QRect& dest) const {
    canvas.stretchDraw(dest, *this);
}

namespace {

QColor qColor(TColor c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

using core::mulDiv;

// Font of a canvas at a resolution: point size to pixel height like the classic canvas does.
QFont makeFont(const CanvasFont& f, int ppi) {
    QFont font(f.family);
    font.setPixelSize(std::max(1, mulDiv(f.size, ppi, 72)));
    font.setBold(f.bold);
    font.setItalic(f.italic);
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

} // namespace

// ----------------------------------------------------------------------------------------
class CanvasBackend {
public:
    virtual ~CanvasBackend() = default;
    virtual void line(QPoint a, QPoint b, const CanvasPen& pen) = 0;
    virtual void polyline(std::span<const QPoint> pts, const CanvasPen& pen) = 0;
    virtual void rectangle(int l, int t, int r, int b, const CanvasPen& pen,
                           const CanvasBrush& brush) = 0;
    virtual void fillRect(const QRect& rect, const CanvasBrush& brush) = 0;
    virtual void text(int x, int y, const QString& s, const CanvasFont& font) = 0;
    virtual void stretch(const QRect& dest, const Graphic& g) = 0;
    virtual int ppi() const = 0;
};

namespace {

// ----- drawing on a bitmap's own pixels -----
class BitmapBackend : public CanvasBackend {
public:
    explicit BitmapBackend(Bitmap& bmp) : bmp_(bmp) {
        PixelFormat f = bmp_.pixelFormat();
        if (f != pf24bit && f != pf32bit && f != pfDevice && !bmp_.empty())
            bmp_.setPixelFormat(pf24bit);
    }

    void line(QPoint a, QPoint b, const CanvasPen& pen) override {
        if (pen.style == psClear || bmp_.empty()) return;
        if (pen.mode == pmNotXor) {
            QPoint pts[2] = {a, b};
            invertPolyline(pts, pen);
            return;
        }
        withPainter([&](QPainter& p) {
            p.setPen(qPen(pen));
            p.drawLine(a, b);
        });
    }

    void polyline(std::span<const QPoint> pts, const CanvasPen& pen) override {
        if (pen.style == psClear || bmp_.empty() || pts.size() < 2) return;
        if (pen.mode == pmNotXor) {
            invertPolyline(pts, pen);
            return;
        }
        withPainter([&](QPainter& p) {
            p.setPen(qPen(pen));
            p.drawPolyline(pts.data(), static_cast<int>(pts.size()));
        });
    }

    void rectangle(int l, int t, int r, int b, const CanvasPen& pen,
                   const CanvasBrush& brush) override {
        if (bmp_.empty()) return;
        if (r < l) std::swap(l, r);
        if (b < t) std::swap(t, b);
        if (pen.mode == pmNotXor) {
            invertRectangle(l, t, r, b, pen, brush);
            return;
        }
        withPainter([&](QPainter& p) {
            if (brush.style != bsClear) {
                int shrink = pen.style == psClear ? 1 : 0;
                p.fillRect(QRect(l, t, r - l - shrink, b - t - shrink), qColor(brush.color));
            }
            if (pen.style != psClear && r - l >= 1 && b - t >= 1) {
                p.setPen(qPen(pen));
                p.setBrush(Qt::NoBrush);
                p.drawRect(QRect(l, t, r - l - 1, b - t - 1));
            }
        });
    }

    void fillRect(const QRect& rect, const CanvasBrush& brush) override {
        if (brush.style == bsClear || bmp_.empty()) return;
        withPainter([&](QPainter& p) { p.fillRect(rect, qColor(brush.color)); });
    }

    void text(int x, int y, const QString& s, const CanvasFont& font) override {
        if (bmp_.empty() || s.isEmpty()) return;
        withPainter([&](QPainter& p) {
            QFont f = makeFont(font, ppi());
            p.setFont(f);
            p.setPen(qColor(font.color));
            p.drawText(QPoint(x, y + QFontMetrics(f).ascent()), s);
        });
    }

    void stretch(const QRect& dest, const Graphic& g) override {
        if (bmp_.empty() || g.empty() || dest.isEmpty()) return;
        withPainter([&](QPainter& p) { g.paint(p, QRectF(dest)); });
    }

    int ppi() const override { return screenInfo().logPixelsY; }

private:
    template <class F> void withPainter(F&& f) {
        QImage img = bmp_.asQImage();
        if (img.isNull()) return;
        QPainter p(&img);
        f(p);
    }

    static QPen qPen(const CanvasPen& pen) {
        QPen q(qColor(pen.color));
        q.setWidth(pen.width <= 1 ? 0 : pen.width);
        q.setStyle(pen.style == psDot    ? Qt::DotLine
                   : pen.style == psDash ? Qt::DashLine
                                         : Qt::SolidLine);
        q.setCapStyle(pen.width <= 1 ? Qt::SquareCap : Qt::RoundCap);
        q.setJoinStyle(Qt::RoundJoin);
        return q;
    }

    // pmNotXor: each covered pixel becomes not (pen xor pixel). Applying it twice gives the
    // pixel back, so every pixel of one drawing is touched exactly once.
    void invertPixel(uint8_t* px, TColor c) const {
        px[0] = uint8_t(~(GetBValue(c) ^ px[0]));
        px[1] = uint8_t(~(GetGValue(c) ^ px[1]));
        px[2] = uint8_t(~(GetRValue(c) ^ px[2]));
    }
    int bytesPerPixel() const { return bmp_.bitsPerPixel() / 8; }

    void invertSpan(int y, int x0, int x1, TColor c) {
        if (y < 0 || y >= bmp_.height()) return;
        x0 = std::max(x0, 0);
        x1 = std::min(x1, bmp_.width() - 1);
        int bpp = bytesPerPixel();
        uint8_t* row = bmp_.scanLine(y);
        for (int x = x0; x <= x1; ++x)
            invertPixel(row + static_cast<ptrdiff_t>(x) * bpp, c);
    }

    void invertRectangle(int l, int t, int r, int b, const CanvasPen& pen,
                         const CanvasBrush& brush) {
        int w = pen.style == psClear ? 0 : std::max(1, pen.width);
        int half = w / 2;
        // Outer edge of the outline (inclusive) and the interior inside it.
        int ox0 = l - half, oy0 = t - half;
        int ox1 = r - 1 + (w - 1 - half), oy1 = b - 1 + (w - 1 - half);
        if (w == 0) {
            ox0 = l;
            oy0 = t;
            ox1 = r - 2;
            oy1 = b - 2;
        }
        int ix0 = ox0 + w, iy0 = oy0 + w, ix1 = ox1 - w, iy1 = oy1 - w;
        int ylo = std::max(oy0, 0), yhi = std::min(oy1, bmp_.height() - 1);
        for (int y = ylo; y <= yhi; ++y) {
            bool band = w > 0 && (y < iy0 || y > iy1);
            if (band || (w > 0 && ix0 > ix1)) {
                invertSpan(y, ox0, ox1, pen.color);
                continue;
            }
            if (w > 0) {
                invertSpan(y, ox0, ix0 - 1, pen.color);
                invertSpan(y, ix1 + 1, ox1, pen.color);
            }
            if (brush.style != bsClear) invertSpan(y, ix0, ix1, brush.color);
        }
    }

    // The pixels of a polyline (each segment without its end point, like a line-to; the last
    // point of the polyline is not drawn) gathered in a mask so that no pixel is inverted
    // twice where segments meet or where a wide pen overlaps itself.
    void invertPolyline(std::span<const QPoint> pts, const CanvasPen& pen) {
        int w = std::max(1, pen.width);
        int lo = -(w / 2), hi = w - 1 - w / 2;
        int64_t minX = INT32_MAX, minY = INT32_MAX, maxX = INT32_MIN, maxY = INT32_MIN;
        for (const QPoint& p : pts) {
            minX = std::min<int64_t>(minX, p.x());
            maxX = std::max<int64_t>(maxX, p.x());
            minY = std::min<int64_t>(minY, p.y());
            maxY = std::max<int64_t>(maxY, p.y());
        }
        // Only the part on the bitmap matters.
        int64_t bx0 = std::max<int64_t>(minX + lo, 0), by0 = std::max<int64_t>(minY + lo, 0);
        int64_t bx1 = std::min<int64_t>(maxX + hi, bmp_.width() - 1);
        int64_t by1 = std::min<int64_t>(maxY + hi, bmp_.height() - 1);
        if (bx0 > bx1 || by0 > by1) return;
        int64_t mw = bx1 - bx0 + 1, mh = by1 - by0 + 1;
        std::vector<uint8_t> mask(static_cast<size_t>(mw * mh), 0);
        auto plot = [&](int64_t x, int64_t y) {
            for (int64_t yy = y + lo; yy <= y + hi; ++yy) {
                if (yy < by0 || yy > by1) continue;
                for (int64_t xx = x + lo; xx <= x + hi; ++xx)
                    if (xx >= bx0 && xx <= bx1) mask[size_t((yy - by0) * mw + (xx - bx0))] = 1;
            }
        };
        int64_t step = 0;
        for (size_t i = 0; i + 1 < pts.size(); ++i) {
            int64_t x0 = pts[i].x(), y0 = pts[i].y(), x1 = pts[i + 1].x(), y1 = pts[i + 1].y();
            int64_t dx = std::llabs(x1 - x0), dy = -std::llabs(y1 - y0);
            int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1, err = dx + dy;
            // Skip the parts of a long line far outside the bitmap quickly: the walk is
            // bounded by the segment's length, which is bounded by the coordinates' range.
            int64_t n = std::max(dx, -dy);
            if (n > 4 * (int64_t(bmp_.width()) + bmp_.height()) + 8 &&
                (std::max(x0, x1) < bx0 - w || std::min(x0, x1) > bx1 + w ||
                 std::max(y0, y1) < by0 - w || std::min(y0, y1) > by1 + w))
                continue;
            for (int64_t k = 0; k < n; ++k, ++step) {
                bool on = pen.style == psSolid || (pen.style == psDot && step % 2 == 0) ||
                          (pen.style == psDash && step % 9 < 6);
                if (on) plot(x0, y0);
                int64_t e2 = 2 * err;
                if (e2 >= dy) {
                    err += dy;
                    x0 += sx;
                }
                if (e2 <= dx) {
                    err += dx;
                    y0 += sy;
                }
            }
        }
        int bpp = bytesPerPixel();
        for (int64_t y = 0; y < mh; ++y) {
            uint8_t* row = bmp_.scanLine(static_cast<int>(by0 + y));
            for (int64_t x = 0; x < mw; ++x)
                if (mask[size_t(y * mw + x)]) invertPixel(row + (bx0 + x) * bpp, pen.color);
        }
    }

    Bitmap& bmp_;
};

// ----- recording EMF records -----
class RecordingBackend : public CanvasBackend {
public:
    explicit RecordingBackend(const ScreenInfo& ref) : ref_(ref) {
        mf::RecordWriter w(records_);
        w.begin(U_EMR_SETBKMODE);
        w.u32(U_TRANSPARENT);
        w.end();
    }

    void line(QPoint a, QPoint b, const CanvasPen& pen) override {
        if (!selectPen(pen)) return;
        mf::RecordWriter w(records_);
        w.begin(U_EMR_MOVETOEX);
        w.i32(a.x());
        w.i32(a.y());
        w.end();
        w.begin(U_EMR_LINETO);
        w.i32(b.x());
        w.i32(b.y());
        w.end();
    }

    void polyline(std::span<const QPoint> pts, const CanvasPen& pen) override {
        if (pts.size() < 2 || !selectPen(pen)) return;
        bool small = std::all_of(pts.begin(), pts.end(), [](const QPoint& p) {
            return p.x() >= INT16_MIN && p.x() <= INT16_MAX && p.y() >= INT16_MIN &&
                   p.y() <= INT16_MAX;
        });
        QRect bounds = boundsOf(pts);
        mf::RecordWriter w(records_);
        w.begin(small ? U_EMR_POLYLINE16 : U_EMR_POLYLINE);
        rectl(w, bounds);
        w.u32(static_cast<uint32_t>(pts.size()));
        for (const QPoint& p : pts) {
            if (small) {
                w.i16(static_cast<int16_t>(p.x()));
                w.i16(static_cast<int16_t>(p.y()));
            } else {
                w.i32(p.x());
                w.i32(p.y());
            }
        }
        w.end();
    }

    void rectangle(int l, int t, int r, int b, const CanvasPen& pen,
                   const CanvasBrush& brush) override {
        selectPen(pen);
        selectBrush(brush);
        mf::RecordWriter w(records_);
        w.begin(U_EMR_RECTANGLE);
        w.i32(l);
        w.i32(t);
        w.i32(r);
        w.i32(b);
        w.end();
    }

    void fillRect(const QRect& rect, const CanvasBrush& brush) override {
        if (brush.style == bsClear) return;
        CanvasPen none;
        none.style = psClear;
        // A rectangle without outline fills one pixel less on the right and bottom.
        rectangle(rect.left(), rect.top(), rect.right() + 2, rect.bottom() + 2, none, brush);
    }

    void text(int x, int y, const QString& s, const CanvasFont& font) override {
        if (s.isEmpty()) return;
        selectFont(font);
        if (textColor_ != font.color) {
            textColor_ = font.color;
            mf::RecordWriter w(records_);
            w.begin(U_EMR_SETTEXTCOLOR);
            w.u32(font.color);
            w.end();
        }
        // The advances come from the font that draws the text here, so other readers place
        // each glyph where this program does (Japanese glyphs are wider than Latin ones).
        QFont qf = makeFont(font, ppi());
        QFontMetricsF fm(qf);
        std::u16string u = s.toStdU16String();
        std::vector<uint32_t> dx(u.size(), 0);
        double pos = 0;
        int placed = 0;
        for (size_t i = 0; i < u.size(); ++i) {
            pos += fm.horizontalAdvance(QChar(u[i]));
            int next = static_cast<int>(std::lround(pos));
            dx[i] = static_cast<uint32_t>(std::max(0, next - placed));
            placed = next;
        }
        QRect bounds(x, y, std::max(1, placed), std::max(1, static_cast<int>(fm.height())));
        mf::RecordWriter w(records_);
        w.begin(U_EMR_EXTTEXTOUTW);
        rectl(w, bounds);
        w.u32(1);    // GM_COMPATIBLE
        w.f32(0.0f); // exScale, eyScale: unused in compatible mode
        w.f32(0.0f);
        w.i32(x);
        w.i32(y);
        w.u32(static_cast<uint32_t>(u.size()));
        uint32_t offStringField = w.offset();
        w.u32(0);
        w.u32(0); // fOptions
        rectl(w, bounds);
        uint32_t offDxField = w.offset();
        w.u32(0);
        w.patch32(offStringField, w.offset());
        for (char16_t c : u)
            w.u16(c);
        w.pad4();
        w.patch32(offDxField, w.offset());
        for (uint32_t d : dx)
            w.u32(d);
        w.end();
    }

    void stretch(const QRect& dest, const Graphic& g) override {
        if (g.empty() || dest.width() == 0 || dest.height() == 0) return;
        if (const auto* bmp = dynamic_cast<const Bitmap*>(&g)) {
            stretchBitmap(dest, *bmp);
            return;
        }
        if (const auto* meta = dynamic_cast<const Metafile*>(&g)) {
            if (embedMetafile(dest, *meta)) return;
        }
        // Anything else is recorded as its picture at natural size.
        Bitmap raster;
        raster.assign(g);
        stretchBitmap(dest, raster);
    }

    int ppi() const override { return ref_.logPixelsY; }

    // Hands the finished recording to the metafile.
    void finish(Metafile& target) {
        // Leave the stock objects selected so the recording ends clean.
        CanvasPen nonePen;
        nonePen.style = psClear;
        selectPen(nonePen);
        CanvasBrush noneBrush;
        noneBrush.style = bsClear;
        selectBrush(noneBrush);
        int64_t refMmW = int64_t(ref_.widthMm) * 100, refMmH = int64_t(ref_.heightMm) * 100;
        int wpx = target.width(), hpx = target.height();
        int mmw, mmh;
        if (wpx > 0 && hpx > 0 && !target.logicalInch()) {
            mmw = mulDiv(wpx, refMmW, ref_.widthPx);
            mmh = mulDiv(hpx, refMmH, ref_.heightPx);
        } else if (wpx > 0 && hpx > 0) {
            mmw = target.mmWidth();
            mmh = target.mmHeight();
            wpx = mulDiv(mmw, ref_.widthPx, refMmW);
            hpx = mulDiv(mmh, ref_.heightPx, refMmH);
        } else {
            // No size given: the reference device's whole surface.
            mmw = static_cast<int>(refMmW);
            mmh = static_cast<int>(refMmH);
            wpx = ref_.widthPx;
            hpx = ref_.heightPx;
        }
        target.setRecording(std::move(records_), QRectF(0, 0, wpx, hpx), nextHandle_, wpx, hpx, mmw,
                            mmh);
    }

private:
    static void rectl(mf::RecordWriter& w, const QRect& r) {
        w.i32(r.left());
        w.i32(r.top());
        w.i32(r.right());
        w.i32(r.bottom());
    }
    static QRect boundsOf(std::span<const QPoint> pts) {
        int x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
        for (const QPoint& p : pts) {
            x0 = std::min(x0, p.x());
            y0 = std::min(y0, p.y());
            x1 = std::max(x1, p.x());
            y1 = std::max(y1, p.y());
        }
        return QRect(QPoint(x0, y0), QPoint(x1, y1));
    }

    uint32_t newHandle() {
        if (!freeHandles_.empty()) {
            uint32_t h = freeHandles_.back();
            freeHandles_.pop_back();
            return h;
        }
        if (nextHandle_ >= mf::kMaxHandles)
            throw EInvalidGraphicOperation("メタファイルのオブジェクトが多すぎます");
        return nextHandle_++;
    }
    void select(uint32_t handle) {
        mf::RecordWriter w(records_);
        w.begin(U_EMR_SELECTOBJECT);
        w.u32(handle);
        w.end();
    }
    void release(uint32_t handle) {
        if (handle == 0 || (handle & 0x80000000u)) return;
        mf::RecordWriter w(records_);
        w.begin(U_EMR_DELETEOBJECT);
        w.u32(handle);
        w.end();
        freeHandles_.push_back(handle);
    }

    // Selects a pen like the canvas's; false when the pen draws nothing.
    bool selectPen(const CanvasPen& pen) {
        uint32_t rop = pen.mode == pmNotXor ? U_R2_NOTXORPEN : U_R2_COPYPEN;
        if (rop != rop2_) {
            rop2_ = rop;
            mf::RecordWriter w(records_);
            w.begin(U_EMR_SETROP2);
            w.u32(rop);
            w.end();
        }
        CanvasPen key = pen;
        key.mode = pmCopy;
        if (pen.style == psClear) {
            if (!penKey_ || penKey_->style != psClear) {
                select(U_NULL_PEN);
                release(penHandle_);
                penHandle_ = U_NULL_PEN;
                penKey_ = key;
            }
            return false;
        }
        if (penKey_ && *penKey_ == key) return true;
        uint32_t h = newHandle();
        mf::RecordWriter w(records_);
        w.begin(U_EMR_CREATEPEN);
        w.u32(h);
        // A solid pen wider than one pixel is a geometric pen, as the classic device makes it.
        w.u32((pen.style == psDot    ? U_PS_DOT
               : pen.style == psDash ? U_PS_DASH
                                     : U_PS_SOLID) |
              (pen.width > 1 && pen.style == psSolid ? U_PS_GEOMETRIC : 0));
        w.i32(std::max(1, pen.width));
        w.i32(0);
        w.u32(pen.color);
        w.end();
        select(h);
        release(penHandle_);
        penHandle_ = h;
        penKey_ = key;
        return true;
    }

    void selectBrush(const CanvasBrush& brush) {
        if (brushKey_ &&
            (*brushKey_ == brush || (brush.style == bsClear && brushKey_->style == bsClear)))
            return;
        uint32_t h = U_NULL_BRUSH;
        if (brush.style != bsClear) {
            h = newHandle();
            mf::RecordWriter w(records_);
            w.begin(U_EMR_CREATEBRUSHINDIRECT);
            w.u32(h);
            w.u32(U_BS_SOLID);
            w.u32(brush.color);
            w.u32(0);
            w.end();
        }
        select(h);
        release(brushHandle_);
        brushHandle_ = h;
        brushKey_ = brush;
    }

    void selectFont(const CanvasFont& font) {
        CanvasFont key = font;
        key.color = clBlack;
        if (fontKey_ && *fontKey_ == key) return;
        uint32_t h = newHandle();
        mf::RecordWriter w(records_);
        w.begin(U_EMR_EXTCREATEFONTINDIRECTW);
        w.u32(h);
        // LOGFONTW
        w.i32(-std::max(1, mulDiv(font.size, ppi(), 72)));
        w.i32(0);
        w.i32(0);
        w.i32(0);
        w.i32(font.bold ? 700 : 400);
        w.u8(font.italic ? 1 : 0);
        w.u8(0);
        w.u8(0);
        w.u8(1); // DEFAULT_CHARSET
        w.u8(0);
        w.u8(0);
        w.u8(0);
        w.u8(0);
        std::u16string face = font.family.left(31).toStdU16String();
        for (size_t i = 0; i < 32; ++i)
            w.u16(i < face.size() ? face[i] : 0);
        // The panose extension (full name, style, version fields, panose), left empty, so
        // that readers find the full-size structure they expect.
        for (int i = 0; i < 128 + 64 + 24 + 10 + 2; ++i)
            w.u8(0);
        w.end();
        select(h);
        release(fontHandle_);
        fontHandle_ = h;
        fontKey_ = key;
    }

    void stretchBitmap(const QRect& dest, const Bitmap& source) {
        if (source.empty()) return;
        QImage img = source.toDisplayImage();
        const int w = img.width(), h = img.height();
        const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u;
        uint64_t bitsSize = uint64_t(stride) * uint64_t(h);
        if (bitsSize > 0xFFFFFFF0ull - 200)
            throw EInvalidGraphicOperation("メタファイルに記録する画像が大きすぎます");
        mf::RecordWriter wr(records_);
        wr.begin(U_EMR_STRETCHDIBITS);
        rectl(wr, dest.normalized());
        wr.i32(dest.x());
        wr.i32(dest.y());
        wr.i32(0);
        wr.i32(0);
        wr.i32(w);
        wr.i32(h);
        wr.u32(80);  // offBmiSrc
        wr.u32(40);  // cbBmiSrc
        wr.u32(120); // offBitsSrc
        wr.u32(static_cast<uint32_t>(bitsSize));
        wr.u32(U_DIB_RGB_COLORS);
        wr.u32(U_SRCCOPY);
        wr.i32(dest.width());
        wr.i32(dest.height());
        // BITMAPINFOHEADER of a bottom-up 24-bit DIB.
        wr.u32(40);
        wr.i32(w);
        wr.i32(h);
        wr.u16(1);
        wr.u16(24);
        wr.u32(U_BI_RGB);
        wr.u32(static_cast<uint32_t>(bitsSize));
        wr.i32(3780);
        wr.i32(3780);
        wr.u32(0);
        wr.u32(0);
        std::vector<uint8_t> row(stride, 0);
        for (int y = h - 1; y >= 0; --y) {
            const QRgb* src = reinterpret_cast<const QRgb*>(img.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                row[size_t(x) * 3] = uint8_t(qBlue(src[x]));
                row[size_t(x) * 3 + 1] = uint8_t(qGreen(src[x]));
                row[size_t(x) * 3 + 2] = uint8_t(qRed(src[x]));
            }
            wr.bytes(row.data(), row.size());
        }
        wr.end();
    }

    // Copies another recording's records, scaled into dest and wrapped in a saved state.
    // The source's own mappings (mapping mode, window, viewport, world transform) are folded
    // into world transforms that end in the scaling onto dest, so the copy draws the same at
    // any nesting. Recordings that clip in device space cannot be moved this way; false
    // tells the caller to draw them as a picture.
    bool embedMetafile(const QRect& dest, const Metafile& source) {
        const std::vector<uint8_t>& src = source.records();
        const QRectF& frame = source.recordFrame();
        if (src.empty() || frame.width() <= 0 || frame.height() <= 0) return false;
        uint64_t base = nextHandle_;
        if (base + source.handleCount() >= mf::kMaxHandles) return false;
        const double sx = dest.width() / frame.width(), sy = dest.height() / frame.height();
        const QTransform onto = QTransform::fromTranslate(-frame.x(), -frame.y()) *
                                QTransform::fromScale(sx, sy) *
                                QTransform::fromTranslate(dest.x(), dest.y());
        struct State {
            mf::Mapping map;
            QTransform world;
        };
        State st;
        std::vector<State> saved;
        std::vector<uint8_t> out;
        mf::RecordWriter ow(out);
        auto setWorld = [&] {
            QTransform t = st.world * st.map.page(source.deviceResolution()) * onto;
            ow.begin(U_EMR_SETWORLDTRANSFORM);
            for (double v : {t.m11(), t.m12(), t.m21(), t.m22(), t.dx(), t.dy()})
                ow.f32(float(v));
            ow.end();
        };
        std::vector<bool> alive(source.handleCount(), false);
        size_t pos = 0;
        while (pos + 8 <= src.size()) {
            mf::RecordReader r(src.data() + pos, src.size() - pos);
            uint32_t type = r.u32(0), size = r.u32(4);
            if (size < 8 || size > src.size() - pos) return false;
            mf::RecordReader one(src.data() + pos, size);
            pos += size;
            if (st.map.apply(type, one)) {
                setWorld();
                continue;
            }
            switch (type) {
            case U_EMR_SETWORLDTRANSFORM:
            case U_EMR_MODIFYWORLDTRANSFORM:
                st.world = mf::worldAfter(type, one, st.world);
                setWorld();
                continue;
            case U_EMR_SAVEDC:
                saved.push_back(st);
                break;
            case U_EMR_RESTOREDC: {
                // Only restores within the source's own saves; the wrapper's state stays.
                int32_t n = one.i32(8);
                if (n >= 0 || uint64_t(-int64_t(n)) > saved.size()) continue;
                st = saved[saved.size() - size_t(-int64_t(n))];
                saved.resize(saved.size() - size_t(-int64_t(n)));
                break;
            }
            case U_EMR_EXTSELECTCLIPRGN:
            case U_EMR_OFFSETCLIPRGN:
            case U_EMR_SETMETARGN:
                return false;
            default:
                break;
            }
            size_t at = out.size();
            out.insert(out.end(), src.begin() + static_cast<ptrdiff_t>(pos - size),
                       src.begin() + static_cast<ptrdiff_t>(pos));
            auto remap = [&](size_t off, bool creates, bool deletes) {
                if (off + 4 > size) return false;
                uint32_t ih;
                std::memcpy(&ih, out.data() + at + off, 4);
                if (ih & 0x80000000u) return true; // stock object
                if (ih == 0 || ih >= alive.size()) return false;
                if (creates) alive[ih] = true;
                if (deletes) alive[ih] = false;
                uint32_t mapped = static_cast<uint32_t>(base + ih);
                std::memcpy(out.data() + at + off, &mapped, 4);
                return true;
            };
            bool keep = true;
            switch (type) {
            case U_EMR_CREATEPEN:
            case U_EMR_CREATEBRUSHINDIRECT:
            case U_EMR_CREATEPALETTE:
            case U_EMR_EXTCREATEFONTINDIRECTW:
            case U_EMR_CREATEMONOBRUSH:
            case U_EMR_CREATEDIBPATTERNBRUSHPT:
            case U_EMR_EXTCREATEPEN:
            case U_EMR_CREATECOLORSPACE:
            case U_EMR_CREATECOLORSPACEW:
                keep = remap(8, true, false);
                break;
            case U_EMR_DELETEOBJECT:
            case U_EMR_DELETECOLORSPACE:
                keep = remap(8, false, true);
                break;
            case U_EMR_SELECTOBJECT:
            case U_EMR_SELECTPALETTE:
            case U_EMR_SETPALETTEENTRIES:
            case U_EMR_RESIZEPALETTE:
            case U_EMR_SETCOLORSPACE:
                keep = remap(8, false, false);
                break;
            case U_EMR_FILLRGN:
            case U_EMR_FRAMERGN:
                keep = remap(28, false, false);
                break;
            default:
                break;
            }
            if (!keep) out.resize(at);
        }
        mf::RecordWriter w(records_);
        w.begin(U_EMR_SAVEDC);
        w.end();
        w.begin(U_EMR_SETWORLDTRANSFORM);
        for (double v : {onto.m11(), onto.m12(), onto.m21(), onto.m22(), onto.dx(), onto.dy()})
            w.f32(float(v));
        w.end();
        w.begin(U_EMR_INTERSECTCLIPRECT);
        w.i32(static_cast<int32_t>(std::floor(frame.left())));
        w.i32(static_cast<int32_t>(std::floor(frame.top())));
        w.i32(static_cast<int32_t>(std::ceil(frame.right())));
        w.i32(static_cast<int32_t>(std::ceil(frame.bottom())));
        w.end();
        records_.insert(records_.end(), out.begin(), out.end());
        for (size_t i = 0; i < saved.size(); ++i) {
            // Saves the source left open are closed before the wrapper's own.
            w.begin(U_EMR_RESTOREDC);
            w.i32(-1);
            w.end();
        }
        w.begin(U_EMR_RESTOREDC);
        w.i32(-1);
        w.end();
        for (size_t i = 1; i < alive.size(); ++i)
            if (alive[i]) {
                w.begin(U_EMR_DELETEOBJECT);
                w.u32(static_cast<uint32_t>(base + i));
                w.end();
            }
        nextHandle_ = static_cast<uint32_t>(base + source.handleCount());
        return true;
    }

    ScreenInfo ref_;
    std::vector<uint8_t> records_;
    uint32_t nextHandle_ = 1;
    std::vector<uint32_t> freeHandles_;
    std::optional<CanvasPen> penKey_;
    std::optional<CanvasBrush> brushKey_;
    std::optional<CanvasFont> fontKey_;
    uint32_t penHandle_ = 0, brushHandle_ = 0, fontHandle_ = 0;
    uint32_t rop2_ = U_R2_COPYPEN;
    TColor textColor_ = clBlack;
};

} // namespace

// ----------------------------------------------------------------------------------------
Canvas::Canvas(Bitmap& bitmap) : backend_(std::make_unique<BitmapBackend>(bitmap)) {}
Canvas::Canvas(std::unique_ptr<CanvasBackend> backend) : backend_(std::move(backend)) {}
Canvas::~Canvas() = default;

void Canvas::resetBackend() {
    backend_.reset();
}

namespace {
CanvasBackend& live(CanvasBackend* b) {
    if (!b) throw EInvalidGraphicOperation("記録の終わったメタファイルには描画できません");
    return *b;
}
} // namespace

void Canvas::moveTo(int x, int y) {
    penPos_ = QPoint(x, y);
}

void Canvas::lineTo(int x, int y) {
    live(backend_.get()).line(penPos_, QPoint(x, y), pen_);
    penPos_ = QPoint(x, y);
}

void Canvas::polyline(std::span<const QPoint> points) {
    live(backend_.get()).polyline(points, pen_);
    if (!points.empty()) penPos_ = points.back();
}

void Canvas::rectangle(int left, int top, int right, int bottom) {
    live(backend_.get()).rectangle(left, top, right, bottom, pen_, brush_);
}

void Canvas::fillRect(const QRect& rect) {
    live(backend_.get()).fillRect(rect, brush_);
}

void Canvas::textOut(int x, int y, const QString& text) {
    live(backend_.get()).text(x, y, text, font_);
    penPos_ = QPoint(x + textWidth(text), y);
}

int Canvas::textWidth(const QString& text) const {
    return QFontMetrics(makeFont(font_, pixelsPerInch())).horizontalAdvance(text);
}

int Canvas::textHeight(const QString& text) const {
    (void)text; // one line of text: the font's full line height, whatever its characters
    return QFontMetrics(makeFont(font_, pixelsPerInch())).height();
}

void Canvas::draw(int x, int y, const Graphic& graphic) {
    stretchDraw(QRect(x, y, graphic.width(), graphic.height()), graphic);
}

void Canvas::stretchDraw(const QRect& dest, const Graphic& graphic) {
    live(backend_.get()).stretch(dest, graphic);
}

int Canvas::pixelsPerInch() const {
    return backend_ ? backend_->ppi() : screenInfo().logPixelsY;
}

// ----------------------------------------------------------------------------------------
MetafileCanvas::MetafileCanvas(Metafile& target) : MetafileCanvas(target, screenInfo()) {}

MetafileCanvas::MetafileCanvas(Metafile& target, const ScreenInfo& reference)
    : Canvas(std::make_unique<RecordingBackend>(reference)), target_(&target) {}

MetafileCanvas::~MetafileCanvas() {
    try {
        end();
    } catch (const std::exception&) {
        // A destructor cannot report: the metafile keeps what it held before.
    }
}

void MetafileCanvas::end() {
    if (!backend()) return;
    auto* rec = static_cast<RecordingBackend*>(backend());
    rec->finish(*target_);
    resetBackend();
}
