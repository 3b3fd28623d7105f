// The document: open, save, undo, revert, clear and the temporary copies.
#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>

#include "FrameTestSupport.h"
#include "app/PictureView.h"
#include "platform/Exceptions.h"
#include "platform/Metafile.h"

namespace {

Bitmap loadBmp(const QString& path) {
    Bitmap b;
    b.loadFromBytes(pwtest::readFile(path.toStdString()));
    return b;
}

} // namespace

TEST_F(FrameTest, OpeningSetsTheDocumentAndResetsThePanel) {
    openForm();
    form->OpenDir = "/start/here";
    form->UpDown10->setValue(77);
    form->PageControl1->setCurrentIndex(2);
    QString path = writeBmp("big.bmp", 3000, 2000);
    dialogs->openAnswers << path;
    form->Open1Click();
    EXPECT_EQ(dialogs->lastOpenDir, "/start/here");
    EXPECT_EQ(dialogs->lastFilterIndex, 6);
    EXPECT_EQ(form->DisplayName, path);
    EXPECT_EQ(form->SourcePath, path);
    EXPECT_EQ(form->OpenDir, QString::fromStdString(dir.path().string()));
    EXPECT_EQ(form->SizeText, FileSizeText(std::filesystem::file_size(path.toStdString())));
    EXPECT_EQ(form->TrackBar1->value(), 30);
    EXPECT_EQ(form->FastPicture1.Width, 900);
    EXPECT_EQ(form->BaseBitmap->width(), 3000);
    EXPECT_EQ(form->BaseBitmap->height(), 2000);
    EXPECT_EQ(form->UpDown10->value(), -1);
    EXPECT_EQ(form->PageControl1->currentIndex(), 0);
    EXPECT_TRUE(form->FastPicture1.Stretch);
    EXPECT_TRUE(dialogs->messages.isEmpty());

    // Cancelling changes nothing.
    form->Open1Click();
    EXPECT_EQ(form->SourcePath, path);
}

TEST_F(FrameTest, FailedOpenLeavesTheViewEmptyWithTheMessage) {
    openForm();
    pwtest::writeFile(dir / "broken.bmp", {'B', 'M', 1, 2, 3});
    pwtest::writeFile(dir / "notes.xyz", {1, 2, 3});
    pwtest::writeFile(dir / "broken.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0});
    const QString paths[] = {QString::fromStdString((dir / "missing.bmp").string()),
                             QString::fromStdString((dir / "broken.bmp").string()),
                             QString::fromStdString((dir / "notes.xyz").string()),
                             QString::fromStdString((dir / "broken.jpg").string())};
    for (const QString& bad : paths) {
        SCOPED_TRACE(bad.toStdString());
        dialogs->openAnswers << writeBmp("good.bmp", 20, 10) << bad;
        form->Open1Click();
        ASSERT_EQ(form->PictureKind(), 3);
        dialogs->messages.clear();
        form->Open1Click();
        ASSERT_EQ(dialogs->messages.size(), 1);
        EXPECT_EQ(dialogs->messages[0], bad + QString::fromUtf8(" は開けません。"));
        EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
        EXPECT_EQ(form->FastPicture1.GetPictureType(), picNil);
        EXPECT_EQ(form->ComboBox1->currentIndex(), 0);
        EXPECT_TRUE(form->SourcePath.isEmpty());
        EXPECT_TRUE(form->DisplayName.isEmpty());
        EXPECT_TRUE(form->FastPicture1.Stretch);
        EXPECT_TRUE(dialogs->errors.isEmpty());
    }
}

TEST_F(FrameTest, CommandLineAndDroppedFilesOpen) {
    QString first = writeBmp("cmd.bmp", 30, 20);
    form = makeForm();
    form->CommandLine = {first, "ignored.bmp"};
    form->show();
    EXPECT_EQ(form->SourcePath, first);
    EXPECT_EQ(form->PictureKind(), 3);

    QString dropped = writeBmp("drop.bmp", 50, 40);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(dropped), QUrl::fromLocalFile(first)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &drop);
    EXPECT_EQ(form->SourcePath, dropped);
    EXPECT_EQ(form->FastPicture1.picture().width(), 50);
}

