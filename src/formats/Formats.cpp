#include "formats/Formats.h"

#include "platform/Picture.h"

void registerPictureFormats() {
    registerPlatformFileFormats();
    // JPEG and GIF register here once their classes exist.
}
