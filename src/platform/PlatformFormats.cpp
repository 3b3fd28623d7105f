#include "platform/Bitmap.h"
#include "platform/Icon.h"
#include "platform/Metafile.h"
#include "platform/Picture.h"

void registerPlatformFileFormats() {
    Picture::registerFileFormat("bmp", "ビットマップ", [] { return std::make_unique<Bitmap>(); });
    Picture::registerFileFormat("ico", "アイコン", [] { return std::make_unique<Icon>(); });
    // Both metafile extensions read either kind; the extension chooses what is written.
    Picture::registerFileFormat("emf", "拡張メタファイル", [] {
        auto m = std::make_unique<Metafile>();
        m->setEnhanced(true);
        return m;
    });
    Picture::registerFileFormat("wmf", "メタファイル", [] {
        auto m = std::make_unique<Metafile>();
        m->setEnhanced(false);
        return m;
    });
}
