// The shared picture services: kinds, the graphic-to-bitmap conversion, loading by
// extension or content with one rule for empty pictures, and saving by extension.
#include <gtest/gtest.h>

#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"
#include "support/TestSupport.h"

namespace {

class PictureIO : public ::testing::Test {
protected:
    void SetUp() override { registerPictureFormats(); }
};

std::vector<uint8_t> jpegBytesOf(const Bitmap& bmp) {
    TJPEGImage jpeg;
    jpeg.assign(bmp);
    return jpeg.saveToBytes();
}

} // namespace

TEST_F(PictureIO, GraphicToBitmapCopiesDecodesOrDraws) {
    // A bitmap keeps its own format and pixels.
    Bitmap eight = pwtest::makeTestBitmap(10, 7);
    eight.setPixelFormat(pf8bit);
    EXPECT_TRUE(pwtest::sameBitmap(graphicToBitmap(eight), eight));

    // A JPEG gives its decoded picture.
    TJPEGImage jpeg;
    jpeg.loadFromBytes(jpegBytesOf(pwtest::makeTestBitmap(16, 8)));
    EXPECT_TRUE(pwtest::sameBitmap(graphicToBitmap(jpeg), jpeg.bitmap()));

    // A metafile is drawn at its natural size onto white, in the format asked for.
    const Metafile meta = pwtest::redCornerMetafile(40, 20);
    const Bitmap drawn = graphicToBitmap(meta);
    EXPECT_EQ(drawn.width(), 40);
    EXPECT_EQ(drawn.height(), 20);
    EXPECT_EQ(drawn.pixelFormat(), pf24bit);
    EXPECT_EQ(drawn.pixelColor(3, 3), clRed);
    EXPECT_EQ(drawn.pixelColor(35, 15), clWhite);
    EXPECT_EQ(graphicToBitmap(meta, pfDevice).handleType(), bmDDB);

    // Stretched: the size asked for; a size of 0 is refused.
    const Bitmap shown = graphicToBitmap(meta, 20, 10);
    EXPECT_EQ(shown.width(), 20);
    EXPECT_EQ(shown.height(), 10);
    EXPECT_EQ(shown.pixelColor(2, 2), clRed);
    EXPECT_THROW(graphicToBitmap(meta, 0, 10), EInvalidGraphic);
    EXPECT_TRUE(graphicToBitmap(Bitmap()).empty());
}

TEST_F(PictureIO, LoadsByExtensionThenByContent) {
    pwtest::TempDir dir;
    const Bitmap bmp = pwtest::makeTestBitmap(12, 9);
    // A bitmap under a name no format is registered for, and under none at all.
    pwtest::writeFile(dir / "picture.dat", bmp.saveToBytes());
    pwtest::writeFile(dir / "picture", bmp.saveToBytes());
    for (const char* name : {"picture.dat", "picture"}) {
        SCOPED_TRACE(name);
        auto loaded = loadPictureFile(dir / name);
        ASSERT_EQ(loaded->kind(), GraphicKind::Bitmap);
        EXPECT_TRUE(pwtest::sameBitmap(static_cast<const Bitmap&>(*loaded), bmp));
    }
    // Bytes with a hint and without one.
    const auto jpeg = jpegBytesOf(bmp);
    EXPECT_EQ(loadPictureBytes(jpeg, "")->kind(), GraphicKind::Jpeg);
    EXPECT_EQ(loadPictureBytes(jpeg, ".JPG")->kind(), GraphicKind::Jpeg);
    const auto emf = pwtest::redCornerMetafile(30, 20).saveToBytes();
    EXPECT_EQ(loadPictureBytes(emf, "")->kind(), GraphicKind::Metafile);
    TGIFImage gif;
    gif.assign(bmp);
    EXPECT_EQ(loadPictureBytes(gif.saveToBytes(), "")->kind(), GraphicKind::Gif);

    // The extension wins over the content: a bitmap named .jpg is read as a JPEG and fails.
    pwtest::writeFile(dir / "lies.jpg", bmp.saveToBytes());
    EXPECT_ANY_THROW(loadPictureFile(dir / "lies.jpg"));
    // Content nobody recognizes.
    const std::vector<uint8_t> noise(64, 0x5A);
    EXPECT_THROW(loadPictureBytes(noise, ""), EInvalidGraphic);
    EXPECT_THROW(loadPictureFile(dir / "missing.bmp"), EFileError);
    // A folder is not a picture file (it used to read as one too large).
    std::filesystem::create_directory(dir / "folder.bmp");
    try {
        loadPictureFile(dir / "folder.bmp");
        ADD_FAILURE() << "a folder loaded";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find("ファイルではありません"), std::string::npos);
    }
}

