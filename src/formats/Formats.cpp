#include "formats/Formats.h"

#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "platform/Picture.h"

void registerPictureFormats() {
    registerPlatformFileFormats();
    InitJpegDefaultsFromScreen();
    auto jpeg = [] { return std::unique_ptr<Graphic>(std::make_unique<TJPEGImage>()); };
    Picture::registerFileFormat("jpeg", kJpegDescription, jpeg);
    Picture::registerFileFormat("jpg", kJpegDescription, jpeg);
    Picture::registerFileFormat("gif", kGifDescription, [] {
        return std::unique_ptr<Graphic>(std::make_unique<TGIFImage>());
    });
}
