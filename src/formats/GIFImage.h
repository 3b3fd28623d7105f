// TGIFImage: the picture class for GIF data. A GIF file is held as an object model
// (screen descriptor, colour maps, frames with their extension blocks) that is read and
// written back block by block; unknown application extensions travel unchanged.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/Progress.h"
#include "platform/Bitmap.h"
#include "platform/Color.h"
#include "platform/Exceptions.h"
#include "platform/Graphic.h"
#include "platform/Palette.h"

class GIFException : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

inline constexpr const char* kGifClipboardFormat = "GIF Image";
inline constexpr const char* kGifDescription = "GIF Image";

enum TGIFSeverity { gsInfo, gsWarning, gsError };

class TGIFImage;
class TGIFSubImage;
class TGIFPainter;
class GifReader;
class GifWriter;

// A colour table: up to 256 colours in file order (red, green, blue).
class TGIFColorMap {
public:
    std::vector<Rgb> Colors;
    bool Sorted = false;

    int count() const { return static_cast<int>(Colors.size()); }
    // The smallest b >= 1 with 2^b >= count; 0 for an empty map.
    int bitsPerPixel() const;
    void clear() {
        Colors.clear();
        Sorted = false;
    }
    // Appends a colour; "Color table overflow" beyond 256.
    int add(const Rgb& color);
    Palette toPalette() const { return Palette(Colors); }
    void assignPalette(const Palette& palette);
    friend bool operator==(const TGIFColorMap&, const TGIFColorMap&) = default;
};
class TGIFGlobalColorMap : public TGIFColorMap {};
class TGIFLocalColorMap : public TGIFColorMap {};

// The logical screen descriptor as stored, and the global colour table.
struct TGIFHeader {
    char Version[4] = "87a";
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t Flags = 0;
    uint8_t Background = 0;
    uint8_t AspectRatio = 0;
    TGIFGlobalColorMap ColorMap;
};

// ----- extensions -----

class TGIFExtension {
public:
    virtual ~TGIFExtension() = default;
    virtual uint8_t label() const = 0;
    virtual std::unique_ptr<TGIFExtension> clone() const = 0;
    // Reads the extension from its introducer on (the reader stands on the '!').
    void load(GifReader& in);
    // Writes introducer, label, the body and the block terminator.
    void save(GifWriter& out) const;

protected:
    virtual void readBody(GifReader& in) = 0;
    virtual void writeBody(GifWriter& out) const = 0;
};

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    uint8_t BlockSize = 4;
    uint8_t Packed = 0;
    uint16_t Delay = 0; // hundredths of a second as stored
    uint8_t TransparentColorIndex = 0;

    uint8_t label() const override { return 0xF9; }
    std::unique_ptr<TGIFExtension> clone() const override {
        return std::make_unique<TGIFGraphicControlExtension>(*this);
    }
    int disposal() const { return (Packed >> 2) & 7; }
    void setDisposal(int d) { Packed = static_cast<uint8_t>((Packed & ~0x1C) | ((d & 7) << 2)); }
    bool transparent() const { return Packed & 1; }
    void setTransparent(bool on) { Packed = static_cast<uint8_t>(on ? Packed | 1 : Packed & ~1); }
    bool userInput() const { return Packed & 2; }
    // Set when the 6 bytes could not be read in full (a warning, not an error).
    bool Incomplete = false;

protected:
    void readBody(GifReader& in) override;
    void writeBody(GifWriter& out) const override;
};

class TGIFTextExtension : public TGIFExtension {
public:
    uint8_t Fields[13] = {12};     // block size 12, then the 12 bytes of grid and colours
    std::vector<std::string> Text; // one string per sub-block

    uint8_t label() const override { return 0x01; }
    std::unique_ptr<TGIFExtension> clone() const override {
        return std::make_unique<TGIFTextExtension>(*this);
    }

protected:
    void readBody(GifReader& in) override;
    void writeBody(GifWriter& out) const override;
};

class TGIFCommentExtension : public TGIFExtension {
public:
    std::vector<std::string> Text; // one string per sub-block

    uint8_t label() const override { return 0xFE; }
    std::unique_ptr<TGIFExtension> clone() const override {
        return std::make_unique<TGIFCommentExtension>(*this);
    }

protected:
    void readBody(GifReader& in) override;
    void writeBody(GifWriter& out) const override;
};

