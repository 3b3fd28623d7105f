// The main window: settings at show and close, display ratio, picture kind, caption and
// the clicked-colour readout.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include "FrameTestSupport.h"
#include "app/FrameTexts.h"
#include "app/PictureView.h"
#include "formats/Jpeg.h"
#include "platform/Metafile.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsText.h"

namespace {

std::vector<std::string> fileLines(const std::filesystem::path& path) {
    auto bytes = pwtest::readFile(path);
    return settings_text::SplitLines(std::string(bytes.begin(), bytes.end()));
}

std::string valueOf(const std::vector<std::string>& lines, const std::string& name) {
    for (const auto& line : lines)
        if (line.rfind(name + "=", 0) == 0) return line.substr(name.size() + 1);
    return "<missing>";
}

} // namespace

TEST(FrameRules, FitRatioKeepsLargePicturesOnScreen) {
    struct Case {
        int w, h, ratio;
    };
    const Case cases[] = {{2000, 1500, 50},  {1025, 10, 90},   {20000, 100, 10},
                          {1024, 1024, 100}, {3000, 2000, 30}, {10240, 5, 10},
                          {10241, 5, 10},    {1, 1, 100},      {5, 4000, 20}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
        EXPECT_EQ(TFrameForm::FitRatio(c.w, c.h), c.ratio);
    }
}

TEST(FrameRules, TextsOfSizesFoldersColoursAndSliders) {
    const std::pair<unsigned long long, const char*> sizes[] = {
        {1, "  1KB"},    {1023, "  1KB"}, {1024, "  1KB"}, {1535, "  1KB"}, {1536, "  2KB"},
        {2048, "  2KB"}, {2559, "  2KB"}, {2560, "  3KB"}, {0, "  0KB"}};
    for (const auto& [size, text] : sizes)
        EXPECT_EQ(FileSizeText(size), QString::fromUtf8(text)) << size;

    EXPECT_EQ(FolderOf("/home/u/a.jpg"), "/home/u");
    EXPECT_EQ(FolderOf("/a.jpg"), "/");
    EXPECT_EQ(FolderOf("a.jpg"), "");
    EXPECT_EQ(FolderOf("/x//a.jpg"), "/x//");

    EXPECT_EQ(ColorText(0x00FFFFFF), "$00FFFFFF  =");
    EXPECT_EQ(ColorText(0x00123abc), "$00123ABC  =");
    EXPECT_EQ(ColorText(0), "$00000000  =");

    EXPECT_EQ(GammaCaption(-30), QString::fromUtf8("ガンマ値 ( 0.32 )"));
    EXPECT_EQ(GammaCaption(30), QString::fromUtf8("ガンマ値 ( 3.16 )"));
    EXPECT_EQ(GammaCaption(6), QString::fromUtf8("ガンマ値 ( 1.26 )"));
    EXPECT_EQ(GammaCaption(0), QString::fromUtf8("ガンマ値 ( 1.00 )"));
    EXPECT_EQ(LightCaption(0), QString::fromUtf8("輝度 ( +0 )"));
    EXPECT_EQ(LightCaption(-25), QString::fromUtf8("輝度 ( -25 )"));
    EXPECT_EQ(LightCaption(40), QString::fromUtf8("輝度 ( +40 )"));
}

