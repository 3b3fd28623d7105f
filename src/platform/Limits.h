// Size and memory limits shared by every reader: a picture larger than these is refused
// after its header is read and before any pixel memory is allocated.
#pragma once

#include <cstdint>
#include <string>

namespace limits {

inline constexpr int64_t kMaxSide = 65535;
inline constexpr int64_t kMaxPixels = 268435456; // 2^28

// Throws EPictureTooLarge ("<w> × <h> ピクセルの画像は大きすぎます ...") when the size exceeds
// the limits, EInvalidGraphic when a side is zero or negative and allowEmpty is false.
void checkPictureSize(int64_t width, int64_t height, bool allowEmpty = false);

// Multiplies with overflow detection; throws EInvalidGraphic on overflow.
uint64_t checkedMul(uint64_t a, uint64_t b);

// ----- memory a picture costs to hold -----
//
// Beside the decoded picture itself a program holds copies of it: the window keeps the
// base picture the tone sliders re-apply from (24-bit) and a display copy (32-bit);
// pwtool a 24-bit working copy for its conversion. Each program states the bytes per
// pixel those copies cost once at start; readers then call checkPictureToOpen.

// Bytes per pixel held beside the decoded picture (0 unless a program sets it).
void setHeldBytesPerPixel(double bytesPerPixel);
double heldBytesPerPixel();

// Caps the memory a picture may cost below what the machine has (0: no cap). Fuzz
// harnesses and tests lower it so that huge declared sizes are refused at once.
void setMemoryCeiling(uint64_t bytes);
uint64_t memoryCeiling();

// The memory a picture may use: the machine's available memory (MemAvailable, or the
// physical memory when that is unknown), held to the ceiling. Read at most once a
// second, since every frame of an animation asks.
uint64_t availableMemory();

// Bytes the program will hold for a picture of that size decoded at bitsPerPixel:
// its rows (padded to 4 bytes) plus the copies of heldBytesPerPixel.
uint64_t estimatedPictureBytes(int64_t width, int64_t height, int bitsPerPixel);

// The reader's check after its header: checkPictureSize, then the estimate (plus
// `alreadyHeld` bytes the reader has decoded so far, e.g. earlier frames) against
// availableMemory(). Throws EPictureTooLarge naming the size, the estimate and the memory
// available.
void checkPictureToOpen(int64_t width, int64_t height, int bitsPerPixel, bool allowEmpty = false,
                        uint64_t alreadyHeld = 0);

// "1.5 GB", "640 MB", "12 KB": a byte count for messages.
std::string formatBytes(uint64_t bytes);

} // namespace limits
