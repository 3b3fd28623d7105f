// The adjustment panel's destructive operations: the quality and conversion buttons, the
// colour reduction and rotation menus and the pixel format and handle type selectors,
// each compared with the engine run directly on the same picture.
#include <cmath>
#include <functional>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>

#include "FrameTestSupport.h"

namespace {

// The engine's result of one operation on a copy of a picture.
Bitmap engineResult(const Bitmap& source, const std::function<void(TFastPicture&)>& op) {
    TFastPicture reference;
    reference.SetBounds(source.width(), source.height());
    reference.picture().assign(&source);
    op(reference);
    const Bitmap* result = reference.picture().as<Bitmap>();
    return result ? *result : Bitmap();
}

} // namespace

class PanelTest : public FrameTest {
protected:
    Bitmap original;

    // Opens a 24-bit test picture of the given size.
    void openPicture(int width, int height, uint32_t seed = 7) {
        openForm();
        original = pwtest::makeTestBitmap(width, height, seed);
        QString path = writeBmp("panel.bmp", width, height, seed);
        dialogs->openAnswers << path;
        form->Open1Click();
        ASSERT_NE(form->ViewBitmap(), nullptr);
        ASSERT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), original));
    }

    const Bitmap& view() { return *form->ViewBitmap(); }

    void expectNeutralSliders() {
        EXPECT_EQ(form->TrackBar2->value(), 100);
        EXPECT_EQ(form->TrackBar3->value(), 100);
        EXPECT_EQ(form->TrackBar4->value(), 0);
        EXPECT_EQ(form->TrackBar5->value(), 0);
        EXPECT_EQ(form->TrackBar6->value(), 0);
        EXPECT_EQ(form->Label3->text(), QString::fromUtf8("明るさ ( 100 % )"));
        EXPECT_EQ(form->Label9->text(), QString::fromUtf8("輝度 ( +0 )"));
    }
};

TEST_F(PanelTest, EffectButtonsApplyTheEngineOperationWithTheirLevels) {
    openPicture(40, 30);
    form->UpDown2->setValue(3);
    form->UpDown3->setValue(90);
    form->UpDown4->setValue(4);
    form->UpDown5->setValue(5);
    form->UpDown6->setValue(3);
    form->UpDown7->setValue(2);
    form->UpDown8->setValue(6);
    form->UpDown9->setValue(150);
    form->RadioButton2->setChecked(true);

    struct Case {
        const char* name;
        QPushButton* button;
        std::function<void(TFastPicture&)> op;
    };
    const Case cases[] = {
        {"edge", form->Button4, [](TFastPicture& p) { p.Edge(3); }},
        {"median", form->Button5, [](TFastPicture& p) { p.Median(90); }},
        {"blur", form->Button6, [](TFastPicture& p) { p.Blur(); }},
        {"contours over", form->Button7, [](TFastPicture& p) { p.Sobel(4, true); }},
        {"mosaic", form->Button8, [](TFastPicture& p) { p.Mosaic(5); }},
        {"posterize", form->Button9, [](TFastPicture& p) { p.Posterization(3); }},
        {"contours only", form->Button10, [](TFastPicture& p) { p.Sobel(2, false); }},
        {"framing", form->Button11, [](TFastPicture& p) { p.Framing(6, 150, false); }},
        {"gray", form->Button12, [](TFastPicture& p) { p.GrayScale(); }},
        {"sepia", form->Button13, [](TFastPicture& p) { p.Sepia(); }},
        {"negative", form->Button14, [](TFastPicture& p) { p.Negative(); }},
        {"black and white", form->Button15,
         [](TFastPicture& p) {
             int used = 100;
             p.BlackAndWhite(100, used);
         }},
    };
    form->UpDown10->setValue(100);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form->U1Click();
        ASSERT_TRUE(pwtest::sameBitmap(view(), original));
        c.button->click();
        Bitmap expected = engineResult(original, c.op);
        EXPECT_TRUE(pwtest::sameBitmap(view(), expected));
        EXPECT_FALSE(pwtest::sameBitmap(view(), original));
        // An effect takes no base.
        EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, original));
    }
    EXPECT_TRUE(dialogs->errors.isEmpty());
}

TEST_F(PanelTest, EffectsAccumulateUntilASliderRebuildsFromTheBase) {
    openPicture(32, 24);
    form->UpDown2->setValue(2);
    form->Button4->click();
    form->Button14->click();
    Bitmap expected = engineResult(original, [](TFastPicture& p) {
        p.Edge(2);
        p.Negative();
    });
    EXPECT_TRUE(pwtest::sameBitmap(view(), expected));

    // A tone slider rebuilds the picture from the base: the effects are gone.
    form->TrackBar2->setValue(120);
    Bitmap toned = engineResult(original, [](TFastPicture& p) { p.Bright(120); });
    EXPECT_TRUE(pwtest::sameBitmap(view(), toned));

    // With "OK" first, the effect becomes the base and survives the slider.
    form->TrackBar2->setValue(100);
    form->Button14->click();
    form->Button2->click();
    Bitmap negative = engineResult(original, [](TFastPicture& p) { p.Negative(); });
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, negative));
    form->TrackBar3->setValue(80);
    EXPECT_TRUE(pwtest::sameBitmap(
        view(), engineResult(negative, [](TFastPicture& p) { p.Contrast(80); })));
}