TEST_F(PictureIO, PicturesThatCannotBeShownAreRefusedAtLoad) {
    // An empty file used to load as a 0 × 0 JPEG: pictures without pixels are refused by
    // every caller alike.
    EXPECT_ANY_THROW(loadPictureBytes(std::vector<uint8_t>{}, "jpg"));
    // A bitmap file whose width is 0.
    const std::vector<uint8_t> bmp = pwtest::bmpHeaderOnly(0, 5);
    EXPECT_THROW(loadPictureBytes(bmp, "bmp"), EInvalidGraphic);
    EXPECT_THROW(loadPictureBytes(bmp, ""), EInvalidGraphic);
}

TEST_F(PictureIO, SavesByExtension) {
    pwtest::TempDir dir;
    const Bitmap bmp = pwtest::makeTestBitmap(40, 30);

    // At the size shown: half the picture.
    SaveOptions half;
    half.width = 20;
    half.height = 15;
    savePictureFile(bmp, dir / "half.bmp", half);
    auto loaded = loadPictureFile(dir / "half.bmp");
    EXPECT_EQ(loaded->width(), 20);
    EXPECT_EQ(loaded->height(), 15);

    // Upper-case extensions; .emf enhanced and .wmf old-style.
    savePictureFile(bmp, dir / "a.EMF", half);
    savePictureFile(bmp, dir / "a.wmf", half);
    auto emf = pwtest::readFile(dir / "a.EMF");
    auto wmf = pwtest::readFile(dir / "a.wmf");
    ASSERT_GE(emf.size(), 44u);
    EXPECT_EQ(std::string(emf.begin() + 40, emf.begin() + 44), " EMF");
    ASSERT_GE(wmf.size(), 4u);
    EXPECT_EQ(wmf[0], 0xD7);
    EXPECT_EQ(loadPictureFile(dir / "a.EMF")->width(), 20);

    // JPEG at the quality given; GIF from the bitmap.
    SaveOptions q;
    q.jpegQuality = 30;
    savePictureFile(bmp, dir / "a.jpeg", q);
    EXPECT_EQ(loadPictureFile(dir / "a.jpeg")->kind(), GraphicKind::Jpeg);
    savePictureFile(bmp, dir / "a.gif");
    EXPECT_EQ(loadPictureFile(dir / "a.gif")->kind(), GraphicKind::Gif);

    // Any other extension writes the picture unchanged in its own format.
    savePictureFile(bmp, dir / "a.dat", half);
    EXPECT_EQ(pwtest::readFile(dir / "a.dat"), bmp.saveToBytes());

    // A JPEG saved as JPEG at its own size without a quality is written as it came.
    const auto original = jpegBytesOf(bmp);
    auto jpeg = loadPictureBytes(original, "jpg");
    savePictureFile(*jpeg, dir / "same.jpg");
    EXPECT_EQ(pwtest::readFile(dir / "same.jpg"), original);
}

TEST_F(PictureIO, EmptyPicturesAreNotWritten) {
    pwtest::TempDir dir;
    const Bitmap none;
    for (const char* name : {"e.gif", "e.bmp", "e.jpg", "e.emf", "e.xyz"}) {
        SCOPED_TRACE(name);
        try {
            savePictureFile(none, dir / name);
            ADD_FAILURE() << "an empty picture was written";
        } catch (const EInvalidGraphic& e) {
            EXPECT_NE(std::string(e.what()).find(" 0 "), std::string::npos) << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(dir / name));
    }
}

TEST_F(PictureIO, ConvertsBetweenKinds) {
    const Metafile meta = pwtest::redCornerMetafile(30, 20);
    SaveOptions jpegAt80;
    jpegAt80.jpegQuality = 80;
    auto jpeg = convertPicture(meta, GraphicKind::Jpeg, jpegAt80);
    EXPECT_EQ(jpeg->kind(), GraphicKind::Jpeg);
    EXPECT_EQ(jpeg->width(), 30);
    auto back = convertPicture(*jpeg, GraphicKind::Metafile);
    EXPECT_EQ(back->kind(), GraphicKind::Metafile);
    EXPECT_EQ(back->width(), 30);
    EXPECT_EQ(back->height(), 20);
    EXPECT_THROW(convertPicture(meta, GraphicKind::Icon), EConvertError);
}
