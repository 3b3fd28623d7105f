// PNG files through libspng. A PNG opens as a bitmap that every operation can work on:
//   palette PNGs (1, 2, 4 or 8 bits)  1-, 4- or 8-bit palette bitmaps (2 bits widen to 4)
//   grey, grey with alpha             8-bit bitmaps with a 256-level grey palette
//   everything else                   24-bit bitmaps
// Transparency (an alpha channel, or a tRNS colour or palette alphas) is composited over
// white, and 16-bit samples are rounded to 8 bits. Writing makes palette PNGs of 1-, 4- and
// 8-bit bitmaps (greyscale PNGs when the palette is the plain 256-level grey ramp) and RGB
// PNGs of every other bitmap.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Bitmap.h"

inline constexpr const char* kPngDescription = "PNG イメージファイル";

// What the reader found in the file besides the pixels.
struct PngFacts {
    int bitDepth = 0;  // 1, 2, 4, 8 or 16
    int colorType = 0; // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha
    bool interlaced = false;
    // The file had transparency, which was composited over white.
    bool alphaComposited = false;
};

// True when bytes start with the PNG signature.
bool isPngData(std::span<const uint8_t> bytes);

// Decodes a whole PNG file. Refuses malformed, truncated or corrupt data (CRC errors of
// critical chunks included) with EInvalidGraphic, and pictures beyond the size limits with
// EPictureTooLarge before any pixel memory is allocated.
Bitmap decodePng(std::span<const uint8_t> bytes, PngFacts* facts = nullptr);

// A 1-, 4- or 8-bit bitmap scaled to width × height by repeating or dropping whole pixels,
// keeping its format and palette (the way the view shows it stretched).
Bitmap stretchIndexed(const Bitmap& source, int width, int height);

// The picture class registered for ".png": a bitmap read from a PNG file, and a plain
// bitmap in every other respect (other extensions save it as a bitmap).
class PngBitmap : public Bitmap {
public:
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    std::string loadNote() const override { return note_; }
    const PngFacts& facts() const { return facts_; }

private:
    PngFacts facts_;
    std::string note_;
};

// Encodes a bitmap as a PNG file (zlib at a fast level, one fixed filter per row kind
// chosen for speed). An empty bitmap is refused with EInvalidGraphic.
std::vector<uint8_t> encodePng(const Bitmap& bitmap);
