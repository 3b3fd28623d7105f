// Start-up with a settings file that cannot be read, the menu shortcuts over the level
// spin boxes, the slider legends, the program's title, and the one loading rule the window
// shares with pwtool.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include "FrameTestSupport.h"
#include "app/SliderLegend.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsText.h"

namespace {

std::vector<std::string> fileLines(const std::filesystem::path& path) {
    auto bytes = pwtest::readFile(path);
    return settings_text::SplitLines(std::string(bytes.begin(), bytes.end()));
}

} // namespace

TEST_F(FrameTest, UnloadableSettingsStillOpenTheCommandLinePicture) {
    const QString picture = writeBmp("cmd.bmp", 30, 20);
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> spoil;
        bool rewritten; // whether the close can write the file again
    };
    const Case cases[] = {
        {"a folder in its place",
         [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }, false},
        {"too large",
         [](const std::filesystem::path& p) {
             pwtest::writeFile(p, {'x'});
             std::filesystem::resize_file(p, TParameter::MaxFileSize + 1);
         },
         true},
        {"no header line",
         [](const std::filesystem::path& p) {
             const std::string text = "JPEGQuality=55\r\n";
             pwtest::writeFile(p, std::vector<uint8_t>(text.begin(), text.end()));
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(settingsPath());
        c.spoil(settingsPath());
        form = makeForm();
        form->CommandLine = {picture};
        form->show();
        EXPECT_GE(dialogs->errors.size(), 1);
        // Start-up went on: the picture is open and the window has its defaults.
        EXPECT_EQ(form->SourcePath, picture);
        EXPECT_EQ(form->PictureKind(), 3);
        ASSERT_TRUE(form->BaseBitmap);
        EXPECT_EQ(form->BaseBitmap->width(), 30);
        form->close();
        form.reset();
        if (c.rewritten) {
            const auto lines = fileLines(settingsPath());
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], SettingsKeys::Header);
        }
    }
}

TEST_F(FrameTest, MenuShortcutsWinOverTheLevelSpinBoxes) {
    openForm();
    QApplication::setActiveWindow(form.get());
    dialogs->openAnswers << writeBmp("k.bmp", 40, 30);
    form->Open1Click();
    const Bitmap base = *form->BaseBitmap;
    form->TrackBar2->setValue(150);
    ASSERT_FALSE(pwtest::sameBitmap(*form->ViewBitmap(), base));

    form->PageControl1->setCurrentIndex(1);
    form->UpDown2->setFocus();
    form->UpDown2->setValue(42);
    QSignalSpy undo(form->U1, &QAction::triggered);
    QSignalSpy copy(form->Copy1, &QAction::triggered);
    QSignalSpy paste(form->Paste1, &QAction::triggered);
    QTest::keyClick(form->UpDown2, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(form->UpDown2, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(form->UpDown2, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(undo.count(), 1);
    EXPECT_EQ(copy.count(), 1);
    EXPECT_EQ(paste.count(), 1);
    // Undo ran on the picture, and the spin box's text was left alone.
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), base));
    EXPECT_EQ(form->UpDown2->value(), 42);
    // Plain typing still edits the level.
    form->UpDown2->selectAll();
    QTest::keyClicks(form->UpDown2, "17");
    EXPECT_EQ(form->UpDown2->value(), 17);
}

