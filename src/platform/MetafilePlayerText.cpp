// The metafile player's text: fonts and EXTTEXTOUT with its advances and alignment.
#include <algorithm>
#include <cmath>

#include <QFont>
#include <QFontMetricsF>
#include <QStringDecoder>

#include "platform/MetafilePlayerImpl.h"

namespace mf {

void Player::createFont(const Reader& r) {
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

void Player::textRecord(uint32_t type, const Reader& r) {
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

void Player::drawText(QPointF ref, const QString& text, const std::vector<double>& adv,
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

} // namespace mf
