// Drawing a sheet of the print preview as a page tile, and printing the picture over its
// sheets. Window-free, so that the command-line tool and the benchmarks use them directly.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>

#include "platform/Exceptions.h"
#include "preview/PrintLayout.h"

class QPrinter;
class TPreviewPicture;

// A print job that could not be started, continued or finished; the message says why.
class EPrintError : public Exception {
public:
    using Exception::Exception;
};

// The tile of sheet (c, r): the page content (white printable area with its part of the
// picture), white non-printable bands, the surround in buttonFace, a grey shadow, the
// paper's outline and the dotted outline of the printable area, scaled to the layout's
// tile size on screen. A null image for a sheet outside the grid.
QImage RenderPageTile(const TPreviewLayout& layout, int c, int r, TPreviewPicture& picture,
                      QColor buttonFace);

// Prints every sheet the picture touches, row by row, for each copy. In gmMetafile mode the
// picture goes through an intermediate recording made against the printer; in gmGraphic
// mode the picture itself is drawn. Nothing happens without a picture or with copies
// outside 1..1000. Pictures are rendered losslessly. A PDF file is written beside its
// final name and renamed over it only when complete. Any failure aborts the job and throws
// EPrintError (or the drawing's own exception), leaving an existing file untouched.
void PrintPicture(QPrinter& printer, const TPreviewLayout& layout, const TPreviewPicture& picture,
                  int copies);