TEST_F(FrameTest, SliderLegendsStandUnderTheirTicks) {
    openForm();
    struct Row {
        QSlider* slider;
        TSliderLegend* legend;
        std::vector<int> values;
    };
    const Row rows[] = {
        {form->TrackBar1, form->Label1, {0, 100, 200}},
        {form->TrackBar2, form->Label4, {40, 100, 160}},
        {form->TrackBar3, form->Label6, {0, 100, 200}},
        {form->TrackBar4, form->Label8, {-30, 0, 30}},
        {form->TrackBar5, form->Label10, {-100, 0, 100}},
        {form->TrackBar6, form->Label17, {0, 10, 20, 30, 40, 50}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.slider->objectName().toStdString() + " " + std::to_string(r.values.front()));
        const QList<QLabel*> labels = r.legend->findChildren<QLabel*>();
        ASSERT_EQ(labels.size(), qsizetype(r.values.size()));
        for (size_t i = 0; i < r.values.size(); ++i) {
            // Where the handle stands at that value, measured by moving it there.
            const int saved = r.slider->value();
            const QSignalBlocker quiet(r.slider);
            r.slider->setValue(r.values[i]);
            const int handle = TSliderLegend::TickCentre(r.slider, r.slider->value());
            r.slider->setValue(saved);
            const QLabel* label = labels[qsizetype(i)];
            const int centre = r.legend->x() + label->geometry().center().x();
            // The end numbers may be pushed inwards a little to stay inside the panel.
            EXPECT_NEAR(centre, handle, label->width() / 2 + 1) << label->text().toStdString();
            if (i > 0 && i + 1 < r.values.size()) {
                EXPECT_NEAR(centre, handle, 1);
            }
        }
    }
    // The old legend put "50" under the 40 tick: the numbers are evenly spread.
    const QList<QLabel*> levels = form->Label17->findChildren<QLabel*>();
    const int step = levels[2]->geometry().center().x() - levels[1]->geometry().center().x();
    EXPECT_GT(step, 20);
    EXPECT_NEAR(levels[4]->geometry().center().x() - levels[3]->geometry().center().x(), step, 1);
}

TEST(FrameRules, TheTitleKeepsEveryDotOfTheProgramName) {
    EXPECT_EQ(ApplicationTitle("/opt/pixel.wright-0.8/pixel.wright.bin"), "pixel.wright");
    EXPECT_EQ(ApplicationTitle("/usr/bin/pixelwright"), "pixelwright");
}

TEST_F(FrameTest, EmptyPicturesAreRefusedLikePwtoolRefusesThem) {
    openForm();
    // An empty .jpg and a bitmap of width 0: neither opens.
    pwtest::writeFile(dir / "empty.jpg", {});
    const std::vector<uint8_t> bmp = pwtest::bmpHeaderOnly(0, 5);
    pwtest::writeFile(dir / "zero.bmp", bmp);
    for (const char* name : {"empty.jpg", "zero.bmp"}) {
        SCOPED_TRACE(name);
        const QString path = QString::fromStdString((dir / name).string());
        dialogs->openAnswers << path;
        form->Open1Click();
        EXPECT_EQ(form->FastPicture1.GetPictureType(), picNil);
        ASSERT_FALSE(dialogs->messages.isEmpty());
        EXPECT_EQ(dialogs->messages.last(), path + QString::fromUtf8(" は開けません。"));
    }
}

TEST_F(FrameTest, APictureWithoutAFileArrivesWithItsTemporaryCopy) {
    openForm();
    form->UpDown10->setValue(30);
    form->PageControl1->setCurrentIndex(2);
    const Bitmap pasted = pwtest::makeTestBitmap(3000, 2000, 5);
    form->PictureArrived(std::make_unique<Bitmap>(pasted), "Copied Bitmap");
    EXPECT_EQ(form->DisplayName, "Copied Bitmap");
    EXPECT_EQ(form->SourcePath, QString::fromStdString((tempFolder() / "ImageData.bmp").string()));
    EXPECT_TRUE(std::filesystem::exists(tempFolder() / "ImageData.bmp"));
    EXPECT_EQ(form->TrackBar1->value(), 30);
    EXPECT_EQ(form->FastPicture1.Width, 900);
    EXPECT_EQ(form->UpDown10->value(), -1);
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    EXPECT_TRUE(form->windowTitle().startsWith("Copied Bitmap  ( 900 × 600 )"))
        << form->windowTitle().toStdString();
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, pasted));

    // Revert reloads the copy.
    form->TrackBar2->setValue(150);
    form->O1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), pasted));
    EXPECT_EQ(form->DisplayName, "Copied Bitmap");
}