TEST_F(FrameTest, SavingWritesThePictureAtTheSizeShown) {
    openForm();
    QString path = writeBmp("s.bmp", 200, 120);
    dialogs->openAnswers << path;
    form->Open1Click();
    form->SaveDir = "/save/start";
    form->TrackBar1->setValue(50);

    auto out = dir / "out";
    std::filesystem::create_directories(out);
    const QString outDir = QString::fromStdString(out.string());
    dialogs->saveAnswers << outDir + "/half.bmp";
    form->Save1Click();
    EXPECT_EQ(dialogs->lastSaveDir, "/save/start");
    EXPECT_EQ(dialogs->lastProposedName, "s.bmp");
    EXPECT_EQ(form->SaveDir, outDir);
    Bitmap half = loadBmp(outDir + "/half.bmp");
    EXPECT_EQ(half.width(), 100);
    EXPECT_EQ(half.height(), 60);
    EXPECT_EQ(half.pixelColor(10, 10), form->ViewBitmap()->pixelColor(20, 20));

    dialogs->saveAnswers << outDir + "/vector.EMF" << outDir + "/old.wmf";
    form->Save1Click();
    form->Save1Click();
    Metafile emf, wmf;
    auto emfBytes = pwtest::readFile(out / "vector.EMF");
    ASSERT_GE(emfBytes.size(), 4u);
    EXPECT_EQ(emfBytes[0], 1); // EMR_HEADER
    emf.loadFromBytes(emfBytes);
    EXPECT_EQ(emf.width(), 100);
    EXPECT_EQ(emf.height(), 60);
    auto wmfBytes = pwtest::readFile(out / "old.wmf");
    ASSERT_GE(wmfBytes.size(), 4u);
    EXPECT_EQ(wmfBytes[0], 0xD7); // placeable header
    wmf.loadFromBytes(wmfBytes);
    EXPECT_EQ(wmf.width(), 100);

    // Any other extension: the picture unchanged, in its own format and size.
    dialogs->saveAnswers << outDir + "/same.dat";
    form->Save1Click();
    Bitmap same = loadBmp(outDir + "/same.dat");
    EXPECT_TRUE(pwtest::sameBitmap(same, *form->ViewBitmap()));

    if (Picture::findFileFormat("jpg")) {
        dialogs->saveAnswers << outDir + "/q.jpg";
        form->UpDown1->setValue(90);
        form->Save1Click();
        auto jpg = pwtest::readFile(out / "q.jpg");
        ASSERT_GE(jpg.size(), 2u);
        EXPECT_EQ(jpg[0], 0xFF);
        EXPECT_EQ(jpg[1], 0xD8);
    }

    // Cancelled: nothing written, nothing changed.
    auto count = std::distance(std::filesystem::directory_iterator(out), {});
    form->Save1Click();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), count);
    EXPECT_EQ(form->SourcePath, path);
    EXPECT_TRUE(dialogs->errors.isEmpty());
}

TEST_F(FrameTest, FailedSaveOverTheOpenedFileKeepsIt) {
    openForm();
    QString path = writeBmp("keep.bmp", 64, 64);
    auto original = pwtest::readFile(path.toStdString());
    dialogs->openAnswers << path;
    form->Open1Click();
    // A view without pixels makes the save fail before anything is written.
    form->FastPicture1.SetBounds(0, 0);
    dialogs->saveAnswers << path;
    EXPECT_THROW(form->Save1Click(), std::exception);
    EXPECT_EQ(pwtest::readFile(path.toStdString()), original);
    std::vector<std::string> leftovers;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().find("keep") != std::string::npos)
            leftovers.push_back(e.path().filename());
    EXPECT_EQ(leftovers, std::vector<std::string>{"keep.bmp"});
}

TEST_F(FrameTest, UndoReturnsToTheBaseWithNeutralSliders) {
    openForm();
    dialogs->openAnswers << writeBmp("u.bmp", 120, 80);
    form->Open1Click();
    Bitmap base = *form->BaseBitmap;
    form->TrackBar2->setValue(140);
    EXPECT_EQ(form->Label3->text(), QString::fromUtf8("明るさ ( 140 % )"));
    ASSERT_FALSE(pwtest::sameBitmap(*form->ViewBitmap(), base));
    form->TrackBar1->setValue(150);
    form->U1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), base));
    EXPECT_EQ(form->TrackBar2->value(), 100);
    EXPECT_EQ(form->Label3->text(), QString::fromUtf8("明るさ ( 100 % )"));
    // The display ratio the user chose stays; slider, caption and view agree.
    EXPECT_EQ(form->TrackBar1->value(), 150);
    EXPECT_EQ(form->Label2->text(), QString::fromUtf8("表示倍率 ( 150 % )"));
    EXPECT_EQ(form->FastPicture1.Width, 180);
    EXPECT_EQ(form->FastPicture1.Height, 120);

    // After a new base point undo returns to that point.
    form->TrackBar2->setValue(60);
    Bitmap darker = *form->ViewBitmap();
    form->Button2Click();
    form->TrackBar3->setValue(150);
    form->U1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), darker));
}