TEST_F(FrameTest, StartsEmptyWithItsControls) {
    openForm();
    EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
    EXPECT_EQ(form->ComboBox1->count(), 7);
    EXPECT_EQ(form->ComboBox1->currentText(), "Empty");
    EXPECT_EQ(form->ComboBox2->itemText(1), " pf1bit");
    EXPECT_EQ(form->TrackBar1->value(), 100);
    EXPECT_EQ(form->TrackBar1->maximum(), 200);
    EXPECT_EQ(form->TrackBar4->minimum(), -30);
    EXPECT_EQ(form->UpDown10->value(), -1);
    EXPECT_EQ(form->UpDown9->minimum(), 105);
    EXPECT_EQ(form->Label21->text(), "$00FFFFFF  =");
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    EXPECT_FALSE(form->T1->isEnabled());
    EXPECT_EQ(form->U1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_EQ(form->H2->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_EQ(form->RadioButton1->isChecked(), true);
    EXPECT_EQ(form->ClientSize(), QSize(650, 500));
    ASSERT_TRUE(form->BaseBitmap);
    EXPECT_TRUE(dialogs->errors.isEmpty());
}

TEST_F(FrameTest, FirstRunWritesEveryKeyInOrderAtClose) {
    openForm();
    form->UpDown1->setValue(85);
    form->RadioButton2->setChecked(true);
    form->close();
    auto lines = fileLines(settingsPath());
    ASSERT_EQ(lines.size(), SettingsKeys::Table.size() + 1);
    EXPECT_EQ(lines[0], SettingsKeys::Header);
    for (size_t i = 0; i < SettingsKeys::Table.size(); ++i) {
        const std::string name(SettingsKeys::Table[i].name);
        EXPECT_EQ(lines[i + 1].substr(0, name.size() + 1), name + "=") << i;
    }
    EXPECT_EQ(valueOf(lines, "ClientWidth"), "650");
    EXPECT_EQ(valueOf(lines, "ClientHeight"), "500");
    EXPECT_EQ(valueOf(lines, "WindowState"), "0");
    EXPECT_EQ(valueOf(lines, "JPEGQuality"), "85");
    EXPECT_EQ(valueOf(lines, "額縁の光の方向"), "False");
    EXPECT_EQ(valueOf(lines, "OpenDir"), "\x1a");
    EXPECT_EQ(valueOf(lines, "HLeft"), "491");
    EXPECT_EQ(valueOf(lines, "PreviewRatio"), "20");
    EXPECT_EQ(valueOf(lines, "Histgram"), "False");
}

TEST_F(FrameTest, LaterRunReadsTheKeysBack) {
    openForm();
    form->UpDown2->setValue(7);
    form->UpDown8->setValue(12);
    form->RadioButton2->setChecked(true);
    form->OpenDir = "/srv/pictures";
    form->SaveDir = "/";
    form->S1Click();
    form->SetClientSize(700, 520);
    closeForm();

    openForm();
    EXPECT_TRUE(dialogs->errors.isEmpty()) << dialogs->errors.join("\n").toStdString();
    EXPECT_EQ(form->UpDown2->value(), 7);
    EXPECT_EQ(form->UpDown8->value(), 12);
    EXPECT_TRUE(form->RadioButton2->isChecked());
    EXPECT_EQ(form->OpenDir, "/srv/pictures");
    EXPECT_EQ(form->SaveDir, "/");
    EXPECT_TRUE(form->S1->isChecked());
    EXPECT_EQ(form->ClientSize(), QSize(700, 520));
}

TEST_F(FrameTest, BadSettingsShowTheMessageAndTheWindowStaysUsable) {
    struct Case {
        const char* name;
        std::string replaceLine; // the line to drop or change
        std::string with;
        const char* message;
    };
    const Case cases[] = {
        {"missing key", "SaveDir=", "", "Name 'SaveDir' is not found in parameters."},
        {"bad Boolean", "Smooth=", "Smooth=yes", "Value of Smooth 'yes' is not Boolean Type."},
        {"bad integer", "JPEGQuality=", "JPEGQuality=7x", "'7x' は整数ではありません"},
    };
    openForm();
    closeForm();
    const auto good = fileLines(settingsPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        for (const auto& line : good) {
            if (line.rfind(c.replaceLine, 0) == 0) {
                if (!c.with.empty()) text += c.with + "\r\n";
            } else {
                text += line + "\r\n";
            }
        }
        pwtest::writeFile(settingsPath(), std::vector<uint8_t>(text.begin(), text.end()));
        openForm();
        ASSERT_EQ(dialogs->errors.size(), 1);
        EXPECT_EQ(dialogs->errors[0], QString::fromUtf8(c.message));
        ASSERT_TRUE(form->BaseBitmap);
        EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
        // Still usable: a picture opens.
        dialogs->openAnswers << writeBmp("ok.bmp", 40, 30);
        form->Open1Click();
        EXPECT_EQ(form->PictureKind(), 3);
        closeForm();
        // The close wrote every key again, so the next start is clean.
        openForm();
        EXPECT_TRUE(dialogs->errors.isEmpty());
        closeForm();
    }
}

TEST_F(FrameTest, OneBadKeyLosesNothingButItself) {
    openForm();
    form->UpDown2->setValue(7);
    form->UpDown9->setValue(150);
    form->OpenDir = "/srv/pictures";
    form->S1Click();
    closeForm();
    // An early key goes bad, the header is lost, and the position is far off.
    std::string text;
    for (const auto& line : fileLines(settingsPath())) {
        if (line == SettingsKeys::Header) continue;
        if (line.rfind("JPEGQuality=", 0) == 0)
            text += "JPEGQuality=abc\r\n";
        else if (line.rfind("Left=", 0) == 0)
            text += "Left=2147483647\r\n";
        else
            text += line + "\r\n";
    }
    pwtest::writeFile(settingsPath(), std::vector<uint8_t>(text.begin(), text.end()));

    openForm();
    ASSERT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(dialogs->errors[0], QString::fromUtf8("'abc' は整数ではありません"));
    EXPECT_EQ(form->UpDown1->value(), 70) << "the bad key takes its first-run value";
    EXPECT_EQ(form->UpDown2->value(), 7) << "the keys after it still read";
    EXPECT_EQ(form->UpDown9->value(), 150);
    EXPECT_EQ(form->OpenDir, "/srv/pictures");
    EXPECT_TRUE(form->S1->isChecked());
    closeForm();

    const auto lines = fileLines(settingsPath());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], SettingsKeys::Header) << "the header is written again";
    EXPECT_EQ(valueOf(lines, "JPEGQuality"), "70");
    EXPECT_EQ(valueOf(lines, "エッジ強調レベル"), "7");
    EXPECT_EQ(valueOf(lines, "額縁のコントラスト"), "150");
    EXPECT_EQ(valueOf(lines, "OpenDir"), "/srv/pictures");
    EXPECT_EQ(valueOf(lines, "Smooth"), "True");
    EXPECT_EQ(valueOf(lines, "Left"), "2147483647") << "a position the window stayed at is kept";
}

