// Playing metafile records onto a QPainter, and the old-style (.wmf) conversions.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <QRectF>

class Metafile;
class QPainter;

namespace mf {

// Plays a metafile's records stretched into dest. Records the player does not know are
// skipped; a record whose fields point outside it is skipped.
void play(QPainter& painter, const QRectF& dest, const Metafile& metafile);

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

} // namespace mf
