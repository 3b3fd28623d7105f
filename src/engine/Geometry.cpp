// Geometry of TFastPicture: quarter turns and the left-right mirror at the bitmap's own
// depth, resampling to a new size (bilinear enlargement, area-average reduction) and
// trimming of bitmaps and metafiles.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"

// Row loops may be vectorised even where their trip count is not a multiple of the vector
// width; the resampling arithmetic is rounded operation by operation, never fused into a
// multiply-add, so that it equals plain double-precision arithmetic on every machine.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("vect-cost-model=dynamic", "tree-vectorize", "fp-contract=off")
#endif

namespace {

// ----- whole pixels at native depth -----
// Each layout moves one pixel from column sx of a source row to column dx of a destination
// row without looking at its value. Pixels packed several to a byte (1 and 4 bits) clear
// the target bits and set the copied ones, leaving the byte's other pixels as they were.

template <int Bytes> struct BytePixels {
    static void copy(uint8_t* dst, int dx, const uint8_t* src, int sx) {
        std::memcpy(dst + size_t(dx) * Bytes, src + size_t(sx) * Bytes, Bytes);
    }
};

struct BitPixels {
    static void copy(uint8_t* dst, int dx, const uint8_t* src, int sx) {
        const int bit = (src[sx >> 3] >> (7 - (sx & 7))) & 1;
        const uint8_t mask = uint8_t(0x80 >> (dx & 7));
        uint8_t& d = dst[dx >> 3];
        d = uint8_t((d & ~mask) | (bit ? mask : 0));
    }
};

struct NibblePixels {
    static void copy(uint8_t* dst, int dx, const uint8_t* src, int sx) {
        const uint8_t s = src[sx >> 1];
        const uint8_t v = (sx & 1) ? (s & 0x0F) : (s >> 4);
        uint8_t& d = dst[dx >> 1];
        d = (dx & 1) ? uint8_t((d & 0xF0) | v) : uint8_t((d & 0x0F) | (v << 4));
    }
};

// Calls fn with the pixel mover of a depth (1, 4, 8, 16, 24 or 32 bits).
template <class Fn> void withPixels(int depth, Fn&& fn) {
    switch (depth) {
    case 1:
        fn(BitPixels{});
        break;
    case 4:
        fn(NibblePixels{});
        break;
    case 8:
        fn(BytePixels<1>{});
        break;
    case 16:
        fn(BytePixels<2>{});
        break;
    case 24:
        fn(BytePixels<3>{});
        break;
    case 32:
        fn(BytePixels<4>{});
        break;
    default:
        throw EInvalidGraphic("画像フォーマットが不正です");
    }
}

bool nativeDepth(int depth) {
    return depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// A device-dependent bitmap becomes a 24-bit device-independent one; others stay as they are.
void makeDeviceIndependent(Bitmap& bmp) {
    if (bmp.pixelFormat() == pfDevice) bmp.setPixelFormat(pf24bit);
}

// A new bitmap of the given size with the source's pixel format and a copy of its palette.
Bitmap makeBitmapLike(const Bitmap& source, int width, int height) {
    Bitmap result(width, height, source.pixelFormat());
    result.setPalette(source.palette());
    return result;
}

std::vector<const uint8_t*> rowTable(const Bitmap& bmp) {
    std::vector<const uint8_t*> rows(size_t(bmp.height()));
    for (int y = 0; y < bmp.height(); ++y)
        rows[size_t(y)] = bmp.scanLine(y);
    return rows;
}

// Destination rows [y0, y1) of the picture turned by angle (90, 180 or 270) degrees. The
// quarter turns walk in square tiles so that the source rows they read stay in cache.
template <class Px>
void turnRows(const std::vector<const uint8_t*>& src, int sw, int sh, Bitmap& dst, int angle,
              int y0, int y1) {
    const int dw = dst.width();
    if (angle == 180) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* d = dst.scanLine(y);
            const uint8_t* s = src[size_t(sh - 1 - y)];
            for (int x = 0; x < dw; ++x)
                Px::copy(d, x, s, sw - 1 - x);
        }
        return;
    }
    constexpr int kTile = 32;
    for (int ty = y0; ty < y1; ty += kTile) {
        const int ty1 = std::min(ty + kTile, y1);
        for (int tx = 0; tx < dw; tx += kTile) {
            const int tx1 = std::min(tx + kTile, dw);
            for (int y = ty; y < ty1; ++y) {
                uint8_t* d = dst.scanLine(y);
                if (angle == 90) {
                    // (x, y) comes from (y, h − 1 − x).
                    for (int x = tx; x < tx1; ++x)
                        Px::copy(d, x, src[size_t(sh - 1 - x)], y);
                } else {
                    // (x, y) comes from (w − 1 − y, x).
                    for (int x = tx; x < tx1; ++x)
                        Px::copy(d, x, src[size_t(x)], sw - 1 - y);
                }
            }
        }
    }
}