TEST_F(FrameTest, ClosingWhileMaximisedKeepsTheStoredBounds) {
    openForm();
    form->SetClientSize(640, 480);
    closeForm();
    auto before = fileLines(settingsPath());

    openForm();
    form->setWindowState(Qt::WindowMaximized);
    form->close();
    auto after = fileLines(settingsPath());
    EXPECT_EQ(valueOf(after, "WindowState"), "2");
    for (const char* key : {"Left", "Top", "ClientWidth", "ClientHeight"})
        EXPECT_EQ(valueOf(after, key), valueOf(before, key)) << key;
    EXPECT_EQ(valueOf(after, "ClientWidth"), "640");
}

TEST_F(FrameTest, DisplayRatioResizesTheViewAndSnapsZeroToTen) {
    openForm();
    dialogs->openAnswers << writeBmp("p.bmp", 2000, 1500);
    form->Open1Click();
    EXPECT_EQ(form->TrackBar1->value(), 50);
    EXPECT_EQ(form->FastPicture1.Width, 1000);
    EXPECT_EQ(form->FastPicture1.Height, 750);
    EXPECT_EQ(form->FastPicture1View->size(), QSize(1000, 750));
    EXPECT_EQ(form->Label2->text(), QString::fromUtf8("表示倍率 ( 50 % )"));

    form->TrackBar1->setValue(0);
    EXPECT_EQ(form->TrackBar1->value(), 10);
    EXPECT_EQ(form->FastPicture1.Width, 200);
    EXPECT_EQ(form->FastPicture1.Height, 150);
    EXPECT_TRUE(form->windowTitle().contains(QString::fromUtf8("  ( 200 × 150 )")));

    form->TrackBar1->setValue(133);
    EXPECT_EQ(form->FastPicture1.Width, 2660);
    EXPECT_EQ(form->FastPicture1.Height, 1995);
}

