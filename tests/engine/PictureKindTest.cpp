// Every graphic answers its kind; the engine's picture type and the kind names follow it.
#include <gtest/gtest.h>

#include "engine/FastPicture.h"
#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Icon.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

TEST(PictureKind, EveryClassAnswersItsKind) {
    const Bitmap bmp = pwtest::makeTestBitmap(8, 6);
    Metafile meta;
    meta.setWidth(8);
    meta.setHeight(6);
    const Icon icon;
    TJPEGImage jpeg;
    jpeg.assign(bmp);
    TGIFImage gif;
    gif.assign(bmp);

    struct Row {
        const Graphic* graphic;
        GraphicKind kind;
        TPictureType type;
        const char* name;
    } rows[] = {
        {&bmp, GraphicKind::Bitmap, picBitmap, "Bitmap"},
        {&meta, GraphicKind::Metafile, picMetafile, "Metafile"},
        {&icon, GraphicKind::Icon, picIcon, "Icon"},
        {&jpeg, GraphicKind::Jpeg, picUnknown, "JPEG"},
        {&gif, GraphicKind::Gif, picUnknown, "GIF"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.graphic->kind(), r.kind);
        EXPECT_EQ(PictureTypeOf(r.graphic), r.type);
        EXPECT_STREQ(pictureKindName(r.graphic), r.name);
    }
    EXPECT_EQ(PictureTypeOf(nullptr), picNil);
    EXPECT_STREQ(pictureKindName(nullptr), "Empty");
    // An empty bitmap is still a bitmap to the engine.
    const Bitmap none;
    EXPECT_EQ(PictureTypeOf(&none), picBitmap);
}