// ----- bilinear stretch -----

// The nearest integer, ties to even, limited to 0..255.
uint8_t roundToByte(double v) {
    const double r = std::nearbyint(v);
    return uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
}

// Near a rounding tie the double-precision value is not trusted; the value is then
// recomputed from the bilinear formula in extended precision, left to right.
constexpr double kTieMargin = 1e-9;

uint8_t bilinearExtended(int p00, int p10, int p01, int p11, double dx, double dy) {
    const long double ldx = dx, ldy = dy;
    const long double v = (long double)p00 + ldx * (long double)(p10 - p00) +
                          ldy * (long double)(p01 - p00) +
                          ldx * ldy * (long double)(p00 + p11 - p10 - p01);
    // Adding and removing 1.5 × 2^63 rounds to an integer in extended precision, ties to
    // even, without the cost of a library call.
    const long double magic = 13835058055282163712.0L;
    const long double r = (v + magic) - magic;
    return uint8_t(r < 0 ? 0 : r > 255 ? 255 : r);
}

// Whether a fraction is a multiple of 2^-20. When dx and dy both are, every step of the
// bilinear formula on 8-bit values is exact in double precision (products keep at most
// 50 significant bits), so the double value is the exact value and ties are true ties.
bool shortFraction(double f) {
    const double scaled = f * 1048576.0;
    return scaled == std::floor(scaled);
}

// Adding and removing 1.5 × 2^52 rounds a double below 2^51 to an integer, ties to even.
constexpr double kRoundMagic = 6755399441055744.0;
constexpr int kChunk = 1024;

// rounded[i] := nearest(h0[i] + dy × (h1[i] − h0[i])); returns whether a value that
// inexact[i] marks lies within the tie margin of a half-integer. Written with two-lane
// vectors because the compiler does not vectorise the mixed compare-and-or on its own.
bool roundRow(const double* h0, const double* h1, double dy, const int64_t* inexact,
              double* rounded, int count) {
    typedef double v2d __attribute__((vector_size(16)));
    typedef int64_t v2l __attribute__((vector_size(16)));
    const v2d dyv = {dy, dy}, magic = {kRoundMagic, kRoundMagic};
    const v2d limit = {0.5 - kTieMargin, 0.5 - kTieMargin};
    v2l any = {0, 0};
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        v2d a, b;
        v2l mask;
        std::memcpy(&a, h0 + i, sizeof a);
        std::memcpy(&b, h1 + i, sizeof b);
        std::memcpy(&mask, inexact + i, sizeof mask);
        const v2d x = a + dyv * (b - a);
        const v2d r = (x + magic) - magic;
        const v2d d = x - r;
        any |= ((d > limit) | (d < -limit)) & mask;
        std::memcpy(rounded + i, &r, sizeof r);
    }
    bool nearTie = any[0] != 0 || any[1] != 0;
    for (; i < count; ++i) {
        const double x = h0[i] + dy * (h1[i] - h0[i]);
        const double r = (x + kRoundMagic) - kRoundMagic;
        nearTie |= inexact[i] != 0 && std::fabs(x - r) > 0.5 - kTieMargin;
        rounded[i] = r;
    }
    return nearTie;
}

struct StretchColumns {
    std::vector<int> a, b; // byte offsets of the left and right source pixels
    std::vector<double> dx;
    std::vector<uint8_t> exact; // dx is a short fraction
};