TEST_F(FrameTest, UndoKeepsALargePictureAtTheRatioItIsShownAt) {
    openForm();
    dialogs->openAnswers << writeBmp("large.bmp", 3000, 1200);
    form->Open1Click();
    ASSERT_EQ(form->TrackBar1->value(), 30);
    form->TrackBar1->setValue(10);
    form->TrackBar5->setValue(40);
    form->U1Click();
    EXPECT_EQ(form->TrackBar1->value(), 10);
    EXPECT_EQ(form->TrackBar5->value(), 0);
    EXPECT_EQ(form->FastPicture1.Width, 300);
    EXPECT_EQ(form->FastPicture1.Height, 120);
    EXPECT_EQ(form->FastPicture1View->size(), QSize(300, 120));
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), *form->BaseBitmap));
}

TEST_F(FrameTest, UndoLeavesAPictureThatIsNotABitmap) {
    openForm();
    dialogs->openAnswers << writeBmp("m.bmp", 40, 30);
    form->Open1Click();
    form->ComboBox1->setCurrentIndex(4);
    form->ComboBox1Change();
    ASSERT_EQ(form->PictureKind(), 4);
    form->U1Click();
    EXPECT_EQ(form->PictureKind(), 4);
}

TEST_F(FrameTest, RevertReloadsTheFileAndClearEmptiesTheDocument) {
    openForm();
    QString path = writeBmp("r.bmp", 90, 60, 5);
    dialogs->openAnswers << path;
    form->Open1Click();
    Bitmap original = *form->ViewBitmap();
    form->TrackBar5->setValue(40);
    form->Button2Click();
    form->UpDown10->setValue(100);
    form->O1Click();
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), original));
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, original));
    EXPECT_EQ(form->UpDown10->value(), -1);
    EXPECT_EQ(form->SourcePath, path);

    form->TrackBar1->setValue(40);
    form->L1Click();
    EXPECT_EQ(form->FastPicture1.GetPictureType(), picNil);
    EXPECT_TRUE(form->SourcePath.isEmpty());
    EXPECT_TRUE(form->DisplayName.isEmpty());
    EXPECT_EQ(form->TrackBar1->value(), 100);
    EXPECT_EQ(form->windowTitle(), "Pixelwright Version 0.8");
    EXPECT_TRUE(std::filesystem::exists(path.toStdString()));
}

TEST_F(FrameTest, TemporaryCopiesAreWrittenAndDeletedButNeverTheUsersFile) {
    openForm();
    QString path = writeBmp("t.bmp", 32, 16);
    dialogs->openAnswers << path;
    form->Open1Click();

    // A user's file is never deleted.
    form->DeleteTemporaryCopy();
    EXPECT_TRUE(std::filesystem::exists(path.toStdString()));

    form->DisplayName = "Copied Bitmap";
    form->SaveTemporaryCopy();
    auto copy = tempFolder() / "ImageData.bmp";
    EXPECT_EQ(form->SourcePath.toStdString(), copy.string());
    ASSERT_TRUE(std::filesystem::exists(copy));
    EXPECT_TRUE(pwtest::sameBitmap(loadBmp(form->SourcePath), *form->ViewBitmap()));

    // Revert reloads the copy and keeps both names; no size text.
    form->TrackBar2->setValue(150);
    form->O1Click();
    EXPECT_EQ(form->DisplayName, "Copied Bitmap");
    EXPECT_TRUE(form->SizeText.isEmpty());
    EXPECT_TRUE(pwtest::sameBitmap(*form->ViewBitmap(), loadBmp(path)));

    // Names by class.
    EXPECT_EQ(TemporaryName(nullptr), "ImageData.dat");
    Metafile mf;
    EXPECT_EQ(TemporaryName(&mf), "ImageData.emf");
    mf.setEnhanced(false);
    EXPECT_EQ(TemporaryName(&mf), "ImageData.wmf");

    // Opening another file deletes the copy; so does closing.
    dialogs->openAnswers << path;
    form->Open1Click();
    EXPECT_FALSE(std::filesystem::exists(copy));
    form->DisplayName = "Dropped Bitmap";
    form->SaveTemporaryCopy();
    ASSERT_TRUE(std::filesystem::exists(copy));
    closeForm();
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_TRUE(std::filesystem::exists(path.toStdString()));
}

TEST_F(FrameTest, ExceptionsInHandlersAreShownAndTheWindowGoesOn) {
    openForm();
    form->Safely([] { throw EInvalidGraphic("画像フォーマットが不正です"); });
    ASSERT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(dialogs->errors[0], QString::fromUtf8("画像フォーマットが不正です"));
    dialogs->openAnswers << writeBmp("after.bmp", 10, 10);
    form->Open1->trigger();
    EXPECT_EQ(form->PictureKind(), 3);
}
