// The vocabulary shared by the drag sources, the drop target and the main window's
// clipboard commands: drag types and drop effects, format entries, the result codes the
// sources answer with, and the one map between the Windows-era clipboard formats and the
// MIME types that Linux programs exchange.
//
// Effect choice, the auto-scroll zone and the target's orders of preference are plain
// functions here so that they can be checked without a drag in progress.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <QPoint>
#include <QSize>
#include <QString>
#include <QStringList>

class QMimeData;

namespace dragdrop {

// ----- drag types and drop effects -----
enum TDragType { dtCopy, dtMove, dtLink };
// A set of drag types as the bit mask of the effects they allow.
using TDragTypes = uint32_t;
inline constexpr uint32_t kEffectNone = 0;
inline constexpr uint32_t kEffectCopy = 1;
inline constexpr uint32_t kEffectMove = 2;
inline constexpr uint32_t kEffectLink = 4;
inline constexpr uint32_t kEffectScroll = 0x80000000u;
inline constexpr TDragTypes kAllDragTypes = kEffectCopy | kEffectMove | kEffectLink;

constexpr uint32_t effectOf(TDragType t) {
    return t == dtCopy ? kEffectCopy : t == dtMove ? kEffectMove : kEffectLink;
}

enum TDragOutcome { doCopied, doMoved, doLinked, doCancelled, doOutOfMemory, doUnknown };

// ----- result codes -----
inline constexpr uint32_t S_OK_ = 0;
inline constexpr uint32_t S_FALSE_ = 1;
inline constexpr uint32_t DRAGDROP_S_DROP = 0x00040100;
inline constexpr uint32_t DRAGDROP_S_CANCEL = 0x00040101;
inline constexpr uint32_t DRAGDROP_S_USEDEFAULTCURSORS = 0x00040102;
inline constexpr uint32_t DATA_S_SAMEFORMATETC = 0x00040130;
inline constexpr uint32_t DV_E_FORMATETC = 0x80040064;
inline constexpr uint32_t OLE_E_ADVISENOTSUPPORTED = 0x80040003;
inline constexpr uint32_t E_NOTIMPL_ = 0x80004001;
inline constexpr uint32_t E_FAIL_ = 0x80004005;
inline constexpr uint32_t E_INVALIDARG_ = 0x80070057;
inline constexpr uint32_t E_OUTOFMEMORY_ = 0x8007000E;

// ----- clipboard formats and format entries -----
enum ClipFormat : uint16_t {
    CF_BITMAP = 2,
    CF_METAFILEPICT = 3,
    CF_DIB = 8,
    CF_PALETTE = 9,
    CF_ENHMETAFILE = 14
};
// Storage medium kinds (bit mask).
inline constexpr uint32_t TYMED_HGLOBAL = 1;
inline constexpr uint32_t TYMED_GDI = 16;
inline constexpr uint32_t TYMED_MFPICT = 32;
inline constexpr uint32_t TYMED_ENHMF = 64;
inline constexpr uint32_t DVASPECT_CONTENT = 1;

struct FormatEtc {
    uint16_t format = 0;
    uint32_t aspect = DVASPECT_CONTENT;
    int32_t index = -1;
    uint32_t tymed = 0;
    bool operator==(const FormatEtc&) const = default;
};

// ----- the MIME map (the only place that knows it) -----
namespace mime {
inline constexpr const char* Jpeg = "image/jpeg";                // "JFIF"
inline constexpr const char* Gif = "image/gif";                  // "GIF Image"
inline constexpr const char* Bmp = "image/bmp";                  // device-independent bitmap
inline constexpr const char* QtImage = "application/x-qt-image"; // device bitmap
inline constexpr const char* Emf = "image/x-emf";                // enhanced metafile
inline constexpr const char* Wmf = "image/x-wmf";                // Windows metafile picture
inline constexpr const char* Palette = "application/x-pixelwright-palette";
inline constexpr const char* Png = "image/png";
inline constexpr const char* UriList = "text/uri-list";
} // namespace mime

// The MIME type that carries a clipboard format ("" when none does).
QString mimeForFormat(uint16_t format);
// The MIME type of a registered clipboard format name: "JFIF" and "GIF Image".
QString mimeForFormatName(std::string_view name);
// Other spellings other programs use for the same data, tried after the main one.
QStringList mimeAliases(const QString& mimeType);
// Whether data offers mimeType or one of its aliases; the first one offered is returned.
QString offeredMime(const QMimeData& data, const QString& mimeType);

// ----- the drop target's preferences -----
// The accepted format table, entries A to G.
enum class Entry { A, B, C, D, E, F, G };
FormatEtc entryFormat(Entry e);
// The order in which the target asks whether it can accept a drag.
std::span<const Entry> acceptOrder();
// The order in which it reads the data (the first delivered wins).
std::span<const Entry> fetchOrder();

// ----- effect choice and the auto-scroll zone -----
struct KeyState {
    bool shift = false;
    bool ctrl = false;
};
// The effect the target proposes for the keys held, without the scroll flag.
uint32_t chooseEffect(KeyState keys, uint32_t offered, TDragTypes dragTypes);
// Scroll directions: bit 1 horizontal, bit 2 vertical.
inline constexpr int kScrollHorizontal = 1;
inline constexpr int kScrollVertical = 2;
// Whether point lies in the auto-scroll border zone of a client area of the given size.
bool inScrollZone(QPoint point, QSize client, int margin, int directions);

// ----- the drag source's outcome and the button release -----
// What Execute reports for the result of the drag loop and the final effect.
TDragOutcome outcomeOf(uint32_t result, uint32_t effect, TDragTypes dragTypes);
// The drag type a release turns into, from the last effect; false when the release cancels.
bool dragTypeForEffect(uint32_t effect, TDragType& type);

} // namespace dragdrop
