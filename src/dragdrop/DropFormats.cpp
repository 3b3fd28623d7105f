#include "dragdrop/DropFormats.h"

#include <array>

#include <QMimeData>

namespace dragdrop {

QString mimeForFormat(uint16_t format) {
    switch (format) {
    case CF_BITMAP:
        return QString::fromLatin1(mime::QtImage);
    case CF_DIB:
        return QString::fromLatin1(mime::Bmp);
    case CF_PALETTE:
        return QString::fromLatin1(mime::Palette);
    case CF_ENHMETAFILE:
        return QString::fromLatin1(mime::Emf);
    case CF_METAFILEPICT:
        return QString::fromLatin1(mime::Wmf);
    default:
        return QString();
    }
}

QString mimeForFormatName(std::string_view name) {
    if (name == "JFIF") return QString::fromLatin1(mime::Jpeg);
    if (name == "GIF Image") return QString::fromLatin1(mime::Gif);
    return QString();
}

QStringList mimeAliases(const QString& mimeType) {
    if (mimeType == QLatin1String(mime::Bmp))
        return {QStringLiteral("image/x-bmp"), QStringLiteral("image/x-MS-bmp"),
                QStringLiteral("image/x-win-bitmap")};
    if (mimeType == QLatin1String(mime::Jpeg)) return {QStringLiteral("image/jpg")};
    if (mimeType == QLatin1String(mime::Emf))
        return {QStringLiteral("image/emf"), QStringLiteral("application/x-emf")};
    if (mimeType == QLatin1String(mime::Wmf))
        return {QStringLiteral("image/wmf"), QStringLiteral("application/x-wmf"),
                QStringLiteral("application/x-msmetafile")};
    return {};
}

QString offeredMime(const QMimeData& data, const QString& mimeType) {
    const QStringList offered = data.formats();
    if (offered.contains(mimeType)) return mimeType;
    for (const QString& alias : mimeAliases(mimeType))
        if (offered.contains(alias, Qt::CaseInsensitive)) {
            for (const QString& o : offered)
                if (o.compare(alias, Qt::CaseInsensitive) == 0) return o;
        }
    return QString();
}

FormatEtc entryFormat(Entry e) {
    switch (e) {
    case Entry::A:
        return {CF_DIB, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    case Entry::B:
        return {CF_BITMAP, DVASPECT_CONTENT, -1, TYMED_GDI};
    case Entry::C:
        return {CF_PALETTE, DVASPECT_CONTENT, -1, TYMED_GDI};
    case Entry::D:
        return {CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_MFPICT};
    case Entry::E:
        return {CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_ENHMF};
    case Entry::F:
        return {CF_METAFILEPICT, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    case Entry::G:
        return {CF_ENHMETAFILE, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    }
    return {};
}

std::span<const Entry> acceptOrder() {
    static constexpr std::array<Entry, 7> order{Entry::A, Entry::B, Entry::D, Entry::E,
                                                Entry::F, Entry::G, Entry::C};
    return order;
}

std::span<const Entry> fetchOrder() {
    static constexpr std::array<Entry, 7> order{Entry::B, Entry::A, Entry::C, Entry::E,
                                                Entry::D, Entry::F, Entry::G};
    return order;
}

uint32_t chooseEffect(KeyState keys, uint32_t offered, TDragTypes dragTypes) {
    const uint32_t allowed = offered & dragTypes & kAllDragTypes;
    if (keys.shift && keys.ctrl && (allowed & kEffectLink)) return kEffectLink;
    if (keys.shift && !keys.ctrl && (allowed & kEffectMove)) return kEffectMove;
    if (allowed & kEffectCopy) return kEffectCopy;
    if (allowed & kEffectMove) return kEffectMove;
    return allowed & kEffectLink;
}

bool inScrollZone(QPoint p, QSize client, int margin, int directions) {
    if ((directions & kScrollHorizontal) && (p.x() < margin || p.x() > client.width() - margin))
        return true;
    if ((directions & kScrollVertical) && (p.y() < margin || p.y() > client.height() - margin))
        return true;
    return false;
}

TDragOutcome outcomeOf(uint32_t result, uint32_t effect, TDragTypes dragTypes) {
    if (result == E_OUTOFMEMORY_) return doOutOfMemory;
    if (result == DRAGDROP_S_CANCEL) return doCancelled;
    if (result != DRAGDROP_S_DROP) return doUnknown;
    const uint32_t shared = effect & dragTypes;
    if (shared & kEffectCopy) return doCopied;
    if (shared & kEffectMove) return doMoved;
    if (shared & kEffectLink) return doLinked;
    return doCancelled;
}

bool dragTypeForEffect(uint32_t effect, TDragType& type) {
    if (effect & kEffectCopy)
        type = dtCopy;
    else if (effect & kEffectMove)
        type = dtMove;
    else if (effect & kEffectLink)
        type = dtLink;
    else
        return false;
    return true;
}

} // namespace dragdrop
