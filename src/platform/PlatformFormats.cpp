#include "platform/Bitmap.h"
#include "platform/Picture.h"

void registerPlatformFileFormats() {
    Picture::registerFileFormat("bmp", "ビットマップ", [] { return std::make_unique<Bitmap>(); });
}
