// WebP files through libwebp. A WebP picture opens as a 24-bit bitmap (alpha composited over
// white; an animation opens at its first frame). Writing is lossy at a quality of 1..99 and
// lossless at 100.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Bitmap.h"

inline constexpr const char* kWebpDescription = "WebP イメージファイル";

// The largest side a WebP picture can have.
inline constexpr int kWebpMaxSide = 16383;

struct WebpFacts {
    bool lossless = false;
    bool animated = false;
    // The picture had an alpha channel, which was composited over white.
    bool alphaComposited = false;
};

// True when bytes start like a WebP file ("RIFF" size "WEBP").
bool isWebpData(std::span<const uint8_t> bytes);

// Decodes a still or animated WebP file (the first frame of an animation, at the size of
// the animation's canvas). Refuses malformed or truncated data with EInvalidGraphic and
// pictures beyond the size limits with EPictureTooLarge before allocating pixels.
Bitmap decodeWebp(std::span<const uint8_t> bytes, WebpFacts* facts = nullptr);

// The picture class registered for ".webp": a bitmap read from a WebP file, and a plain
// bitmap in every other respect (other extensions save it as a bitmap).
class WebpBitmap : public Bitmap {
public:
    void loadFromBytes(std::span<const uint8_t> bytes) override;
    std::string loadNote() const override { return note_; }
    const WebpFacts& facts() const { return facts_; }

private:
    WebpFacts facts_;
    std::string note_;
};

// Encodes a bitmap: lossy at quality 1..99, lossless at 100 (quality is clamped to 1..100).
// A bitmap larger than kWebpMaxSide on a side or empty is refused with EInvalidGraphic.
std::vector<uint8_t> encodeWebp(const Bitmap& bitmap, int quality);
