// TJPEGImage: the picture class for JPEG data. It keeps the compressed file as its
// primary form (shared between copies through TJPEGData) and decodes it into a bitmap
// only when pixels are first needed; made from a bitmap it compresses only when written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "formats/Progress.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Graphic.h"
#include "platform/Palette.h"

// Fatal errors of the JPEG codec: "JPEG エラー #<codec message code>".
class EJPEG : public EInvalidGraphic {
public:
    explicit EJPEG(int code);
    explicit EJPEG(const std::string& message) : EInvalidGraphic(message) {}
    int code() const { return code_; }

private:
    int code_ = 0;
};

// The clipboard format name under which JPEG data travels.
inline constexpr const char* kJpegClipboardFormat = "JFIF";
inline constexpr const char* kJpegDescription = "JPEG イメージファイル";

// Settings copied into every new TJPEGImage, in their stored order.
struct TJPEGDefaults {
    uint8_t Quality = 90;
    bool GrayOutput = false;
    uint8_t FastDecode = 0;  // 0 best quality, 1 best speed
    uint8_t OutputDepth = 0; // 0 = 24 bits per pixel, 1 = 8 bits with a palette
    bool IncrementalDecode = false;
    bool ProgressiveSave = false;
    uint8_t ScaleShift = 0; // decode at 1 / 2^ScaleShift
    bool BlockSmoothing = true;
};
extern TJPEGDefaults DefaultJpegSettings;

// Sets DefaultJpegSettings.OutputDepth from the screen: 8 bits per pixel when the screen
// has at most 8. Called once at program start.
void InitJpegDefaultsFromScreen();

// The compressed form, shared by the images copied from one another (the shared_ptr is
// the reference count).
struct TJPEGData {
    // The complete JPEG file; absent while no compressed form exists.
    std::optional<std::vector<uint8_t>> Data;
    int32_t Height = 0;
    int32_t Width = 0;
    bool Grayscale = false;
    // The EXIF orientation of the file (1..8); the decoded picture is turned and mirrored by
    // it, so that everything that uses the pixels sees the picture upright.
    uint8_t Orientation = 1;
};

// The EXIF orientation (1..8) that the APP1 segments before the first scan of a JPEG file
// carry; 1 when there is none or the EXIF block is malformed.
int jpegExifOrientation(std::span<const uint8_t> jpeg);

// A copy of a bitmap of 8, 16, 24 or 32 bits per pixel turned and mirrored so that a picture
// stored with that EXIF orientation shows upright (5..8 swap width and height).
Bitmap orientBitmap(const Bitmap& stored, int orientation);

class TJPEGImage : public Graphic {
public:
    TJPEGImage();
    TJPEGImage(const TJPEGImage& other);
    TJPEGImage& operator=(const TJPEGImage&) = delete;
    ~TJPEGImage() override;

    // ----- Graphic -----
    int width() const override;
    int height() const override;
    bool empty() const override;
    // Always refused: "JPEG イメージのサイズは変更できません".
    void setWidth(int width) override;
    void setHeight(int height) override;
    void paint(QPainter& painter, const QRectF& dest) const override;
    // A copy sharing the compressed data, with the decoded bitmap and settings copied.
    std::unique_ptr<Graphic> clone() const override;
    // From a TJPEGImage: share its data, copy its decoded bitmap (settings are kept). From
    // a Bitmap: no compressed form, a copy of the bitmap. Anything else: EConvertError.
    void assign(const Graphic& source) override;
    // The whole span is the compressed file; the header is read at once.
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    // Takes the file's bytes over as the compressed form, without a copy.
    void loadFromBuffer(std::vector<uint8_t>&& bytes) override;
    // Compresses first when there is no compressed form.
    std::vector<uint8_t> saveToBytes() const override;
    const char* className() const override { return "TJPEGImage"; }
    GraphicKind kind() const override { return GraphicKind::Jpeg; }
    const Bitmap* raster() const override { return &bitmap(); }

    // Copies the decoded bitmap (decoding first if needed) into target.
    void assignTo(Bitmap& target) const;
    // True when other is a TJPEGImage sharing the same compressed data.
    bool equals(const Graphic& other) const;

    // Form data: a 32-bit little-endian length (0 without data) and the compressed bytes;
    // a picture held only as a bitmap is compressed first.
    std::vector<uint8_t> writeData() const;
    // Reads form data starting at bytes[0]; returns the number of bytes consumed.
    size_t readData(std::span<const uint8_t> bytes);

    // The decoded picture (decoding first if needed).
    const Bitmap& bitmap() const;
    // Decodes now when no decoded bitmap exists.
    void DIBNeeded() const;
    // Compresses now when no compressed form exists.
    void JPEGNeeded() const;
    // Drops the decoded bitmap; the next use decodes again.
    void dropBitmap() const { bitmap_.reset(); }
    // Hands the decoded bitmap over (an empty one when there is none) and forgets it; the
    // next use decodes again. For a caller about to replace this picture by a bitmap of the
    // same size, whose buffer it can then reuse.
    Bitmap releaseBitmap();
    bool hasBitmap() const { return bitmap_ != nullptr; }
    const TJPEGData& data() const { return *image_; }

    // The picture's palette (see the class comment in the source); empty for none.
    Palette palette() const;
    void setPalette(const Palette& palette);

    // The quality used when this picture is compressed (1..100).
    int CompressionQuality() const { return Quality; }
    void SetCompressionQuality(int quality);

    // Settings (initialised from DefaultJpegSettings).
    bool BlockSmoothing;
    bool GrayOutput;
    uint8_t OutputDepth;
    uint8_t Quality;
    bool IncrementalDecode;
    bool ProgressiveSave;
    uint8_t FastDecode;
    uint8_t ScaleShift;

    TProgressEvent OnProgress;
    std::function<void(TJPEGImage&)> OnChange;

    // Memory the codec may use for one picture (its large buffers, such as the coefficient
    // store of a progressive file) and the number of scans a file may have.
    static constexpr long kMaxCodecMemory = 1536L << 20;
    static constexpr int kMaxScans = 1000;

private:
    friend struct JpegCodec;
    void newData() const;
    void changed();
    // Reads the header of fresh's compressed form and makes it this picture's data.
    void adopt(std::shared_ptr<TJPEGData> fresh);
    void calcScaledSize() const;
    void decode() const;
    void encode() const;

    mutable std::shared_ptr<TJPEGData> image_;
    mutable std::unique_ptr<Bitmap> bitmap_;
    mutable int32_t scaledWidth_ = 0;
    mutable int32_t scaledHeight_ = 0;
    mutable std::optional<Palette> tempPalette_;
    mutable bool needRecalc_ = true;
    mutable uint8_t lastScaleShift_ = 0;
};