class TGIFApplicationExtension : public TGIFExtension {
public:
    // The identifier block as read (usually 8 bytes of identifier and 3 of
    // authentication code; 10 bytes in some old files).
    std::vector<uint8_t> IdentBlock;

    uint8_t label() const override { return 0xFF; }
    std::string identifier() const { return std::string(IdentBlock.begin(), IdentBlock.end()); }
    // Reads the identifier block and returns it; for choosing the class.
    static std::vector<uint8_t> peekIdentifier(GifReader& in);
};

// "NETSCAPE2.0" / "ANIMEXTS1.0": the loop count of an animation.
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    TGIFAppExtNSLoop();
    uint16_t Loops = 0; // 0 = for ever
    uint32_t BufferSize = 0;

    std::unique_ptr<TGIFExtension> clone() const override {
        return std::make_unique<TGIFAppExtNSLoop>(*this);
    }

protected:
    void readBody(GifReader& in) override;
    void writeBody(GifWriter& out) const override;
};

// Any other application extension: its data sub-blocks are kept as they were.
class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    std::vector<std::vector<uint8_t>> Blocks;

    std::unique_ptr<TGIFExtension> clone() const override {
        return std::make_unique<TGIFUnknownAppExtension>(*this);
    }

protected:
    void readBody(GifReader& in) override;
    void writeBody(GifWriter& out) const override;
};

// ----- one frame -----

class TGIFSubImage {
public:
    explicit TGIFSubImage(TGIFImage* owner) : Image(owner) {}
    TGIFSubImage(const TGIFSubImage& other, TGIFImage* owner);

    TGIFImage* Image;
    std::vector<std::unique_ptr<TGIFExtension>> Extensions;
    TGIFLocalColorMap ColorMap;
    // The image descriptor as stored, after the ',' separator.
    uint16_t Left = 0, Top = 0, Width = 0, Height = 0;
    uint8_t Flags = 0;
    std::vector<uint8_t> Data; // one colour index per pixel, row by row
    bool Transparent = false;
    TGIFGraphicControlExtension* GraphicControlExtension = nullptr;

    bool empty() const { return Data.empty() || Width == 0 || Height == 0; }
    bool interlaced() const { return Flags & 0x40; }
    void setInterlaced(bool on) { Flags = static_cast<uint8_t>(on ? Flags | 0x40 : Flags & ~0x40); }
    // The local table, else the image's global one.
    const TGIFColorMap& activeColorMap() const;
    int transparentIndex() const;

    // Makes this frame from a graphic: a bitmap is reduced to a palette when it has more
    // than 8 bits per pixel; other graphics are drawn or converted to a bitmap first.
    void assign(const Graphic& source);
    void assignBitmap(const Bitmap& source);
    // Applies a transparency mask (true = see-through) of the frame's size.
    void applyMask(const std::vector<uint8_t>& mask);
    // Sorts the colour table by use, drops unused entries and renumbers the pixels.
    void optimizeColorMap();

    // The frame as an 8-bit bitmap with its palette (cached).
    const Bitmap& bitmap() const;
    // 1 where the pixel shows the transparent index; empty when none does (cached).
    const std::vector<uint8_t>& mask() const;
    void invalidate() const {
        bitmap_.reset();
        maskBuilt_ = false;
        mask_.clear();
    }

    void read(GifReader& in);
    void write(GifWriter& out) const;

private:
    void decodeData(GifReader& in);
    void renderInto(Bitmap& out, const std::function<void(int)>& report) const;
    void encodeData(GifWriter& out) const;
    void linkGraphicControl();
    mutable std::unique_ptr<Bitmap> bitmap_;
    mutable std::vector<uint8_t> mask_;
    mutable bool maskBuilt_ = false;
};

// ----- the image -----

class TGIFImage : public Graphic {
public:
    TGIFImage();
    TGIFImage(const TGIFImage& other);
    TGIFImage& operator=(const TGIFImage&) = delete;
    ~TGIFImage() override;

    TGIFHeader Header;
    std::vector<std::unique_ptr<TGIFSubImage>> Images;