TEST_F(PanelTest, BlackAndWhiteShowsTheAutomaticThresholdItUsed) {
    openPicture(40, 30);
    int expectedUsed = -1;
    Bitmap expected =
        engineResult(original, [&](TFastPicture& p) { p.BlackAndWhite(-1, expectedUsed); });
    ASSERT_GE(expectedUsed, 0);
    ASSERT_EQ(form->UpDown10->value(), -1);
    form->Button15->click();
    EXPECT_EQ(form->UpDown10->value(), expectedUsed);
    EXPECT_TRUE(pwtest::sameBitmap(view(), expected));

    // A fixed level stays in the box.
    form->U1Click();
    form->UpDown10->setValue(128);
    form->Button15->click();
    EXPECT_EQ(form->UpDown10->value(), 128);

    // A picture whose levels cannot be measured (a uniform one leaves no spread) keeps -1
    // when the engine refuses it too.
    Bitmap flat(8, 8);
    int flatUsed = -1;
    engineResult(flat, [&](TFastPicture& p) { p.BlackAndWhite(-1, flatUsed); });
    form->FastPicture1.picture().assign(&flat);
    *form->BaseBitmap = flat;
    form->UpDown10->setValue(-1);
    form->Button15->click();
    EXPECT_EQ(form->UpDown10->value(), flatUsed);
}

TEST_F(PanelTest, ColourReductionsMakeTheReducedPictureTheBase) {
    openPicture(48, 32);
    struct Case {
        QAction* item;
        int method; // -1: the bitmap class's own 8-bit conversion
    };
    const Case cases[] = {
        {form->Octree2561, 0},      {form->MedianCut2561, 1}, {form->MedianCutByVariance2561, 2},
        {form->MedianCut2562, 3},   {form->MedianCut2563, 4}, {form->N4, 5},
        {form->PixelFormat2561, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        // Start from the original with a pending tone setting: the reduction works on the
        // toned picture and leaves the sliders neutral.
        form->FastPicture1.picture().assign(&original);
        *form->BaseBitmap = original;
        form->TrackBar5->setValue(20);
        Bitmap toned = engineResult(original, [](TFastPicture& p) { p.Light(20); });
        ASSERT_TRUE(pwtest::sameBitmap(view(), toned));

        c.item->trigger();
        Bitmap expected = engineResult(toned, [&](TFastPicture& p) {
            if (c.method >= 0)
                p.Reduce(static_cast<uint8_t>(c.method));
            else
                p.picture().as<Bitmap>()->setPixelFormat(pf8bit);
        });
        EXPECT_EQ(view().pixelFormat(), pf8bit);
        EXPECT_TRUE(pwtest::sameBitmap(view(), expected));
        EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, view()));
        expectNeutralSliders();
        EXPECT_TRUE(form->windowTitle().contains(" ( pf8bit - bmDIB )"));
        EXPECT_TRUE(form->windowTitle().contains("8 bit Color"));
        EXPECT_EQ(form->ComboBox2->currentIndex(), 3);
    }
    EXPECT_TRUE(dialogs->errors.isEmpty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(PanelTest, QuarterTurnsSwapTheViewAndTakeTheBase) {
    openPicture(300, 200);
    ASSERT_EQ(form->FastPicture1.Width, 300);
    ASSERT_EQ(form->FastPicture1.Height, 200);

    form->N901->trigger();
    EXPECT_EQ(form->FastPicture1.Width, 200);
    EXPECT_EQ(form->FastPicture1.Height, 300);
    EXPECT_TRUE(form->FastPicture1.Stretch);
    Bitmap turned = engineResult(original, [](TFastPicture& p) { p.Turn(90); });
    EXPECT_TRUE(pwtest::sameBitmap(view(), turned));
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, turned));
    EXPECT_TRUE(form->windowTitle().contains(QString::fromUtf8("( 200 × 300 )")));

    form->N2701->trigger();
    EXPECT_EQ(form->FastPicture1.Width, 300);
    EXPECT_EQ(form->FastPicture1.Height, 200);
    EXPECT_TRUE(pwtest::sameBitmap(view(), original));

    // A zoomed view swaps its own sides, not the picture's.
    form->TrackBar1->setValue(50);
    ASSERT_EQ(form->FastPicture1.Width, 150);
    form->N901->trigger();
    EXPECT_EQ(form->FastPicture1.Width, 100);
    EXPECT_EQ(form->FastPicture1.Height, 150);
    EXPECT_EQ(view().width(), 200);
    EXPECT_EQ(view().height(), 300);
}

