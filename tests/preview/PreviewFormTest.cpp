// The print preview window: click panels, captions, the information button, printing and
// the settings it keeps.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPrinter>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "PreviewTestSupport.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"
#include "preview/GrphPrev.h"
#include "preview/Preview.h"
#include "settings/Param.h"
#include "settings/SettingsKeys.h"
#include "support/TestSupport.h"

namespace {

QString u8(const char* s) {
    return QString::fromUtf8(s);
}

struct PreviewForm : ::testing::Test {
    pwtest::TempDir dir;
    QPrinter printer{QPrinter::HighResolution};
    TParameter settings;
    Bitmap picture = pwtest::makeTestBitmap(120, 80);
    int dialogCopies = 1;
    int dialogShown = 0;
    std::unique_ptr<TPreviewForm> form;
    // Message boxes are answered at once and their texts kept, so that a message the test
    // does not expect fails it instead of waiting forever.
    QStringList messages;
    QTimer dismisser;

    void SetUp() override {
        registerPictureFormats();
        dismisser.setInterval(20);
        QObject::connect(&dismisser, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                messages << box->text();
                box->accept();
            }
        });
        dismisser.start();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setResolution(600);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setOutputFileName(QString::fromStdString((dir / "out.pdf").string()));
        SettingsKeys::WriteFirstRun(settings, 10, 10);
    }
    void open(const Graphic* g = nullptr, int w = 120, int h = 80) {
        TPreviewSource source;
        source.picture = g ? g : &picture;
        source.width = w;
        source.height = h;
        source.jpegQuality = 30;
        source.settings = &settings;
        source.printer = &printer;
        source.printDialog = [this](QPrinter&, int& copies, QWidget*) {
            ++dialogShown;
            copies = dialogCopies;
            return true;
        };
        form = std::make_unique<TPreviewForm>(source);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        EXPECT_TRUE(messages.isEmpty()) << messages.join(QStringLiteral("; ")).toStdString();
    }
    TGraphicPreview& preview() { return *form->GraphicPreview1; }
    void press(QWidget* w, Qt::MouseButton b, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QTest::mousePress(w, b, m, QPoint(5, 5));
        QTest::mouseRelease(w, b, m, QPoint(5, 5));
    }
};

TEST_F(PreviewForm, ShowingReadsSettingsLoadsThePictureAndWritesCaptions) {
    settings.WriteInteger("PrintRatio", 50);
    settings.WriteInteger("PreviewRatio", 9); // out of range: the default stays
    settings.WriteInteger("GraphicMode", 1);
    open();
    EXPECT_EQ(preview().PrintRatio(), 50);
    EXPECT_EQ(preview().PreviewRatio(), 20);
    EXPECT_EQ(preview().GraphicMode(), gmGraphic);
    EXPECT_EQ(form->windowTitle(), u8("印刷プレビュー"));
    EXPECT_EQ(form->Panel2->text(), u8("倍率"));
    EXPECT_EQ(form->Panel3->text(), QStringLiteral("Graphic"));
    EXPECT_EQ(form->Panel4->text(), u8("印刷の倍率 = 50 %"));
    EXPECT_EQ(form->Panel5->text(), u8("プレビューの倍率 = 20 %"));
    // 120 x 80 at 600 / 96 x 50 %: 375 x 250 printer pixels.
    EXPECT_EQ(form->Panel7->text(), u8("印刷  (0,"));
    EXPECT_EQ(form->Panel9->text(), QStringLiteral("374,"));
    EXPECT_EQ(form->Panel10->text(), QStringLiteral("249) Pixel"));
    EXPECT_EQ(form->Panel11->text(), u8("範囲  (3.51,"));
    EXPECT_EQ(form->Panel4->toolTip(), u8("左クリックで - 、右クリックで +"));
    EXPECT_EQ(preview().TileCount(), 1);
    EXPECT_EQ(preview().Tile(0)->size(), QSize(163, 229));
}

