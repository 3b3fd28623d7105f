// JPEG and GIF pictures in the main window: opening, caption, base image, conversions
// and the animation painter in the view.
#include <cstdlib>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QSlider>

#include "FrameTestSupport.h"
#include "app/PictureView.h"
#include "formats/GIFImage.h"
#include "formats/Jpeg.h"

namespace {

bool haveConvert() {
    return pwtest::haveTool("convert");
}

} // namespace

TEST_F(FrameTest, JpegPicturesOpenDecodeAndKeepTheirKind) {
    PW_SKIP_WITHOUT(haveConvert(), "ImageMagick's convert");
    auto path = dir / "photo.jpg";
    ASSERT_EQ(
        std::system(("convert -size 240x160 gradient:red-blue -quality 90 '" + path.string() + "'")
                        .c_str()),
        0);
    openForm();
    dialogs->openAnswers << QString::fromStdString(path.string());
    form->Open1Click();
    ASSERT_EQ(form->PictureKind(), 1);
    EXPECT_EQ(form->BaseBitmap->width(), 240);
    EXPECT_EQ(form->BaseBitmap->height(), 160);
    EXPECT_TRUE(form->windowTitle().contains("24 bit Color"));

    // Undo right after opening a JPEG does nothing; a slider makes it a bitmap.
    form->U1Click();
    EXPECT_EQ(form->PictureKind(), 1);
    form->TrackBar2->setValue(120);
    EXPECT_EQ(form->PictureKind(), 3);
    form->U1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), *form->BaseBitmap));

    // Back to JPEG through the kind selector, at UpDown1's quality.
    form->ComboBox1->setCurrentIndex(1);
    form->ComboBox1Change();
    ASSERT_EQ(form->PictureKind(), 1);
    EXPECT_EQ(form->FastPicture1.picture().as<TJPEGImage>()->CompressionQuality(), 70);
}

TEST_F(FrameTest, GifPicturesShowEightBitsAndAnimateInTheView) {
    PW_SKIP_WITHOUT(haveConvert(), "ImageMagick's convert");
    auto path = dir / "anim.gif";
    ASSERT_EQ(std::system(("convert -delay 3 -size 40x30 xc:red xc:blue xc:lime -loop 0 '" +
                           path.string() + "'")
                              .c_str()),
              0);
    openForm();
    dialogs->openAnswers << QString::fromStdString(path.string());
    form->Open1Click();
    ASSERT_EQ(form->PictureKind(), 2);
    EXPECT_TRUE(form->windowTitle().contains("  -  8 bit Color"))
        << form->windowTitle().toStdString();
    EXPECT_EQ(form->BaseBitmap->width(), 40);
    EXPECT_EQ(form->BaseBitmap->pixelColor(5, 5), 0x0000FFu); // first frame, red

    // The painter steps the frames; the view shows each one.
    QSet<QRgb> seen;
    QElapsedTimer timer;
    timer.start();
    while (seen.size() < 3 && timer.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QImage shot = form->FastPicture1View->grab().toImage();
        if (!shot.isNull()) seen.insert(shot.pixel(20, 15) & 0xFFFFFF);
    }
    EXPECT_GE(seen.size(), 2);

    // Replacing the picture stops the animation cleanly.
    dialogs->openAnswers << writeBmp("after.bmp", 16, 16);
    form->Open1Click();
    EXPECT_EQ(form->PictureKind(), 3);

    // A bitmap becomes a GIF through the kind selector.
    form->ComboBox1->setCurrentIndex(2);
    form->ComboBox1Change();
    EXPECT_EQ(form->PictureKind(), 2);
    EXPECT_TRUE(form->windowTitle().contains("  -  8 bit Color"));
}

TEST_F(FrameTest, TheFirstSliderMoveOnAJpegWritesIntoItsDecodedRows) {
    TJPEGImage file;
    file.assign(pwtest::makeTestBitmap(160, 120, 6));
    auto path = dir / "tone.jpg";
    pwtest::writeFile(path, file.saveToBytes());
    openForm();
    dialogs->openAnswers << QString::fromStdString(path.string());
    form->Open1Click();
    const auto* jpeg = form->FastPicture1.picture().as<TJPEGImage>();
    ASSERT_TRUE(jpeg);
    const uint8_t* decodedRows = jpeg->raster()->scanLine(0);

    form->TrackBar2->setValue(130);
    ASSERT_EQ(form->PictureKind(), 3);
    EXPECT_EQ(form->ViewBitmap()->scanLine(0), decodedRows) << "no new picture allocated";
    // The same pixels as the tone operations on a fresh copy of the base image.
    TFastPicture expected;
    expected.picture().assign(form->BaseBitmap.get());
    expected.Light(0);
    expected.Gamma(1.0L);
    expected.Contrast(100);
    expected.Bright(130);
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), *expected.picture().as<Bitmap>()));
    form->U1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), *form->BaseBitmap));
}