// One source row interpolated horizontally at every destination column, per channel.
void interpolateRow(const uint8_t* row, const StretchColumns& cols, double* out) {
    const size_t n = cols.dx.size();
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* pa = row + cols.a[x];
        const uint8_t* pb = row + cols.b[x];
        const double dx = cols.dx[x];
        for (int c = 0; c < 3; ++c)
            out[3 * x + c] = pa[c] + dx * (double(pb[c]) - double(pa[c]));
    }
}

// A bitmap as 24 bits per pixel, reading the source in place when it already is.
struct Source24 {
    Bitmap copy;
    const Bitmap* bmp;
    explicit Source24(const Bitmap& source) : bmp(&source) {
        if (source.pixelFormat() != pf24bit) {
            copy = source;
            copy.setPixelFormat(pf24bit);
            bmp = &copy;
        }
    }
};

// ----- area average -----

// The source cells [first, first + count) that one destination cell covers on an axis, and
// the length of each one's overlap with [lo, hi].
struct Coverage {
    std::vector<int> first, count;
    std::vector<double> weight; // flat, count[k] entries from offset[k]
    std::vector<size_t> offset;
};

Coverage coverage(int sourceSize, int targetSize, double scale) {
    Coverage cov;
    cov.first.resize(size_t(targetSize));
    cov.count.resize(size_t(targetSize));
    cov.offset.resize(size_t(targetSize));
    for (int k = 0; k < targetSize; ++k) {
        const double lo = k * scale;
        const double hi = (k + 1) * scale - 0.000001;
        const int j0 = std::max(0, int(std::floor(lo)));
        const int j1 = std::min(sourceSize - 1, int(std::floor(hi)));
        cov.first[size_t(k)] = j0;
        cov.count[size_t(k)] = std::max(0, j1 - j0 + 1);
        cov.offset[size_t(k)] = cov.weight.size();
        for (int j = j0; j <= j1; ++j) {
            const bool startsInside = j > lo;
            const bool endsInside = j + 1 < hi;
            double w;
            if (startsInside && endsInside)
                w = 1;
            else if (!startsInside && endsInside)
                w = (j + 1) - lo;
            else if (startsInside && !endsInside)
                w = hi - j;
            else
                w = hi - lo;
            cov.weight.push_back(w);
        }
    }
    return cov;
}

// Switches the control's AutoSize and Stretch off for its lifetime and gives them back
// their values on every way out, an exception included.
class FlagsOff {
public:
    FlagsOff(bool& autoSize, bool& stretch)
        : autoSize_(autoSize), stretch_(stretch), savedAutoSize_(autoSize), savedStretch_(stretch) {
        autoSize_ = stretch_ = false;
    }
    ~FlagsOff() {
        stretch_ = savedStretch_;
        autoSize_ = savedAutoSize_;
    }
    FlagsOff(const FlagsOff&) = delete;
    FlagsOff& operator=(const FlagsOff&) = delete;

private:
    bool& autoSize_;
    bool& stretch_;
    bool savedAutoSize_, savedStretch_;
};

// Floor of a × b / c for c > 0, in 64-bit arithmetic.
int scaledFloor(int a, int b, int c) {
    const int64_t p = int64_t(a) * b;
    int64_t q = p / c;
    if (p % c != 0 && p < 0) --q;
    return int(q);
}

// The area [left, left + w) × [top, top + h) of a bitmap at native depth.
Bitmap cropBitmap(const Bitmap& src, int left, int top, int w, int h) {
    Bitmap result = makeBitmapLike(src, w, h);
    const int depth = src.bitsPerPixel();
    if (depth % 8 == 0) {
        const size_t bpp = size_t(depth / 8);
        for (int y = 0; y < h; ++y)
            std::memcpy(result.scanLine(y), src.scanLine(top + y) + bpp * size_t(left),
                        bpp * size_t(w));
    } else {
        withPixels(depth, [&](auto px) {
            using Px = decltype(px);
            for (int y = 0; y < h; ++y) {
                const uint8_t* s = src.scanLine(top + y);
                uint8_t* d = result.scanLine(y);
                for (int x = 0; x < w; ++x)
                    Px::copy(d, x, s, left + x);
            }
        });
    }
    return result;
}

} // namespace

