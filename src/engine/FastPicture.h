// TFastPicture: holds the picture being edited and carries every retouching operation.
// A model, not a widget: the application's view paints it and is told to repaint through
// the invalidate callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/Operations.h"
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
    void Reduce(engine::ReduceMethod Method) { Reduce(static_cast<uint8_t>(Method)); }

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

    // Begins an operation: sets Kind and raises OnAmend. finish() repaints (when asked)
    // and raises OnAmended. An operation that returns or throws before finish() raises
    // nothing more: to a listener a refused or failed call is OnAmend alone.
    class Announcement {
    public:
        Announcement(TFastPicture& owner, const char* kind);
        Announcement(const Announcement&) = delete;
        Announcement& operator=(const Announcement&) = delete;
        void finish(bool repaint = true);

    private:
        TFastPicture& owner_;
    };

    // The frame of a pixel operation, as a guard:
    //   PixelFrame f(*this, "Blur", argumentsValid);
    //   if (!f) return;            // announced; arguments or depth refused
    //   ... work on f.bitmap (24-bit working format), or read it and write a result ...
    //   f.commit(&result);         // or f.commit() for work done in f.bitmap
    // A picture of another format than 24 bits is converted into a working copy, and an
    // operation that writes a result bitmap never writes the held one, so when a
    // conversion, an allocation or a kernel throws, the held picture is the one from before
    // the call and no OnAmended follows. An operation working in place on a 24-bit picture
    // rewrites the held bitmap itself (a copy of every picture would double the cost of the
    // point operations); its kernels run through engine::forEachRowRangeOnce and throw
    // before writing or not at all. commit() restores an 8- or 32-bit starting format on
    // the outcome, makes it the held bitmap, repaints and raises OnAmended.
    class PixelFrame {
    public:
        PixelFrame(TFastPicture& owner, const char* kind, bool argumentsValid,
                   int minBitsPerPixel = 8);
        PixelFrame(const PixelFrame&) = delete;
        PixelFrame& operator=(const PixelFrame&) = delete;
        explicit operator bool() const { return bitmap != nullptr; }
        void commit(Bitmap* result = nullptr);

        // The working bitmap; null when the frame refused the call.
        Bitmap* bitmap = nullptr;
        // The format commit() restores.
        PixelFormat restore = pf24bit;

    private:
        TFastPicture& owner_;
        Announcement announcement_;
        Bitmap* held_ = nullptr;
        Bitmap working_;
    };

    // A point operation: the frame around one 256-entry table applied to every byte. The
    // table is built only after the frame's checks pass.
    template <class MakeTable>
    void TableOperation(const char* kind, bool argumentsValid, MakeTable makeTable);

private:
    Picture Picture_;
};

namespace engine {

// The row driver for work done in place on the held picture: calls kernel(y0, y1) so that
// every row of [0, rows) is processed exactly once, also when the driver fails to run some
// ranges (a thread that cannot start): the ranges it left undone are then run here, one
// after another. A kernel must not throw once it has written a row of its range. Throws
// only when a kernel itself fails on that second run.
void forEachRowRangeOnce(int rows, const std::function<void(int y0, int y1)>& kernel,
                         int minRowsPerTask = 16);

} // namespace engine

// Resampling routines of the geometry operations; each returns a new 24-bit bitmap.
Bitmap BilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight);
Bitmap AreaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight);