TEST_F(FrameTest, CaptionNamesFileSizeDimensionsDepthAndFormat) {
    openForm();
    QString path = writeBmp("cap.bmp", 300, 200);
    auto bytes = std::filesystem::file_size(path.toStdString());
    dialogs->openAnswers << path;
    form->Open1Click();
    EXPECT_EQ(form->windowTitle(),
              path + FileSizeText(bytes) +
                  QString::fromUtf8("  ( 300 × 200 )  -  24 bit Color ( pf24bit - bmDIB )"));
    EXPECT_EQ(form->ComboBox2->currentIndex(), 6);
    EXPECT_EQ(form->ComboBox3->currentIndex(), 0);

    form->ViewBitmap()->setPixelFormat(pf8bit);
    form->UpdateCaption();
    EXPECT_TRUE(
        form->windowTitle().endsWith(QString::fromUtf8("  -  8 bit Color ( pf8bit - bmDIB )")));
    form->ViewBitmap()->setHandleType(bmDDB);
    form->UpdateCaption();
    EXPECT_TRUE(
        form->windowTitle().endsWith(QString::fromUtf8("  -  32 bit Color ( pfDevice - bmDDB )")));
    EXPECT_EQ(form->ComboBox2->currentIndex(), 0);
    EXPECT_EQ(form->ComboBox3->currentIndex(), 1);
}

TEST_F(FrameTest, ColourReadoutReadsThePictureUnderTheMouse) {
    openForm();
    QString path = writeBmp("read.bmp", 2000, 1500, 7);
    Bitmap source = pwtest::makeTestBitmap(2000, 1500, 7);
    dialogs->openAnswers << path;
    form->Open1Click();
    ASSERT_EQ(form->TrackBar1->value(), 50);
    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 10, 10);
    EXPECT_EQ(form->Label21->text(), ColorText(source.pixelColor(20, 20)));
    EXPECT_EQ(form->DownPoint, QPoint(10, 10));
    uint32_t c = source.pixelColor(20, 20);
    EXPECT_EQ(form->Panel7->palette().color(QPalette::Window),
              QColor(c & 0xFF, (c >> 8) & 0xFF, c >> 16));

    // Only while the kind selector shows "Bitmap".
    QString before = form->Label21->text();
    form->ComboBox1->setCurrentIndex(4);
    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 500, 300);
    EXPECT_EQ(form->Label21->text(), before);
    // A point outside the picture reads nothing.
    form->ComboBox1->setCurrentIndex(3);
    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 5000, 5000);
    EXPECT_EQ(form->Label21->text(), before);
}

TEST_F(FrameTest, MakeCurrentSizeTheBase) {
    openForm();
    dialogs->openAnswers << writeBmp("b1.bmp", 200, 100);
    form->Open1Click();
    Bitmap before = *form->ViewBitmap();
    form->Button1Click(); // at 100 %: nothing
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), before));

    // Smooth: enlarged by the engine to the view's size; the slider returns to 100
    // without resizing the view again.
    form->S1Click();
    form->TrackBar1->setValue(150);
    ASSERT_EQ(form->FastPicture1.Width, 300);
    form->Button1Click();
    ASSERT_TRUE(form->ViewBitmap());
    EXPECT_EQ(form->ViewBitmap()->width(), 300);
    EXPECT_EQ(form->ViewBitmap()->height(), 150);
    EXPECT_EQ(form->TrackBar1->value(), 100);
    EXPECT_EQ(form->FastPicture1.Width, 300);
    EXPECT_EQ(form->BaseBitmap->width(), 300);
    EXPECT_EQ(form->Label2->text(), QString::fromUtf8("表示倍率 ( 100 % )"));
    {
        TFastPicture reference;
        reference.picture().assign(&before);
        reference.Enlarge(300, 150);
        EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), *reference.picture().as<Bitmap>()));
    }

    // Plain: whole rows and columns, no smoothing.
    form->S1Click();
    Bitmap base = *form->BaseBitmap;
    form->TrackBar1->setValue(50);
    form->Button1Click();
    ASSERT_TRUE(form->ViewBitmap());
    ASSERT_EQ(form->ViewBitmap()->width(), 150);
    for (int y = 0; y < 75; y += 7)
        for (int x = 0; x < 150; x += 11)
            ASSERT_EQ(form->ViewBitmap()->pixelColor(x, y), base.pixelColor(2 * x, 2 * y));
}