    // Settings.
    uint16_t PaintOptions = 0x068F;
    uint8_t ReductionMethod = 6;
    int32_t QuantizeBits = 8;
    uint8_t DitherKind = 0;
    uint8_t EncoderKind = 0;
    uint8_t PaintPriority = 3;
    int32_t PlaySpeed = 100;
    int32_t ShownFrame = -1;
    std::optional<TColor> BackdropColor; // none: the framework's no-colour
    Palette CustomPalette;               // the target palette of reduction method 9

    std::function<void(TGIFImage& sender, TGIFSeverity severity, const std::string& message)>
        OnGifWarning;
    TProgressEvent OnProgress;
    // Painting events, run on the user-interface thread.
    std::function<void(TGIFPainter&)> OnStartPaint, OnPaint, OnAfterPaint, OnLoop, OnEndPaint;

    // ----- Graphic -----
    int width() const override { return Header.Width; }
    int height() const override { return Header.Height; }
    bool empty() const override { return Images.empty(); }
    // Sets the logical screen's size.
    void setWidth(int width) override;
    void setHeight(int height) override;
    bool transparent() const override;
    void paint(QPainter& painter, const QRectF& dest) const override;
    std::unique_ptr<Graphic> clone() const override;
    void assign(const Graphic& source) override;
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    std::vector<uint8_t> saveToBytes() const override;
    const char* className() const override { return "TGIFImage"; }
    GraphicKind kind() const override { return GraphicKind::Gif; }
    const Bitmap* raster() const override { return &bitmap(); }

    // Copies the rendered bitmap into target.
    void assignTo(Bitmap& target) const;
    // Clipboard data: GIF bytes under "GIF Image" are read as a file; a bitmap format
    // ("image/bmp", a Windows bitmap file) is read and assigned; anything else is refused
    // with "未対応のクリップボード データです".
    void loadFromClipboardFormat(const std::string& format, std::span<const uint8_t> data);
    // The image as one bitmap (the first frame on the logical screen), cached.
    const Bitmap& bitmap() const;
    Palette palette() const;
    // Removes every frame and resets the header (stopping painters first).
    void clear();
    // Adds a frame made from a graphic; nullptr (and no frame) when it gives an empty one.
    TGIFSubImage* add(const Graphic& source);
    // The version the frames need: "87a" or "89a"; "Unsupported GIF version" without frames.
    std::string version() const;

    void warning(TGIFSeverity severity, const std::string& message);
    void progress(TProgressStage stage, int percent, const std::string& message);
    // Grows the logical screen to contain every frame.
    void growScreen(bool warn);
    // Drops the cached renderings after a change of frames or palette.
    void changed();

    // ----- painters -----
    // Stops every painter of this image and waits for them while dispatching their
    // hand-over messages.
    void stopPainters() const;
    bool hasRunningPainter() const;

    // Whether frames are rendered dithered onto the web-safe palette.
    bool doDither() const;

    // Total decoded frame bytes one file may hold.
    static constexpr uint64_t kMaxTotalFrameBytes = uint64_t(1) << 30;

private:
    friend class TGIFPainter;
    mutable std::unique_ptr<Bitmap> bitmap_;
    mutable std::optional<Palette> palette_;
    mutable std::mutex paintersLock_;
    mutable std::vector<TGIFPainter*> painters_;
    mutable std::unique_ptr<TGIFPainter> painter_; // the painter that draw() started
    mutable bool drawing_ = false;
    mutable bool paletteRequest_ = false;
};

// ----- colour reduction (used when making frames) -----

// The 216 web-safe colours: entry r*36 + g*6 + b is (51r, 51g, 51b).
const Palette& webSafePalette();
// Reduces a bitmap to 8 bits per pixel with the given method, ditherer and octree depth;
// an empty bitmap for a method above 9 or a ditherer above 6.
// rowsDone, when given, is called every 32 rows with the percentage done.
Bitmap ReduceColors(const Bitmap& source, int reductionMethod, int ditherKind, int quantizeBits,
                    const Palette& customPalette = Palette(),
                    const std::function<void(int percent)>& rowsDone = nullptr);

// Draws one frame as the image would (at its position, with transparency) on a 24-bit bitmap.
void DrawFrameOn(const TGIFSubImage& frame, Bitmap& target, bool transparent);