Bitmap BilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は拡大できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("拡大後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    Bitmap result(NewWidth, NewHeight, pf24bit);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;

    StretchColumns cols;
    cols.a.resize(size_t(NewWidth));
    cols.b.resize(size_t(NewWidth));
    cols.dx.resize(size_t(NewWidth));
    cols.exact.resize(size_t(NewWidth));
    for (int x = 0; x < NewWidth; ++x) {
        const double fx = (x + 0.5) * sx - 0.5;
        const double c = std::floor(fx);
        const int ci = int(c);
        cols.dx[size_t(x)] = fx - c;
        cols.exact[size_t(x)] = shortFraction(fx - c);
        cols.a[size_t(x)] = 3 * (ci < 0 ? 0 : ci);
        cols.b[size_t(x)] = 3 * (ci + 1 > w - 1 ? w - 1 : ci + 1);
    }
    const std::vector<const uint8_t*> rows = rowTable(src);
    const size_t n = size_t(3) * size_t(NewWidth);
    // Per byte of a destination row: all ones where dx is not a short fraction, so that masks
    // combine without branches.
    std::vector<int64_t> inexactMask(n), allInexact(n, -1);
    for (size_t i = 0; i < n; ++i)
        inexactMask[i] = cols.exact[i / 3] ? 0 : -1;

    engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
        // Horizontally interpolated upper and lower source rows, kept while they serve.
        std::vector<double> upper(n), lower(n);
        int upperRow = -1, lowerRow = -1;
        for (int y = y0; y < y1; ++y) {
            const double fy = (y + 0.5) * sy - 0.5;
            const double r = std::floor(fy);
            const int ri = int(r);
            const double dy = fy - r;
            const int ra = ri < 0 ? 0 : ri;
            const int rb = ri + 1 > h - 1 ? h - 1 : ri + 1;
            if (ra != upperRow) {
                if (ra == lowerRow)
                    std::swap(upper, lower), std::swap(upperRow, lowerRow);
                else
                    interpolateRow(rows[size_t(ra)], cols, upper.data()), upperRow = ra;
            }
            if (rb != lowerRow) {
                if (rb == upperRow)
                    lower = upper;
                else
                    interpolateRow(rows[size_t(rb)], cols, lower.data());
                lowerRow = rb;
            }
            uint8_t* out = result.scanLine(y);
            const double* h0 = upper.data();
            const double* h1 = lower.data();
            // h0 + dy × (h1 − h0) equals the bilinear formula and differs from its
            // extended-precision evaluation by far less than the tie margin. Where dx and dy
            // are short fractions the value is exact and its rounding (ties to even) final;
            // elsewhere a value near a tie is recomputed in extended precision below.
            const int64_t* inexact = shortFraction(dy) ? inexactMask.data() : allInexact.data();
            // In chunks, so that the rounded values are still in the first-level cache when
            // they are narrowed to bytes.
            const int count = int(n);
            bool nearTie = false;
            for (int i0 = 0; i0 < count; i0 += kChunk) {
                const int len = std::min(kChunk, count - i0);
                double nearest[kChunk];
                nearTie |= roundRow(h0 + i0, h1 + i0, dy, inexact + i0, nearest, len);
                uint8_t* o = out + i0;
                for (int i = 0; i < len; ++i) {
                    const double v = nearest[i];
                    o[i] = uint8_t(int32_t(v < 0 ? 0 : v > 255 ? 255 : v));
                }
            }
            if (!nearTie) continue;
            const uint8_t* A = rows[size_t(ra)];
            const uint8_t* B = rows[size_t(rb)];
            for (size_t i = 0; i < n; ++i) {
                if (!inexact[i]) continue;
                const double v = h0[i] + dy * (h1[i] - h0[i]);
                const double nearest = (v + kRoundMagic) - kRoundMagic;
                if (std::fabs(v - nearest) <= 0.5 - kTieMargin) continue;
                const size_t x = i / 3, c = i % 3;
                const int a = cols.a[x] + int(c), b = cols.b[x] + int(c);
                out[i] = bilinearExtended(A[a], A[b], B[a], B[b], cols.dx[x], dy);
            }
        }
    });
    return result;
}

