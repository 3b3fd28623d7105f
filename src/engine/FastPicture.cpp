#include "engine/FastPicture.h"

#include <cstring>
#include <memory>
#include <utility>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"
#include "platform/Screen.h"

TFastPicture::TFastPicture() = default;

TFastPicture::~TFastPicture() = default;

void TFastPicture::SetBounds(int width, int height) {
    Width = width;
    Height = height;
}

void TFastPicture::Invalidate() {
    // An auto-sized control follows the natural size of what it shows.
    if (AutoSize) {
        Width = Picture_.width();
        Height = Picture_.height();
    }
    if (OnInvalidate) OnInvalidate();
}

void TFastPicture::DoAmend() {
    if (OnAmend) OnAmend(this, Kind);
}

void TFastPicture::DoAmended() {
    if (OnAmended) OnAmended(this, Kind);
}

TPictureType PictureTypeOf(const Graphic* g) {
    if (!g) return picNil;
    switch (g->kind()) {
    case GraphicKind::Bitmap:
        return picBitmap;
    case GraphicKind::Metafile:
        return picMetafile;
    case GraphicKind::Icon:
        return picIcon;
    case GraphicKind::Jpeg:
    case GraphicKind::Gif:
    case GraphicKind::Other:
        break;
    }
    return picUnknown;
}

TPictureType TFastPicture::GetPictureType() const {
    return PictureTypeOf(Picture_.graphic());
}

int TFastPicture::GetBitsPerPixel() {
    Bitmap* bmp = Picture_.as<Bitmap>();
    if (!bmp) return 0;
    // A device-dependent bitmap becomes a device-independent one of the same depth, so
    // that its rows can be addressed directly.
    if (bmp->handleType() == bmDDB) bmp->setHandleType(bmDIB);
    return bmp->bitsPerPixel();
}

void TFastPicture::SetPictureType(TPictureType Value) {
    const TPictureType current = GetPictureType();
    if (Value == current || Value == picIcon || Value == picUnknown) return;
    if (Value == picNil) {
        Picture_.clear();
        Invalidate();
        return;
    }

    // B: the picture as a bitmap of its natural size (empty when there is no picture); a
    // drawn picture lands in the display's own format.
    Bitmap b;
    if (current != picNil) b = graphicToBitmap(*Picture_.graphic(), pfDevice);

    if (Value == picBitmap) {
        Picture_.setGraphic(std::make_unique<Bitmap>(std::move(b)));
        Invalidate();
        return;
    }

    // picMetafile: a recording of B whose physical size is the size B has on the screen.
    int ratioX = 100, ratioY = 100;
    GetMetafileRatio(ratioX, ratioY);
    auto m = std::make_unique<Metafile>();
    m->setWidth(Picture_.width() * 100 / ratioX);
    m->setHeight(Picture_.height() * 100 / ratioY);
    {
        MetafileCanvas recording(*m);
        if (!b.empty()) recording.draw(0, 0, b);
    }
    m->setLogicalInch(true);
    m->setWidth(m->width() * ratioX / 100);
    m->setHeight(m->height() * ratioY / 100);
    Picture_.setGraphic(std::move(m));
    Invalidate();
}

void TFastPicture::GetMetafileRatio(int& RatioX, int& RatioY) {
    RatioX = 100;
    RatioY = 100;
    const ScreenInfo& screen = screenInfo();
    // An empty recording made against the screen takes the screen's full physical size;
    // measured in logical inches it tells how large the screen's pixels are reported.
    Metafile m;
    {
        MetafileCanvas recording(m);
        recording.end();
    }
    m.setLogicalInch(true);
    if (screen.widthPx > 0) RatioX = static_cast<int>(int64_t(m.width()) * 100 / screen.widthPx);
    if (screen.heightPx > 0) RatioY = static_cast<int>(int64_t(m.height()) * 100 / screen.heightPx);
    // A ratio of zero (a screen of no physical size) would make every later size divide by
    // zero: such a screen is taken as one of equal logical and physical resolution.
    if (RatioX <= 0) RatioX = 100;
    if (RatioY <= 0) RatioY = 100;
}

TFastPicture::Frame TFastPicture::BeginFrame(const char* kind, bool argumentsValid,
                                             int minBitsPerPixel) {
    Kind = kind;
    DoAmend();
    Frame frame;
    if (!argumentsValid) return frame;
    if (GetBitsPerPixel() < minBitsPerPixel) return frame;
    Bitmap* bmp = Picture_.as<Bitmap>();
    PixelFormat start = bmp->pixelFormat();
    if (start == pfDevice || start == pfCustom) {
        bmp->setPixelFormat(pf24bit);
        start = pf24bit;
    }
    if (start != pf24bit) bmp->setPixelFormat(pf24bit);
    frame.bitmap = bmp;
    frame.restore = start;
    return frame;
}

void TFastPicture::EndFrame(const Frame& frame, Bitmap* result) {
    if (!frame.bitmap) return;
    if (result && result != frame.bitmap) *frame.bitmap = std::move(*result);
    if (frame.restore == pf8bit || frame.restore == pf32bit)
        frame.bitmap->setPixelFormat(frame.restore);
    Invalidate();
    DoAmended();
}
