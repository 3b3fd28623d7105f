// Geometry of TFastPicture: quarter turns and the left-right mirror at the bitmap's own
// depth, the operations that resample to a new size (the routines themselves are in
// Resample.cpp) and trimming of bitmaps and metafiles.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/FastPicture.h"
#include "engine/Resample.h"
#include "engine/RowDriver.h"
#include "engine/VectorLevel.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"

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

// A new bitmap of the given size with the source's pixel format and a copy of its palette.
// Its callers write every pixel; at whole bytes per pixel they write whole bytes, so the
// memory need not be cleared first, while pixels of 1 and 4 bits start from zero.
Bitmap makeBitmapLike(const Bitmap& source, int width, int height) {
    Bitmap result = source.bitsPerPixel() >= 8
                        ? Bitmap(width, height, source.pixelFormat(), Bitmap::Uninitialised::Pixels)
                        : Bitmap(width, height, source.pixelFormat());
    result.setPalette(source.palette());
    return result;
}

// Destination rows [y0, y1) of the picture turned by angle (90, 180 or 270) degrees, from
// destination column x0 on. The quarter turns walk in square tiles so that the source rows
// they read stay in cache.
template <class Px>
void turnRows(const std::vector<const uint8_t*>& src, int sw, int sh, Bitmap& dst, int angle,
              int y0, int y1, int x0 = 0) {
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
        for (int tx = x0; tx < dw; tx += kTile) {
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

#if defined(__x86_64__) && defined(__GNUC__)
#define PW_TURN_AVX512 1
#define PW_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

// Byte permutes between sixteen pixels of three bytes and sixteen 32-bit lanes.
struct TurnPermutes {
    uint8_t widen[64], narrow[64];
    constexpr TurnPermutes() : widen{}, narrow{} {
        for (int k = 0; k < 16; ++k)
            for (int c = 0; c < 3; ++c) {
                widen[4 * k + c] = uint8_t(3 * k + c);
                narrow[3 * k + c] = uint8_t(4 * k + c);
            }
    }
};
alignas(64) constexpr TurnPermutes kTurnPermutes;

// Transposes a 16 × 16 block of 32-bit lanes held as sixteen rows: interleaving pairs of
// rows by lanes, by lane pairs, then by 128-bit quarters twice. (GCC's definitions of the
// interleaves start from an undefined register and draw a false warning.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
PW_AVX512 inline void transpose16(__m512i r[16]) {
    __m512i t[16], u[16];
    for (int i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
    }
    for (int i = 0; i < 16; i += 4) {
        u[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
        u[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
        u[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
        u[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
    }
    for (int i = 0; i < 16; i += 8)
        for (int k = 0; k < 4; ++k) {
            t[i + k] = _mm512_shuffle_i32x4(u[i + k], u[i + 4 + k], 0x88);
            t[i + 4 + k] = _mm512_shuffle_i32x4(u[i + k], u[i + 4 + k], 0xdd);
        }
    for (int k = 0; k < 8; ++k) {
        r[k] = _mm512_shuffle_i32x4(t[k], t[8 + k], 0x88);
        r[8 + k] = _mm512_shuffle_i32x4(t[k], t[8 + k], 0xdd);
    }
}
#pragma GCC diagnostic pop

// Destination rows [y0, y1) of a 24-bit picture turned by 90 or 270 degrees, in tiles of
// 16 × 16 pixels: sixteen source rows are read sixteen pixels each, widened to 32-bit lanes,
// transposed and written as sixteen destination rows. Returns the first destination column
// the tiles left, and the rows from y0 + 16 × ((y1 − y0) / 16) are left whole.
PW_AVX512 int turnTiles24(const std::vector<const uint8_t*>& src, int sw, int sh, Bitmap& dst,
                          int angle, int y0, int y1) {
    const int tilesEnd = dst.width() / 16 * 16;
    const __m512i widen = _mm512_loadu_si512(kTurnPermutes.widen);
    const __m512i narrow = _mm512_loadu_si512(kTurnPermutes.narrow);
    constexpr __mmask64 pixels = (uint64_t(1) << 48) - 1;
    // Strips of up to four tiles' height: each source row then gives 192 bytes in a row,
    // three whole cache lines, to the strip's tiles of one column.
    for (int strip = y0; strip + 16 <= y1; strip += 64) {
        const int stripEnd = std::min(strip + 64, y0 + (y1 - y0) / 16 * 16);
        for (int tx = 0; tx < tilesEnd; tx += 16)
            for (int ty = strip; ty < stripEnd; ty += 16) {
                __m512i r[16];
                // Row i of the block: destination column tx + i; lane k: destination row
                // ty + k (90 degrees) or ty + 15 − k (270 degrees).
                for (int i = 0; i < 16; ++i) {
                    const uint8_t* p = angle == 90 ? src[size_t(sh - 1 - tx - i)] + 3 * size_t(ty)
                                                   : src[size_t(tx + i)] + 3 * size_t(sw - 16 - ty);
                    r[i] = _mm512_maskz_permutexvar_epi8(0x7777777777777777ull, widen,
                                                         _mm512_maskz_loadu_epi8(pixels, p));
                }
                transpose16(r);
                for (int k = 0; k < 16; ++k) {
                    uint8_t* d = dst.scanLine(angle == 90 ? ty + k : ty + 15 - k) + 3 * size_t(tx);
                    _mm512_mask_storeu_epi8(d, pixels,
                                            _mm512_maskz_permutexvar_epi8(pixels, narrow, r[k]));
                }
            }
    }
    _mm256_zeroupper();
    return tilesEnd;
}
#undef PW_AVX512
#endif

// A row of w 3-byte pixels mirrored left to right. Inner pixels move as 4-byte words: each
// store also writes the first byte of the next destination pixel, which the next store
// replaces, and each load reads the first byte of the source pixel to its right, which
// exists because the outermost pixels are copied separately.
void mirrorRow24(const uint8_t* s, uint8_t* d, int w) {
    if (w <= 0) return;
    std::memcpy(d, s + 3 * size_t(w - 1), 3);
    if (w == 1) return;
    uint8_t* dp = d + 3;
    const uint8_t* sp = s + 3 * size_t(w - 2);
    for (int x = 1; x < w - 1; ++x, dp += 3, sp -= 3) {
        uint32_t v;
        std::memcpy(&v, sp, 4);
        std::memcpy(dp, &v, 4);
    }
    std::memcpy(d + 3 * size_t(w - 1), s, 3);
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

// The held bitmap with a device-dependent layout made 24-bit: the held bitmap itself, or a
// converted copy in spare, so that the held picture changes only together with the result.
const Bitmap& deviceIndependent(const Bitmap& held, Bitmap& spare) {
    if (held.pixelFormat() != pfDevice) return held;
    spare = held;
    spare.setPixelFormat(pf24bit);
    return spare;
}

} // namespace

void TFastPicture::Turn(int Angle) {
    Announcement announcement(*this, "Turn");
    if (GetPictureType() != picBitmap || Angle % 360 == 0 || Angle % 90 != 0) return;
    int angle = (Angle / 90) % 4 * 90;
    if (angle < 0) angle += 360;
    Bitmap spare;
    const Bitmap& bmp = deviceIndependent(*picture().as<Bitmap>(), spare);
    const int depth = bmp.bitsPerPixel();
    if (!nativeDepth(depth)) return; // an empty bitmap has nothing to turn

    const int oldWidth = Width, oldHeight = Height;
    const int w = bmp.width(), h = bmp.height();
    Bitmap result = angle == 180 ? makeBitmapLike(bmp, w, h) : makeBitmapLike(bmp, h, w);
    const std::vector<const uint8_t*> rows = engine::rowTable(bmp);
    withPixels(depth, [&](auto px) {
        using Px = decltype(px);
        engine::forEachRowRange(result.height(), [&](int y0, int y1) {
#ifdef PW_TURN_AVX512
            if (depth == 24 && angle != 180 &&
                engine::vectorLevelUsable(engine::VectorLevel::Avx512)) {
                const int tiled = y0 + (y1 - y0) / 16 * 16;
                const int x0 = turnTiles24(rows, w, h, result, angle, y0, y1);
                if (x0 < result.width()) turnRows<Px>(rows, w, h, result, angle, y0, tiled, x0);
                turnRows<Px>(rows, w, h, result, angle, tiled, y1);
                return;
            }
#endif
            turnRows<Px>(rows, w, h, result, angle, y0, y1);
        });
    });
    auto turned = std::make_unique<Bitmap>(std::move(result));
    {
        const FlagsOff flags(AutoSize, Stretch);
        if (angle != 180) SetBounds(oldHeight, oldWidth);
        picture().setGraphic(std::move(turned));
    }
    announcement.finish();
}

void TFastPicture::Reverse() {
    Announcement announcement(*this, "Reverse");
    if (GetPictureType() != picBitmap) return;
    Bitmap spare;
    const Bitmap& bmp = deviceIndependent(*picture().as<Bitmap>(), spare);
    const int depth = bmp.bitsPerPixel();
    if (!nativeDepth(depth)) return;
    const int w = bmp.width(), h = bmp.height();
    Bitmap result = makeBitmapLike(bmp, w, h);
    if (depth == 24) {
        engine::forEachRowRange(h, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y)
                mirrorRow24(bmp.scanLine(y), result.scanLine(y), w);
        });
    } else
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
    announcement.finish();
}

void TFastPicture::Enlarge(int NewWidth, int NewHeight) {
    Announcement announcement(*this, "Enlarge");
    if (GetPictureType() != picBitmap) return;
    Bitmap spare;
    const Bitmap& bmp = deviceIndependent(*picture().as<Bitmap>(), spare);
    const PixelFormat format = bmp.pixelFormat();
    if (bmp.empty() || NewWidth < bmp.width() || NewHeight < bmp.height()) return;
    Bitmap result = BilinearStretch(bmp, NewWidth, NewHeight);
    if (format == pf1bit || format == pf4bit || format == pf8bit || format == pf32bit)
        result.setPixelFormat(format);
    picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    announcement.finish();
}

void TFastPicture::Shrink(int NewWidth, int NewHeight) {
    Announcement announcement(*this, "Shrink");
    if (GetPictureType() != picBitmap) return;
    Bitmap spare;
    const Bitmap& bmp = deviceIndependent(*picture().as<Bitmap>(), spare);
    const PixelFormat format = bmp.pixelFormat();
    // A target of no pixels cannot hold an average: refused like a target that is too large.
    if (bmp.empty() || NewWidth < 1 || NewHeight < 1 || NewWidth > bmp.width() ||
        NewHeight > bmp.height())
        return;
    Bitmap result = AreaAverageShrink(bmp, NewWidth, NewHeight);
    if (format == pf1bit || format == pf4bit || format == pf8bit || format == pf32bit)
        result.setPixelFormat(format);
    picture().setGraphic(std::make_unique<Bitmap>(std::move(result)));
    announcement.finish();
}

void TFastPicture::Trimming(const TRect& CropRect, bool PictureCoordinates) {
    Announcement announcement(*this, "Trimming");
    const TPictureType type = GetPictureType();
    if (type != picBitmap && type != picMetafile) return;
    const int w = picture().width(), h = picture().height();
    const int cw = Width, ch = Height;
    TRect p = CropRect, c = CropRect;
    int newWidth = cw, newHeight = ch;
    if (!AutoSize && Stretch) {
        // A rectangle in picture pixels needs only the picture's size. The control's
        // rectangle follows on each axis the control has a size on; on an axis where it
        // has none there is nothing to scale and it keeps its size.
        if (w <= 0 || h <= 0) return;
        if (PictureCoordinates) {
            if (cw > 0) {
                c.Left = scaledFloor(p.Left, cw, w);
                c.Right = scaledFloor(p.Right, cw, w);
                newWidth = c.Right - c.Left + 1;
            }
            if (ch > 0) {
                c.Top = scaledFloor(p.Top, ch, h);
                c.Bottom = scaledFloor(p.Bottom, ch, h);
                newHeight = c.Bottom - c.Top + 1;
            }
        } else {
            // A rectangle in the pixels of a control of no size cannot be placed.
            if (cw <= 0 || ch <= 0) return;
            p.Left = scaledFloor(c.Left, w, cw);
            p.Right = scaledFloor(c.Right, w, cw);
            p.Top = scaledFloor(c.Top, h, ch);
            p.Bottom = scaledFloor(c.Bottom, h, ch);
            newWidth = c.Right - c.Left + 1;
            newHeight = c.Bottom - c.Top + 1;
        }
    }
    if (p.Left < 0 || p.Top < 0 || p.Right > w - 1 || p.Bottom > h - 1) return;
    // Corners given the wrong way round leave nothing to keep.
    if (p.Right < p.Left || p.Bottom < p.Top) return;
    const int cropW = p.Right - p.Left + 1, cropH = p.Bottom - p.Top + 1;

    // The new graphic is made in full before the control or the picture changes.
    std::unique_ptr<Graphic> trimmed;
    if (type == picBitmap) {
        Bitmap spare;
        const Bitmap& bmp = deviceIndependent(*picture().as<Bitmap>(), spare);
        trimmed = std::make_unique<Bitmap>(cropBitmap(bmp, p.Left, p.Top, cropW, cropH));
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
        trimmed = std::move(m);
    }
    {
        const FlagsOff flags(AutoSize, Stretch);
        SetBounds(newWidth, newHeight);
        picture().setGraphic(std::move(trimmed));
    }
    announcement.finish();
}