TEST_F(PreviewForm, RatioPanelsStepAndClamp) {
    open();
    preview().SetPrintRatio(10);
    press(form->Panel4, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(preview().PrintRatio(), 10);
    press(form->Panel4, Qt::RightButton, Qt::ControlModifier); // step 1
    EXPECT_EQ(preview().PrintRatio(), 11);
    preview().SetPrintRatio(995);
    press(form->Panel4, Qt::RightButton); // step 10
    EXPECT_EQ(preview().PrintRatio(), 1000);
    press(form->Panel4, Qt::RightButton);
    EXPECT_EQ(preview().PrintRatio(), 1000);
    EXPECT_EQ(form->Panel4->text(), u8("印刷の倍率 = 1000 %"));
    press(form->Panel4, Qt::LeftButton); // step 10
    EXPECT_EQ(preview().PrintRatio(), 990);
    press(form->Panel4, Qt::LeftButton, Qt::AltModifier); // step 5
    EXPECT_EQ(preview().PrintRatio(), 985);
    // 120 x 80 at 985 %: 7387 x 4925 printer pixels, two columns.
    EXPECT_EQ(preview().TileCount(), 2);

    preview().SetPreviewRatio(15);
    press(form->Panel5, Qt::LeftButton);
    EXPECT_EQ(preview().PreviewRatio(), 10);
    press(form->Panel5, Qt::RightButton, Qt::ShiftModifier);
    EXPECT_EQ(preview().PreviewRatio(), 12);
    EXPECT_EQ(form->Panel5->text(), u8("プレビューの倍率 = 12 %"));
}

TEST_F(PreviewForm, PanelsSwitchModes) {
    open();
    const TPxRect before = preview().GetPrintRect();
    press(form->Panel9, Qt::MiddleButton);
    EXPECT_EQ(preview().GetPrintRect(), before);
    EXPECT_EQ(preview().PrintMode(), pmArea);
    EXPECT_EQ(form->Panel2->text(), u8("範囲"));

    press(form->Panel10, Qt::RightButton, Qt::ShiftModifier); // Bottom + 5
    EXPECT_EQ(preview().GetPrintRect().Bottom, before.Bottom + 5);
    press(form->Panel4, Qt::RightButton, Qt::ControlModifier); // back to ratio mode, 101 %
    EXPECT_EQ(preview().PrintMode(), pmRatio);
    EXPECT_EQ(preview().PrintRatio(), 101);
    EXPECT_EQ(preview().GetPrintRect().Bottom, 80 * 600 * 101 / 96 / 100 - 1);

    press(form->Panel7, Qt::RightButton, Qt::AltModifier); // Left + 20, still ratio mode
    EXPECT_EQ(preview().GetPrintRect().Left, 20);
    EXPECT_EQ(preview().PrintMode(), pmRatio);
    press(form->Panel8, Qt::LeftButton); // Top - 50 wraps onto the sheet
    EXPECT_EQ(preview().GetPrintPos().y(), preview().PrinterInfo().PrintableHeightPx - 50);
    press(form->Panel11, Qt::RightButton, Qt::NoModifier); // + 5 mm
    EXPECT_NEAR(preview().GetPrintRectMM().Left, 3.51 + 20 * 25.4 / 600 + 5, 0.05);
    press(form->Panel13, Qt::LeftButton, Qt::ControlModifier); // Right - 0.5 mm, area mode
    EXPECT_EQ(preview().PrintMode(), pmArea);

    press(form->Panel2, Qt::LeftButton);
    EXPECT_EQ(preview().PrintMode(), pmRatio);
    press(form->Panel3, Qt::RightButton);
    EXPECT_EQ(preview().GraphicMode(), gmGraphic);
    EXPECT_EQ(form->Panel3->text(), QStringLiteral("Graphic"));
}

TEST_F(PreviewForm, ClicksOnTheTilesActThenUpdateTheCaptions) {
    open();
    QWidget* tile = const_cast<QWidget*>(preview().Tile(0));
    QTest::mouseClick(tile, Qt::LeftButton, Qt::NoModifier, QPoint(40, 40));
    EXPECT_EQ(preview().GetPrintPos(), QPoint(1117, 1117));
    EXPECT_EQ(form->Panel7->text(), u8("印刷  (1117,"));
    QTest::mouseDClick(tile, Qt::LeftButton, Qt::NoModifier, QPoint(40, 40));
    EXPECT_EQ(preview().GetPrintPos(), QPoint(0, 0));
    EXPECT_EQ(form->Panel8->text(), QStringLiteral("0,"));
}

TEST_F(PreviewForm, ClosingKeepsNormalBoundsAndTheSettings) {
    open();
    form->move(50, 60);
    form->resize(500, 400);
    preview().SetPrintRatio(70);
    form->reject();
    EXPECT_EQ(settings.ReadInteger("PClientWidth"), 500);
    EXPECT_EQ(settings.ReadInteger("PClientHeight"), 400);
    EXPECT_EQ(settings.ReadInteger("PWindowState"), 0);
    EXPECT_EQ(settings.ReadInteger("PrintRatio"), 70);

    open();
    form->setWindowState(Qt::WindowMaximized);
    preview().SetGraphicMode(gmGraphic);
    preview().SetPreviewRatio(30);
    form->reject();
    EXPECT_EQ(settings.ReadInteger("PClientWidth"), 500);
    EXPECT_EQ(settings.ReadInteger("PClientHeight"), 400);
    EXPECT_EQ(settings.ReadInteger("PWindowState"), 2);
    EXPECT_EQ(settings.ReadInteger("GraphicMode"), 1);
    EXPECT_EQ(settings.ReadInteger("PreviewRatio"), 30);
    EXPECT_EQ(settings.ReadInteger("PrintRatio"), 70);
}

TEST_F(PreviewForm, InformationButtonShowsAndPrintsTheListing) {
    PV_REQUIRE_TOOL("pdftotext");
    open();
    QTest::mouseClick(form->Button3, Qt::LeftButton);
    EXPECT_EQ(form->Button3->text(), u8("画像"));
    EXPECT_EQ(form->Button3->toolTip(), u8("画像を表示します。"));
    ASSERT_EQ(preview().GetGraphic()->kind(), GraphicKind::Metafile);
    EXPECT_EQ(preview().PageColumns(), 1);

    dialogCopies = 2;
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    EXPECT_EQ(dialogShown, 1);
    EXPECT_EQ(pvtest::pdfPages(dir / "out.pdf"), 2);
    const std::string text = pvtest::runCommand("pdftotext '" + (dir / "out.pdf").string() + "' -");
    EXPECT_NE(text.find("紙情報"), std::string::npos);
    EXPECT_EQ(printer.copyCount(), 1); // the copies were printed as sheets, not by the printer

    QTest::mouseClick(form->Button3, Qt::LeftButton);
    EXPECT_EQ(form->Button3->text(), u8("情報"));
    EXPECT_EQ(form->Button3->toolTip(), u8("紙情報を表示します。"));
    EXPECT_EQ(preview().GetGraphic()->kind(), GraphicKind::Bitmap);
}

TEST_F(PreviewForm, AFailedPrintShowsTheReasonAndKeepsTheWindow) {
    printer.setOutputFileName(QString::fromStdString((dir / "gone/out.pdf").string()));
    open();
    preview().SetPrintRatio(300);
    const TPxRect before = preview().GetPrintRect();
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1);
    const QString shown = messages.front();
    EXPECT_TRUE(shown.contains(u8("印刷を開始できません"))) << shown.toStdString();
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(preview().GetPrintRect(), before);
    EXPECT_EQ(preview().PrintRatio(), 300);
    EXPECT_TRUE(preview().GetGraphic());
}

