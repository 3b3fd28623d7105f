#include <gtest/gtest.h>

#include "ToneTestHelpers.h"
#include "engine/FastPicture.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "platform/Screen.h"
#include "support/TestSupport.h"

using namespace tonetest;

namespace {

// Restores the default screen facts when a test changes them.
struct ScreenGuard {
    ~ScreenGuard() { setScreenInfo(ScreenInfo{}); }
};

} // namespace

TEST(FastPicture, KindsAndBitsPerPixel) {
    TFastPicture fp;
    EXPECT_EQ(fp.Kind, "");
    EXPECT_EQ(fp.GetPictureType(), picNil);
    EXPECT_EQ(fp.GetBitsPerPixel(), 0);

    Metafile m = pwtest::redCornerMetafile(30, 20);
    fp.picture().assign(&m);
    EXPECT_EQ(fp.GetPictureType(), picMetafile);
    EXPECT_EQ(fp.GetBitsPerPixel(), 0);

    for (PixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        Bitmap b(3, 3, f);
        fp.picture().assign(&b);
        EXPECT_EQ(fp.GetPictureType(), picBitmap);
        EXPECT_EQ(fp.GetBitsPerPixel(), f == pf15bit ? 16 : bitsPerPixelOf(f));
    }
    // A device-dependent bitmap is made device-independent by the query.
    Bitmap device(3, 3, pfDevice);
    fp.picture().assign(&device);
    EXPECT_EQ(fp.GetBitsPerPixel(), 32);
    EXPECT_EQ(held(fp).handleType(), bmDIB);
    EXPECT_EQ(held(fp).pixelFormat(), pf32bit);
}

TEST(FastPicture, OperationsNeedABitmapOfEightBitsOrMore) {
    TFastPicture fp;
    EventLog log(fp);
    Metafile m = pwtest::redCornerMetafile(40, 30);
    fp.picture().assign(&m);
    fp.Negative();
    EXPECT_EQ(log.events, std::vector<std::string>{"Amend Negative"});
    EXPECT_EQ(fp.GetPictureType(), picMetafile);

    fp.SetPictureType(picBitmap);
    log.clear();
    fp.Negative();
    EXPECT_EQ(log.events, (std::vector<std::string>{"Amend Negative", "Amended Negative"}));
    EXPECT_EQ(log.invalidations, 1);
    EXPECT_EQ(fp.Kind, "Negative");
}

TEST(FastPicture, SetPictureTypeConversions) {
    TFastPicture fp;
    EventLog log(fp);
    // Icon and unknown kinds are never made; nothing is converted and no event is raised.
    fp.SetPictureType(picIcon);
    fp.SetPictureType(picUnknown);
    EXPECT_EQ(fp.GetPictureType(), picNil);

    // No picture to bitmap: an empty bitmap, which reads as a bitmap.
    fp.SetPictureType(picBitmap);
    EXPECT_EQ(fp.GetPictureType(), picBitmap);
    EXPECT_EQ(fp.picture().width(), 0);

    fp.SetPictureType(picNil);
    EXPECT_EQ(fp.GetPictureType(), picNil);

    // A metafile becomes a bitmap of its natural size, whatever the display size.
    Metafile m = pwtest::redCornerMetafile(50, 24);
    fp.picture().assign(&m);
    fp.SetBounds(500, 240);
    fp.SetPictureType(picBitmap);
    ASSERT_EQ(fp.GetPictureType(), picBitmap);
    EXPECT_EQ(fp.picture().width(), 50);
    EXPECT_EQ(fp.picture().height(), 24);
    // The recorded red rectangle lands in the top-left quarter.
    EXPECT_EQ(held(fp).pixelColor(5, 5), clRed);
    EXPECT_TRUE(log.events.empty());

    // Bitmap to metafile at the bitmap's physical size on the screen, and back.
    Bitmap pic = pwtest::makeTestBitmap(64, 48);
    fp.picture().assign(&pic);
    fp.SetPictureType(picMetafile);
    ASSERT_EQ(fp.GetPictureType(), picMetafile);
    const Metafile& made = *fp.picture().as<Metafile>();
    EXPECT_EQ(made.width(), 64);
    EXPECT_EQ(made.height(), 48);
    EXPECT_TRUE(made.logicalInch());
    // 64 pixels at 96 dots per inch are 16.93 mm.
    EXPECT_NEAR(made.mmWidth(), 64 * 2540 / 96, 30);

    fp.SetPictureType(picBitmap);
    EXPECT_EQ(fp.picture().width(), 64);
    EXPECT_EQ(fp.picture().height(), 48);
    EXPECT_TRUE(log.events.empty());
}

TEST(FastPicture, MetafileRatioRelatesLogicalToPhysicalPixels) {
    ScreenGuard restore;
    TFastPicture fp;
    int rx = 0, ry = 0;
    fp.GetMetafileRatio(rx, ry);
    EXPECT_EQ(rx, 100);
    EXPECT_EQ(ry, 100);

    // A screen of 96 physical dots per inch that reports 120 logical ones.
    ScreenInfo info;
    info.logPixelsX = 120;
    info.logPixelsY = 144;
    setScreenInfo(info);
    fp.GetMetafileRatio(rx, ry);
    EXPECT_EQ(rx, 125);
    EXPECT_EQ(ry, 150);

    // The metafile made from a bitmap then reports the bitmap's size in logical pixels.
    Bitmap pic = pwtest::makeTestBitmap(200, 100);
    fp.picture().assign(&pic);
    fp.SetPictureType(picMetafile);
    // (Each of the integer steps truncates, so a few pixels may be lost.)
    EXPECT_NEAR(fp.picture().width(), 250, 3);
    EXPECT_NEAR(fp.picture().height(), 150, 3);
}

TEST(FastPicture, FrameRestoresOnlyEightAndThirtyTwoBits) {
    const Bitmap picture = pwtest::makeTestBitmap(17, 9);
    struct Case {
        PixelFormat start, after;
    };
    for (Case c : {Case{pf8bit, pf8bit}, Case{pf15bit, pf24bit}, Case{pf16bit, pf24bit},
                   Case{pf24bit, pf24bit}, Case{pf32bit, pf32bit}, Case{pfDevice, pf32bit}}) {
        SCOPED_TRACE(static_cast<int>(c.start));
        Bitmap b = picture;
        b.setPixelFormat(c.start);
        TFastPicture fp;
        fp.picture().assign(&b);
        fp.Light(5);
        EXPECT_EQ(held(fp).pixelFormat(), c.after);
        EXPECT_EQ(held(fp).width(), 17);
    }
    // 32-bit pictures come back with the fourth byte at 255.
    Bitmap wide = picture;
    wide.setPixelFormat(pf32bit);
    wide.scanLine(0)[3] = 7;
    TFastPicture fp;
    fp.picture().assign(&wide);
    fp.Negative();
    EXPECT_EQ(held(fp).scanLine(0)[3], 255);
}

TEST(FastPicture, AutoSizeFollowsThePicture) {
    TFastPicture fp;
    fp.AutoSize = true;
    Bitmap b(33, 22, pf24bit);
    fp.picture().assign(&b);
    fp.Negative();
    EXPECT_EQ(fp.Width, 33);
    EXPECT_EQ(fp.Height, 22);
}
