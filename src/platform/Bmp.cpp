// Windows bitmap files. (Reader and writer arrive with the BMP codec.)
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

void Bitmap::loadFromBytes(std::span<const uint8_t>) { throw EInvalidGraphic("BMP の読み込みは未実装です"); }
std::vector<uint8_t> Bitmap::saveToBytes() const { throw EInvalidGraphic("BMP の書き込みは未実装です"); }
