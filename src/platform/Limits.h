// Size limits shared by every reader: a picture larger than this is refused before any
// pixel memory is allocated.
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

} // namespace limits