TEST_F(FrameTest, TinyViewIsRefusedWithAMessage) {
    openForm();
    dialogs->openAnswers << writeBmp("tiny.bmp", 5, 5);
    form->Open1Click();
    form->TrackBar1->setValue(10); // 0 × 0 view
    form->Button1->click();        // through the default exception handler
    EXPECT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(form->ViewBitmap()->width(), 5);
}

TEST_F(FrameTest, PictureKindSelector) {
    openForm();
    dialogs->openAnswers << writeBmp("k.bmp", 64, 48);
    form->Open1Click();
    ASSERT_EQ(form->ComboBox1->currentIndex(), 3);

    for (int snapBack : {5, 6}) {
        form->ComboBox1->setCurrentIndex(snapBack);
        form->ComboBox1Change();
        EXPECT_EQ(form->ComboBox1->currentIndex(), 3);
        EXPECT_EQ(form->PictureKind(), 3);
    }

    Bitmap before = *form->ViewBitmap();
    form->ComboBox1->setCurrentIndex(4);
    form->ComboBox1Change();
    EXPECT_EQ(form->PictureKind(), 4);
    EXPECT_EQ(form->FastPicture1.picture().width(), 64);
    EXPECT_EQ(form->FastPicture1.picture().height(), 48);
    EXPECT_TRUE(form->windowTitle().contains("24 bit Color"));

    form->ComboBox1->setCurrentIndex(3);
    form->ComboBox1Change();
    ASSERT_EQ(form->PictureKind(), 3);
    EXPECT_EQ(form->ViewBitmap()->width(), 64);

    if (Picture::findFileFormat("jpg")) {
        form->ComboBox1->setCurrentIndex(1);
        form->ComboBox1Change();
        EXPECT_EQ(form->PictureKind(), 1);
        EXPECT_EQ(std::string(form->FastPicture1.picture().graphic()->className()), "TJPEGImage");
    }

    form->ComboBox1->setCurrentIndex(0);
    form->ComboBox1Change();
    EXPECT_EQ(form->PictureKind(), 0);
    EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
    EXPECT_TRUE(form->SourcePath.isEmpty());

    // With nothing in view every choice returns to "Empty".
    form->ComboBox1->setCurrentIndex(3);
    form->ComboBox1Change();
    EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
}

