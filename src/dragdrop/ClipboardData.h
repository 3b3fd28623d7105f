// Clipboard data for a picture copied by the main window, rendered when another program
// asks for it.
#pragma once

#include <memory>

#include <QMimeData>

class Bitmap;
class Metafile;

namespace dragdrop {

// A bitmap as a device-independent bitmap (image/bmp), its palette when it has one, and
// PNG.
std::unique_ptr<QMimeData> bitmapClipboardData(Bitmap bitmap);
// A metafile as an enhanced metafile, a Windows metafile and PNG.
std::unique_ptr<QMimeData> metafileClipboardData(const Metafile& metafile);

} // namespace dragdrop