TEST_F(PanelTest, HalfTurnAndMirrorKeepTheViewSize) {
    openPicture(60, 40);
    form->TrackBar2->setValue(140);
    Bitmap toned = engineResult(original, [](TFastPicture& p) { p.Bright(140); });

    form->N1801->trigger();
    Bitmap half = engineResult(toned, [](TFastPicture& p) { p.Turn(180); });
    EXPECT_TRUE(pwtest::sameBitmap(view(), half));
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, half));
    EXPECT_EQ(form->FastPicture1.Width, 60);
    EXPECT_EQ(form->FastPicture1.Height, 40);
    expectNeutralSliders();

    form->R1->trigger();
    Bitmap mirrored = engineResult(half, [](TFastPicture& p) { p.Reverse(); });
    EXPECT_TRUE(pwtest::sameBitmap(view(), mirrored));
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, mirrored));
    EXPECT_EQ(form->FastPicture1.Width, 60);
}

TEST_F(PanelTest, WithoutAPictureEveryOperationDoesNothing) {
    openForm();
    const int format = form->PixelFormatIndex();
    QPushButton* buttons[] = {form->Button4,  form->Button5,  form->Button6,  form->Button7,
                              form->Button8,  form->Button9,  form->Button10, form->Button11,
                              form->Button12, form->Button13, form->Button14, form->Button15};
    for (QPushButton* b : buttons)
        b->click();
    QAction* items[] = {form->Octree2561,
                        form->MedianCut2561,
                        form->MedianCutByVariance2561,
                        form->MedianCut2562,
                        form->MedianCut2563,
                        form->N4,
                        form->PixelFormat2561,
                        form->N901,
                        form->N1801,
                        form->N2701,
                        form->R1};
    for (QAction* a : items)
        a->trigger();
    form->ComboBox2->setCurrentIndex(3);
    emit form->ComboBox2->activated(3);
    form->ComboBox3->setCurrentIndex(1);
    emit form->ComboBox3->activated(1);
    EXPECT_TRUE(form->FastPicture1.picture().empty());
    EXPECT_EQ(form->ComboBox2->currentIndex(), format);
    EXPECT_EQ(form->ComboBox3->currentIndex(), 0);
    EXPECT_EQ(form->UpDown10->value(), -1);
    EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
    EXPECT_TRUE(dialogs->errors.isEmpty());
    EXPECT_TRUE(dialogs->messages.isEmpty());
}

TEST_F(PanelTest, APictureThatIsNotABitmapIsRebuiltFromTheBaseFirst) {
    openPicture(40, 30);
    form->TrackBar5->setValue(-30);
    // Into a JPEG picture through the kind selector; the base stays the toned-from image.
    form->ComboBox1->setCurrentIndex(1);
    emit form->ComboBox1->activated(1);
    ASSERT_EQ(form->PictureKind(), 1);

    // The pixel format selector converts only bitmaps.
    form->ComboBox2->setCurrentIndex(3);
    emit form->ComboBox2->activated(3);
    EXPECT_EQ(form->ComboBox2->currentIndex(), 6);
    EXPECT_EQ(form->PictureKind(), 1);

    form->Button14->click();
    ASSERT_EQ(form->PictureKind(), 3);
    Bitmap expected = engineResult(original, [](TFastPicture& p) {
        p.Light(-30);
        p.Negative();
    });
    EXPECT_TRUE(pwtest::sameBitmap(view(), expected));
}

TEST_F(PanelTest, SelectorsConvertTheBitmapAndRefusePfCustom) {
    openPicture(20, 10);
    form->ComboBox2->setCurrentIndex(3);
    emit form->ComboBox2->activated(3);
    EXPECT_EQ(view().pixelFormat(), pf8bit);
    EXPECT_TRUE(form->windowTitle().contains(" ( pf8bit - bmDIB )"));
    Bitmap expected = original;
    expected.setPixelFormat(pf8bit);
    EXPECT_TRUE(pwtest::sameBitmap(view(), expected));
    // The selectors take no base.
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, original));

    form->ComboBox2->setCurrentIndex(6);
    emit form->ComboBox2->activated(6);
    EXPECT_EQ(view().pixelFormat(), pf24bit);

    // pfcustom is refused by the bitmap class: its message, and the selector shows the
    // format the bitmap kept.
    form->ComboBox2->setCurrentIndex(8);
    emit form->ComboBox2->activated(8);
    ASSERT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(dialogs->errors[0], QString::fromUtf8("画像フォーマットが不正です"));
    EXPECT_EQ(form->ComboBox2->currentIndex(), 6);
    EXPECT_EQ(view().pixelFormat(), pf24bit);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Handle type: device-dependent, then back.
    form->ComboBox3->setCurrentIndex(1);
    emit form->ComboBox3->activated(1);
    EXPECT_EQ(view().handleType(), bmDDB);
    EXPECT_EQ(form->ComboBox2->currentIndex(), 0);
    EXPECT_TRUE(form->windowTitle().contains(" ( pfDevice - bmDDB )"));
    form->ComboBox3->setCurrentIndex(0);
    emit form->ComboBox3->activated(0);
    EXPECT_EQ(view().handleType(), bmDIB);
    EXPECT_EQ(view().pixelFormat(), pf32bit);
    EXPECT_TRUE(form->windowTitle().contains(" ( pf32bit - bmDIB )"));
}