TEST_F(PreviewForm, PicturesArriveAtTheirDisplayedSizeByKind) {
    // A JPEG is shown as the encoder gives it back at the chosen quality.
    TJPEGImage jpeg;
    jpeg.assign(picture);
    open(&jpeg, 120, 80);
    ASSERT_EQ(preview().GetGraphic()->kind(), GraphicKind::Jpeg);
    const auto* got = static_cast<const TJPEGImage*>(preview().GetGraphic());
    TJPEGImage encoder;
    encoder.assign(picture);
    encoder.SetCompressionQuality(30);
    TJPEGImage expected;
    expected.loadFromBytes(encoder.saveToBytes());
    Bitmap want, have;
    expected.assignTo(want);
    got->assignTo(have);
    EXPECT_TRUE(pwtest::sameBitmap(have, want));
    EXPECT_FALSE(pwtest::sameBitmap(have, picture));
    form->reject();

    // A metafile measures the displayed size after the screen correction.
    Metafile mf;
    mf.setWidth(300);
    mf.setHeight(200);
    {
        MetafileCanvas c(mf);
        c.fillRect(QRect(0, 0, 300, 200));
    }
    open(&mf, 150, 100);
    ASSERT_EQ(preview().GetGraphic()->kind(), GraphicKind::Metafile);
    EXPECT_EQ(preview().GetGraphic()->width(), 150);
    EXPECT_EQ(preview().GetGraphic()->height(), 100);
}

} // namespace