TEST_F(FrameTest, ViewPaintsWholeRowsAndColumnsAndKeepsItsDisplayCopy) {
    openForm();
    Bitmap source = pwtest::makeTestBitmap(400, 300, 3);
    dialogs->openAnswers << writeBmp("v.bmp", 400, 300, 3);
    form->Open1Click();
    form->TrackBar1->setValue(50);
    QImage shot = form->FastPicture1View->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shot.size(), QSize(200, 150));
    for (int y = 0; y < 150; y += 13)
        for (int x = 0; x < 200; x += 17) {
            uint32_t c = source.pixelColor(2 * x, 2 * y);
            ASSERT_EQ(shot.pixel(x, y), qRgb(c & 0xFF, (c >> 8) & 0xFF, c >> 16)) << x << "," << y;
        }
    // An 8-bit picture shows its palette colours.
    Bitmap indexed = source;
    indexed.setPixelFormat(pf8bit);
    form->FastPicture1.picture().assign(&indexed);
    form->FastPicture1.Invalidate();
    QImage shot8 = form->FastPicture1View->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < 150; y += 29)
        for (int x = 0; x < 200; x += 31) {
            uint32_t c = indexed.pixelColor(2 * x, 2 * y);
            ASSERT_EQ(shot8.pixel(x, y), qRgb(c & 0xFF, (c >> 8) & 0xFF, c >> 16)) << x << "," << y;
        }
    form->FastPicture1.picture().assign(&source);
    form->FastPicture1.Invalidate();
    form->FastPicture1View->grab();
    int rebuilds = form->FastPicture1View->RebuildCount();
    form->FastPicture1View->grab();
    form->TrackBar1->setValue(70);
    form->FastPicture1View->grab();
    EXPECT_EQ(form->FastPicture1View->RebuildCount(), rebuilds);
    // A tone change paints from the picture's rows at once and rebuilds the display copy
    // only once the picture has stayed unchanged for a moment.
    form->TrackBar2->setValue(120);
    form->FastPicture1View->grab();
    EXPECT_EQ(form->FastPicture1View->RebuildCount(), rebuilds);
    EXPECT_FALSE(form->FastPicture1View->DisplayCopyReady());
    QTest::qWait(TPictureView::kDisplayCopyDelayMs + 200);
    EXPECT_TRUE(form->FastPicture1View->DisplayCopyReady());
    EXPECT_EQ(form->FastPicture1View->RebuildCount(), rebuilds + 1);
}

TEST_F(FrameTest, ViewShowsTheSamePixelsFromThePictureRowsAsFromItsDisplayCopy) {
    openForm();
    // A 24-bit bitmap, a colour JPEG (decoded to 24 bits) and a grey JPEG (decoded to
    // 8 bits, always drawn through its display copy), at ratios that drop and repeat rows
    // and columns unevenly.
    Bitmap source = pwtest::makeTestBitmap(333, 211, 5);
    std::vector<QString> paths{writeBmp("rows.bmp", 333, 211, 5)};
    for (bool grey : {false, true}) {
        TJPEGImage jpeg;
        jpeg.GrayOutput = grey;
        jpeg.assign(source);
        auto path = dir / (grey ? "grey.jpg" : "colour.jpg");
        pwtest::writeFile(path, jpeg.saveToBytes());
        paths.push_back(QString::fromStdString(path.string()));
    }
    const int ratios[] = {100, 37, 10, 150, 73};
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        dialogs->openAnswers << path;
        form->Open1Click();
        ASSERT_TRUE(form->FastPicture1.picture().graphic());
        std::vector<QImage> fromRows;
        for (int ratio : ratios) {
            form->TrackBar1->setValue(ratio);
            fromRows.push_back(
                form->FastPicture1View->grab().toImage().convertToFormat(QImage::Format_RGB32));
        }
        const bool rowsDrawn = !form->FastPicture1View->DisplayCopyReady();
        EXPECT_EQ(rowsDrawn, !path.endsWith("grey.jpg"));
        QTest::qWait(TPictureView::kDisplayCopyDelayMs + 200);
        ASSERT_TRUE(form->FastPicture1View->DisplayCopyReady());
        for (size_t i = 0; i < std::size(ratios); ++i) {
            form->TrackBar1->setValue(ratios[i]);
            QImage fromCopy =
                form->FastPicture1View->grab().toImage().convertToFormat(QImage::Format_RGB32);
            ASSERT_EQ(fromCopy.size(), QSize(333 * ratios[i] / 100, 211 * ratios[i] / 100));
            EXPECT_TRUE(fromCopy == fromRows[i]) << "ratio " << ratios[i];
        }
        // At 100 % every pixel is the picture's own.
        const Bitmap& shown = *form->BaseBitmap;
        for (int y = 0; y < 211; y += 7)
            for (int x = 0; x < 333; x += 11) {
                const uint32_t c = shown.pixelColor(x, y);
                ASSERT_EQ(fromRows[0].pixel(x, y), qRgb(c & 0xFF, (c >> 8) & 0xFF, c >> 16))
                    << x << "," << y;
            }
    }
}
