// TFastPicture: holds the picture being edited and carries every retouching operation.
// A model, not a widget: the application's view paints it and is told to repaint through
// the invalidate callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Picture.h"

enum TPictureType : uint8_t {
    picNil = 0,
    picBitmap = 1,
    picMetafile = 2,
    picIcon = 3,
    picUnknown = 4
};

// The engine's kind of a graphic: picNil for none, then bitmap, metafile and icon; every
// other graphic (JPEG and GIF pictures among them) is picUnknown. An empty bitmap is still
// picBitmap.
TPictureType PictureTypeOf(const Graphic* g);

class TFastPicture;
using TNotifyAmendEvent = std::function<void(TFastPicture* Sender, std::string Kind)>;

// A rectangle with inclusive Right and Bottom.
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
};

class TFastPicture {
public:
    TFastPicture();
    virtual ~TFastPicture();
    TFastPicture(const TFastPicture&) = delete;
    TFastPicture& operator=(const TFastPicture&) = delete;

    // ----- the held picture and its display -----
    Picture& picture() { return Picture_; }
    const Picture& picture() const { return Picture_; }

    // The control's display size (its client area) and painting flags.
    int Width = 0;
    int Height = 0;
    bool Stretch = true;
    bool AutoSize = false;
    bool Center = false;
    void SetBounds(int width, int height);

    // Called whenever the picture must be repainted (set by the view).
    std::function<void()> OnInvalidate;
    void Invalidate();

    // ----- kind, events -----
    std::string Kind;
    TNotifyAmendEvent OnAmend;
    TNotifyAmendEvent OnAmended;

    TPictureType GetPictureType() const;
    void SetPictureType(TPictureType Value);
    int GetBitsPerPixel();
    void GetMetafileRatio(int& RatioX, int& RatioY);

    // ----- tone and colour -----
    void Bright(int Percent);
    void Contrast(int Percent);
    void Gamma(long double Value);
    void Light(int Delta);
    void Linear(int Gain, int Offset);
    void Negative();
    void Posterization(int Levels);
    void GrayScale();
    void Sepia();
    void BlackAndWhite(int Threshold, int& Used);
    void Automatic(unsigned Percent);
    void Spread(int Low, int High, int OutLow, int OutHigh);
    void FindLevels(int& Low, int& High, unsigned Percent, int Step);
    void Reduce(uint8_t Method);

    // The tone sliders re-applied from a base picture in one pass over the pixels. The
    // picture and the OnAmend/OnAmended sequence are the same as those of
    //     picture().assign(&Base); Light(Delta); Gamma(GammaValue);
    //     Contrast(ContrastPercent); Bright(BrightPercent);
    // (every operation announces itself, and the ones whose arguments are valid also raise
    // OnAmended). The four tables are composed into one, and the base's pixels are read
    // once and written once into the held bitmap, whose buffer is reused when it already
    // has the result's size and format. The pixels are final from the first OnAmended on,
    // and the view is invalidated once. An 8-bit base goes through the four operations one
    // by one, because each of them re-maps the picture onto the halftone palette.
    void ApplyToneFromBase(const Graphic& Base, int Delta, long double GammaValue,
                           int ContrastPercent, int BrightPercent);

    // ----- histogram -----
    void DrawHistogram(Graphic& Target, int Scale, int Shift, int VMax);

    // ----- neighbourhood and effect filters -----
    void Edge(int Level);
    void Median(int Level);
    void Blur();
    void Sobel(int Level, bool Overlay);
    void Mosaic(int BlockSize);
    void Framing(int FrameWidth, int FrameContrast, bool LightFromLeft);

    // ----- geometry -----
    void Turn(int Angle);
    void Reverse();
    void Enlarge(int NewWidth, int NewHeight);
    void Shrink(int NewWidth, int NewHeight);
    void Trimming(const TRect& CropRect, bool PictureCoordinates);

protected:
    virtual void DoAmend();
    virtual void DoAmended();

    // The operation frame shared by every pixel operation.
    //   Frame f = BeginFrame("Blur", argumentsValid);   // sets Kind, raises OnAmend,
    //   if (!f) return;                                  // checks arguments and depth,
    //   ... work on f.bitmap (24-bit working format) ... // converts to 24 bits
    //   EndFrame(f);                   // or EndFrame(f, &result) for copy-based operations
    // EndFrame restores an 8- or 32-bit starting format, invalidates and raises OnAmended.
    struct Frame {
        Bitmap* bitmap = nullptr;
        PixelFormat restore = pf24bit;
        explicit operator bool() const { return bitmap != nullptr; }
    };
    // A point operation: the frame around one 256-entry table applied to every byte. The
    // table is built only after the frame's checks pass.
    template <class MakeTable>
    void TableOperation(const char* kind, bool argumentsValid, MakeTable makeTable);
    Frame BeginFrame(const char* kind, bool argumentsValid, int minBitsPerPixel = 8);
    void EndFrame(const Frame& frame, Bitmap* result = nullptr);

private:
    Picture Picture_;
};

// Resampling routines of the geometry operations; each returns a new 24-bit bitmap.
Bitmap BilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight);
Bitmap AreaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight);
