// Old-style metafile (.wmf) facts shared by the reader, which converts a file into
// enhanced records, and the writer, which writes enhanced records out as a placeable file.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <QRectF>
#include <QString>

#include "core/Checked.h"

class Metafile;

namespace mf {

// An old-style metafile converted to enhanced records.
struct WmfImport {
    std::vector<uint8_t> records;
    QRectF frame;
    uint32_t handles = 1;
    int widthPx = 0, heightPx = 0;
    int mmWidth = 0, mmHeight = 0;
};
// Throws EInvalidGraphic on malformed data.
WmfImport importWmf(std::span<const uint8_t> bytes);
// Placeable old-style metafile bytes for a metafile's records.
std::vector<uint8_t> exportWmf(const Metafile& metafile);

namespace wmf {

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

inline constexpr uint32_t kPlaceableKey = 0x9AC6CDD7u;
inline constexpr uint8_t kShiftJisCharset = 128;

using core::mulDiv;

} // namespace wmf
} // namespace mf
