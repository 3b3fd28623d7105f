// Reading a picture out of exchanged data (a drop or the clipboard): which kinds of
// picture data a QMimeData offers, in a caller's order of preference, and the picture
// each kind becomes. Every byte format goes through the program's own readers, so that
// malformed data is refused with the reader's message and its size limits.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <QString>
#include <QStringList>

#include "platform/Graphic.h"

class QMimeData;

namespace dragdrop {

enum class DataKind {
    None,
    Jpeg,    // "JFIF": a JPEG file
    Gif,     // "GIF Image": a GIF file
    Bitmap,  // Qt's image type (a device bitmap), with a palette when one comes along
    Dib,     // a BMP file or a packed DIB
    Palette, // a palette alone
    Emf,     // an enhanced metafile
    Wmf,     // a Windows metafile
    Raster,  // any other raster type Qt decodes (PNG, WebP, TIFF, ...)
    Files    // local picture files (text/uri-list)
};

// The drop target's order of preference: bitmap, DIB, palette, enhanced metafile,
// Windows metafile; then the raster types of other programs (PNG first, then JPEG and
// GIF, which keep their picture class) and dropped files.
std::span<const DataKind> dropOrder();
// Paste: "JFIF", then "GIF Image", then what the picture container accepts.
std::span<const DataKind> pasteOrder();

// The MIME type data offers for kind ("" when it offers none).
QString offeredMimeFor(const QMimeData& data, DataKind kind);
// The first kind of order that data offers (None when none).
DataKind firstOffered(const QMimeData& data, std::span<const DataKind> order);

// Reads kind from data. Returns nullptr when the data delivered nothing under it; throws
// the reader's exception for malformed data. Files are not read: see droppedFiles.
std::unique_ptr<Graphic> readPictureData(const QMimeData& data, DataKind kind);
// Decodes a compressed picture (JPEG, GIF) now, so that data that breaks only while
// decoding is refused on arrival and not later in the middle of another command.
void decodePictureNow(Graphic& graphic);
// Whether JPEG data runs complete to its end-of-image marker. The codec pads a file cut
// short with grey and only warns; exchanged data is taken whole or not at all.
bool jpegDataComplete(std::span<const uint8_t> bytes);
// Throws the codec's premature-end error (EJPEG) when the data is not complete.
void checkJpegComplete(std::span<const uint8_t> bytes);
// The local files named by data's URI list.
QStringList droppedFiles(const QMimeData& data);

} // namespace dragdrop
