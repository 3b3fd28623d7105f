#include "platform/Limits.h"

#include <limits>

#include "platform/Exceptions.h"

namespace limits {

void checkPictureSize(int64_t width, int64_t height, bool allowEmpty) {
    if (width < 0 || height < 0 || (!allowEmpty && (width == 0 || height == 0)))
        throw EInvalidGraphic("画像の大きさが不正です (" + std::to_string(width) + " × " +
                              std::to_string(height) + ")");
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        throw EPictureTooLarge("画像が大きすぎます: " + std::to_string(width) + " × " +
                               std::to_string(height) + " ピクセル (上限は一辺 " +
                               std::to_string(kMaxSide) + " ピクセル、面積 " +
                               std::to_string(kMaxPixels) + " ピクセル)");
}

uint64_t checkedMul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        throw EInvalidGraphic("画像の大きさが不正です");
    return a * b;
}

} // namespace limits
