// Any graphic as a bitmap: the one conversion the document, the engine, the command-line
// tool, printing and the clipboard share.
#pragma once

#include "platform/Bitmap.h"

// The picture at its natural size. A bitmap is copied as it is (format and palette kept);
// a graphic that decodes to a raster (JPEG, GIF) gives its decoded bitmap; any other
// graphic (metafile, icon) is drawn at the origin onto white in a new bitmap of
// drawnFormat. An empty graphic gives an empty bitmap. Throws EPictureTooLarge when the
// natural size is beyond the picture limits.
Bitmap graphicToBitmap(const Graphic& graphic, PixelFormat drawnFormat = pf24bit);

// The picture drawn stretched into a new 24-bit bitmap of width × height, onto white, so
// that see-through parts come out white. Throws EInvalidGraphic for a side of 0 or less
// and EPictureTooLarge beyond the picture limits.
Bitmap graphicToBitmap(const Graphic& graphic, int width, int height);