Bitmap AreaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight) {
    if (Source.empty()) throw EInvalidGraphicOperation("空の画像は縮小できません");
    if (NewWidth < 1 || NewHeight < 1) throw ERangeError("縮小後の大きさが不正です");
    const Source24 s24(Source);
    const Bitmap& src = *s24.bmp;
    const int w = src.width(), h = src.height();
    Bitmap result(NewWidth, NewHeight, pf24bit);
    const double sx = double(w) / NewWidth, sy = double(h) / NewHeight;
    const float area = float(double(int64_t(w) * h) / NewWidth / NewHeight);
    const double areaD = area;
    const Coverage cx = coverage(w, NewWidth, sx);
    const Coverage cy = coverage(h, NewHeight, sy);
    const std::vector<const uint8_t*> rows = rowTable(src);

    engine::forEachRowRange(NewHeight, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            uint8_t* out = result.scanLine(y);
            const int i0 = cy.first[size_t(y)], ni = cy.count[size_t(y)];
            const double* wys = cy.weight.data() + cy.offset[size_t(y)];
            for (int x = 0; x < NewWidth; ++x) {
                const int j0 = cx.first[size_t(x)], nj = cx.count[size_t(x)];
                const double* wxs = cx.weight.data() + cx.offset[size_t(x)];
                // Summed row by row, left to right, each term (wx × wy) × value.
                double sb = 0, sg = 0, sr = 0;
                for (int i = 0; i < ni; ++i) {
                    const double wy = wys[i];
                    const uint8_t* p = rows[size_t(i0 + i)] + 3 * size_t(j0);
                    for (int j = 0; j < nj; ++j, p += 3) {
                        const double wgt = wxs[j] * wy;
                        sb += wgt * p[0];
                        sg += wgt * p[1];
                        sr += wgt * p[2];
                    }
                }
                out[3 * x] = roundToByte(sb / areaD);
                out[3 * x + 1] = roundToByte(sg / areaD);
                out[3 * x + 2] = roundToByte(sr / areaD);
            }
        }
    });
    return result;
}

void TFastPicture::Turn(int Angle) {
    Kind = "Turn";
    DoAmend();
    if (GetPictureType() != picBitmap || Angle % 360 == 0 || Angle % 90 != 0) return;
    int angle = (Angle / 90) % 4 * 90;
    if (angle < 0) angle += 360;
    Bitmap& bmp = *picture().as<Bitmap>();
    makeDeviceIndependent(bmp);
    const int depth = GetBitsPerPixel();
    if (!nativeDepth(depth)) return; // an empty bitmap has nothing to turn

    const int oldWidth = Width, oldHeight = Height;
    const int w = bmp.width(), h = bmp.height();
    Bitmap result = angle == 180 ? makeBitmapLike(bmp, w, h) : makeBitmapLike(bmp, h, w);
    const std::vector<const uint8_t*> rows = rowTable(bmp);
    withPixels(depth, [&](auto px) {
        using Px = decltype(px);
        engine::forEachRowRange(result.height(), [&](int y0, int y1) {
            turnRows<Px>(rows, w, h, result, angle, y0, y1);
        });
    });
    {
        const FlagsOff flags(AutoSize, Stretch);
        if (angle != 180) SetBounds(oldHeight, oldWidth);
        picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    }
    Invalidate();
    DoAmended();
}

void TFastPicture::Reverse() {
    Kind = "Reverse";
    DoAmend();
    if (GetPictureType() != picBitmap) return;
    Bitmap& bmp = *picture().as<Bitmap>();
    makeDeviceIndependent(bmp);
    const int depth = GetBitsPerPixel();
    if (!nativeDepth(depth)) return;
    const int w = bmp.width(), h = bmp.height();
    Bitmap result = makeBitmapLike(bmp, w, h);
    withPixels(depth, [&](auto px) {
        using Px = decltype(px);
        engine::forEachRowRange(h, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const uint8_t* s = bmp.scanLine(y);
                uint8_t* d = result.scanLine(y);
                for (int x = 0; x < w; ++x)
                    Px::copy(d, x, s, w - 1 - x);
            }
        });
    });
    picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    Invalidate();
    DoAmended();
}

void TFastPicture::Enlarge(int NewWidth, int NewHeight) {
    Kind = "Enlarge";
    DoAmend();
    if (GetPictureType() != picBitmap) return;
    Bitmap& bmp = *picture().as<Bitmap>();
    makeDeviceIndependent(bmp);
    const PixelFormat format = bmp.pixelFormat();
    if (bmp.empty() || NewWidth < bmp.width() || NewHeight < bmp.height()) return;
    Bitmap result = BilinearStretch(bmp, NewWidth, NewHeight);
    if (format == pf1bit || format == pf4bit || format == pf8bit || format == pf32bit)
        result.setPixelFormat(format);
    picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    Invalidate();
    DoAmended();
}

