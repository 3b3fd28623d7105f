// The metafile player's bitmaps: the DIB inside a record decoded (uncompressed, bit
// fields, run-length coded, JPEG and PNG), and the blits that draw it.
#include <algorithm>
#include <cmath>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"
#include "platform/MetafilePlayerImpl.h"

namespace mf {
namespace {

// Source rectangle of a DIB: rows of a bottom-up DIB are counted from the bottom.
QRectF dibSource(const QImage& img, bool bottomUp, double x, double y, double w, double h) {
    if (bottomUp) y = img.height() - y - h;
    return QRectF(x, y, w, h);
}

} // namespace

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
    if ((comp == U_BI_RLE8 && bits == 8) || (comp == U_BI_RLE4 && bits == 4)) {
        // Run-length coded rows go through the BMP reader's decoder: the header and colour
        // table followed by the codes make the packed DIB it reads. A few bytes of codes can
        // declare a huge bitmap; one larger than its codes can plausibly fill (a run of 255
        // pixels in two bytes, rows skipped by deltas and line ends) is not drawn.
        if (uint64_t(w) * uint64_t(h) > (uint64_t(1) << 20) + cbBits * 1024) return QImage();
        std::vector<uint8_t> packed(r.ptr(o, cbBmi), r.ptr(o, cbBmi) + cbBmi);
        packed.insert(packed.end(), px, px + cbBits);
        if (usage != U_DIB_RGB_COLORS) {
            // Palette indices instead of colours: shown as a grey ramp, as below.
            const uint64_t n = used ? std::min<uint64_t>(used, 1u << bits) : (1u << bits);
            for (uint64_t i = 0; i < n && hdr + i * 4 + 3 < cbBmi; ++i) {
                const auto v = uint8_t(i * 255 / std::max<uint64_t>(n - 1, 1));
                for (int k = 0; k < 3; ++k)
                    packed[static_cast<size_t>(hdr + i * 4) + size_t(k)] = v;
            }
        }
        try {
            Bitmap bmp = Bitmap::decodeDib(packed, static_cast<size_t>(cbBmi));
            return bmp.toDisplayImage().convertToFormat(QImage::Format_RGB32);
        } catch (const EInvalidGraphic&) {
            return QImage();
        }
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

void Player::blit(const QImage& img, QRectF src, QRectF dst, uint32_t rop) {
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

void Player::dibRecord(uint32_t type, const Reader& r) {
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

} // namespace mf
