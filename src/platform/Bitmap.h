// A raster picture: pixel format, handle type, optional palette and rows of pixels.
//
// Rows are held top row first, each padded to a multiple of 4 bytes. Pixel layouts:
//   pf1bit   1 bit per pixel, most significant bit first, palette indices
//   pf4bit   4 bits per pixel, high nibble first, palette indices
//   pf8bit   palette indices
//   pf15bit  16-bit little-endian words, 5-5-5 (x RRRRR GGGGG BBBBB)
//   pf16bit  16-bit little-endian words, 5-6-5 (RRRRR GGGGGG BBBBB)
//   pf24bit  bytes blue, green, red
//   pf32bit  bytes blue, green, red, x (x is not alpha: 255 where the program writes it)
//   pfDevice the screen's native layout, which here is the 32-bit layout, and always a
//            device-dependent bitmap (handle type bmDDB)
// pfCustom (any other layout) cannot be chosen: setting it throws EInvalidGraphic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <QImage>

#include "platform/Graphic.h"
#include "platform/Palette.h"

enum PixelFormat : uint8_t {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom
};
enum HandleType : uint8_t { bmDIB, bmDDB };

// Bits per pixel of a format as stored (pfDevice: 32, pf15bit: 16, pfCustom: 0).
int bitsPerPixelOf(PixelFormat format);

// Gives back to the system the freed pixel memory that is kept for the next bitmap of the
// same size.
void releaseSparePixelMemory();

class Bitmap : public Graphic {
public:
    Bitmap();
    Bitmap(int width, int height, PixelFormat format = pf24bit);
    // A bitmap whose pixel bytes are left as they are, for a result that writes every
    // pixel; only the bytes that pad each row to its stride are set to zero.
    enum class Uninitialised { Pixels };
    Bitmap(int width, int height, PixelFormat format, Uninitialised);
    Bitmap(const Bitmap& other);
    Bitmap& operator=(const Bitmap& other);
    Bitmap(Bitmap&& other) noexcept;
    Bitmap& operator=(Bitmap&& other) noexcept;
    ~Bitmap() override;

    int width() const override { return width_; }
    int height() const override { return height_; }
    void setWidth(int width) override;
    void setHeight(int height) override;
    // Resizes, keeping the overlapping top-left pixels; new pixels are zero (black, or
    // palette entry 0). Checks the picture size limits.
    void setSize(int width, int height);

    // pfDevice while the handle type is bmDDB.
    PixelFormat pixelFormat() const;
    // Converts every pixel to the new format (see the file comment). To 8 bits: nearest
    // entry of Palette::halftone(); to 4 and 1 bits: nearest entry of vga16()/monochrome();
    // to 15/16 bits: 5-5-5/5-6-5 by dropping low bits; from them, each channel widens to 8
    // bits by repeating its high bits (31 becomes 255). pfDevice makes a bmDDB bitmap of the
    // 32-bit layout. Throws EInvalidGraphic("画像フォーマットが不正です") for pfCustom.
    void setPixelFormat(PixelFormat format);

    HandleType handleType() const { return handleType_; }
    // bmDIB on a pfDevice bitmap keeps the pixels and makes it pf32bit; bmDDB makes any
    // bitmap pfDevice (converting to the 32-bit layout).
    void setHandleType(HandleType type);

    // 1, 4, 8, 16 (for 15 and 16), 24 or 32; 0 for an empty bitmap.
    int bitsPerPixel() const;

    // Direct row access: row 0 is the top row.
    uint8_t* scanLine(int y) { return data_ + static_cast<ptrdiff_t>(y) * stride_; }
    const uint8_t* scanLine(int y) const { return data_ + static_cast<ptrdiff_t>(y) * stride_; }
    int stride() const { return stride_; }
    size_t byteSize() const { return static_cast<size_t>(stride_) * static_cast<size_t>(height_); }

    // The palette of a 1-, 4- or 8-bit bitmap (empty for the other formats).
    const Palette& palette() const { return palette_; }
    void setPalette(Palette palette);

    // A QImage that shares the rows (no copy) for 1, 8, 15, 16, 24 and 32 bits; a converted
    // copy for 4 bits. Valid while this bitmap is alive and unchanged.
    QImage asQImage() const;
    // A copy of the picture as an opaque Format_RGB32 image (the 4th byte forced to 255).
    QImage toDisplayImage() const;
    // Makes a bitmap from any QImage: 8-bit with the image's colours when it is indexed
    // (or 1-bit) with an opaque colour table, 24-bit otherwise.
    static Bitmap fromQImage(const QImage& image);

    // Colour of one pixel as 0x00BBGGRR.
    uint32_t pixelColor(int x, int y) const;

    // Scaled by keeping whole rows and columns (no smoothing).
    void paint(QPainter& painter, const QRectF& dest) const override;
    std::unique_ptr<Graphic> clone() const override;
    // Takes any graphic: another bitmap is copied; any other graphic is drawn into a
    // bitmap of its natural size in the device format.
    void assign(const Graphic& source) override;
    // Windows bitmap (.bmp) files, every common variant; saving keeps the bitmap's format.
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    std::vector<uint8_t> saveToBytes() const override;
    const char* className() const override { return "TBitmap"; }
    GraphicKind kind() const override { return GraphicKind::Bitmap; }
    const Bitmap* raster() const override { return this; }

    // Packed device-independent bitmaps (header, colour table, pixels, no file header), as
    // the clipboard and icon files carry them. Same variants as the file reader.
    void loadFromDib(std::span<const uint8_t> dib);
    std::vector<uint8_t> saveToDib() const;
    // Decodes the packed DIB in dib whose pixels start at pixelOffset bytes from its start
    // (0: right after the colour table). Throws EInvalidGraphic for malformed data.
    static Bitmap decodeDib(std::span<const uint8_t> dib, size_t pixelOffset = 0);
    // Decodes the colour image of an icon's packed DIB (its header height counts the AND
    // mask too) and tells where the AND mask starts.
    static Bitmap decodeIconDib(std::span<const uint8_t> dib, size_t* maskOffset);

    // Empties the bitmap (0 × 0, keeps the format).
    void clear();

    // Whether every fourth byte of a 32-bit picture is 255 (always true for other formats).
    bool opaqueRows() const;

private:
    struct Buffer;
    // Fills to (allocated, same size, its own format and palette) from from's pixels.
    static void convertPixels(const Bitmap& from, Bitmap& to);
    void create(int width, int height, PixelFormat format, bool clearPixels);
    void allocate(int width, int height, int bitsPerPixel, bool clearPixels = true);

    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    PixelFormat format_ = pf24bit; // never pfDevice: that is format_ == pf32bit with bmDDB
    HandleType handleType_ = bmDIB;
    Palette palette_;
    std::unique_ptr<Buffer> buffer_;
    uint8_t* data_ = nullptr;
};