void TFastPicture::Shrink(int NewWidth, int NewHeight) {
    Kind = "Shrink";
    DoAmend();
    if (GetPictureType() != picBitmap) return;
    Bitmap& bmp = *picture().as<Bitmap>();
    makeDeviceIndependent(bmp);
    const PixelFormat format = bmp.pixelFormat();
    // A target of no pixels cannot hold an average: refused like a target that is too large.
    if (bmp.empty() || NewWidth < 1 || NewHeight < 1 || NewWidth > bmp.width() ||
        NewHeight > bmp.height())
        return;
    Bitmap result = AreaAverageShrink(bmp, NewWidth, NewHeight);
    if (format == pf1bit || format == pf4bit || format == pf8bit || format == pf32bit)
        result.setPixelFormat(format);
    picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    Invalidate();
    DoAmended();
}

void TFastPicture::Trimming(const TRect& CropRect, bool PictureCoordinates) {
    Kind = "Trimming";
    DoAmend();
    const TPictureType type = GetPictureType();
    if (type != picBitmap && type != picMetafile) return;
    const int w = picture().width(), h = picture().height();
    const int cw = Width, ch = Height;
    TRect p = CropRect, c = CropRect;
    int newWidth = cw, newHeight = ch;
    if (!AutoSize && Stretch) {
        // Scaling between picture and control pixels needs both sizes; with either one
        // empty no rectangle can lie inside the picture.
        if (w <= 0 || h <= 0 || cw <= 0 || ch <= 0) return;
        if (PictureCoordinates) {
            c.Left = scaledFloor(p.Left, cw, w);
            c.Right = scaledFloor(p.Right, cw, w);
            c.Top = scaledFloor(p.Top, ch, h);
            c.Bottom = scaledFloor(p.Bottom, ch, h);
        } else {
            p.Left = scaledFloor(c.Left, w, cw);
            p.Right = scaledFloor(c.Right, w, cw);
            p.Top = scaledFloor(c.Top, h, ch);
            p.Bottom = scaledFloor(c.Bottom, h, ch);
        }
        newWidth = c.Right - c.Left + 1;
        newHeight = c.Bottom - c.Top + 1;
    }
    if (p.Left < 0 || p.Top < 0 || p.Right > w - 1 || p.Bottom > h - 1) return;
    // Corners given the wrong way round leave nothing to keep.
    if (p.Right < p.Left || p.Bottom < p.Top) return;
    const int cropW = p.Right - p.Left + 1, cropH = p.Bottom - p.Top + 1;

    {
        const FlagsOff flags(AutoSize, Stretch);
        if (type == picBitmap) {
            Bitmap& bmp = *picture().as<Bitmap>();
            makeDeviceIndependent(bmp);
            Bitmap result = cropBitmap(bmp, p.Left, p.Top, cropW, cropH);
            SetBounds(newWidth, newHeight);
            picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
        } else {
            const Metafile& held = *picture().as<Metafile>();
            int ratioX = 100, ratioY = 100;
            GetMetafileRatio(ratioX, ratioY);
            auto m = std::make_unique<Metafile>();
            m->setWidth(cropW * 100 / ratioX);
            m->setHeight(cropH * 100 / ratioY);
            m->setPalette(held.palette());
            {
                MetafileCanvas recording(*m);
                // The metafile drawn at natural size, then the kept area as a raster.
                Bitmap whole;
                whole.assign(held);
                whole.setPixelFormat(pf24bit);
                const Bitmap part = cropBitmap(whole, p.Left, p.Top, cropW, cropH);
                recording.draw(0, 0, part);
                recording.end();
            }
            m->setLogicalInch(true);
            m->setWidth(m->width() * ratioX / 100);
            m->setHeight(m->height() * ratioY / 100);
            SetBounds(newWidth, newHeight);
            picture().setGraphic(std::move(m));
        }
    }
    Invalidate();
    DoAmended();
}
