#include "platform/GraphicBitmap.h"

#include "platform/Canvas.h"
#include "platform/Color.h"
#include "platform/Limits.h"

Bitmap graphicToBitmap(const Graphic& graphic, PixelFormat drawnFormat) {
    if (const Bitmap* raster = graphic.raster()) return *raster;
    if (graphic.empty()) return Bitmap();
    limits::checkPictureSize(graphic.width(), graphic.height());
    Bitmap drawn(graphic.width(), graphic.height(), drawnFormat);
    Canvas canvas(drawn);
    canvas.brush().color = clWhite;
    canvas.fillRect(QRect(0, 0, drawn.width(), drawn.height()));
    canvas.draw(0, 0, graphic);
    return drawn;
}

Bitmap graphicToBitmap(const Graphic& graphic, int width, int height) {
    limits::checkPictureSize(width, height);
    Bitmap shown(width, height);
    Canvas canvas(shown);
    canvas.brush().color = clWhite;
    canvas.fillRect(QRect(0, 0, width, height));
    canvas.stretchDraw(QRect(0, 0, width, height), graphic);
    return shown;
}
