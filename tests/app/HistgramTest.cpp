// The histogram window as the main window drives it.
#include <QAction>
#include <QSlider>
#include <QTest>

#include "FrameTestSupport.h"
#include "app/Histgram.h"
#include "app/PictureView.h"
#include "settings/SettingsKeys.h"

TEST_F(FrameTest, HistogramWindowFollowsThePictureAndKeepsItsBounds) {
    openForm();
    form->H1Click();
    ASSERT_TRUE(form->HistgramForm);
    THistgramForm* window = form->HistgramForm;
    EXPECT_TRUE(form->H1->isChecked());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Histgram");
    EXPECT_EQ(window->pos(), QPoint(491, 355));
    EXPECT_EQ(window->size(), QSize(294, 209));

    // An opened picture shows first; its histogram is counted once the view has painted it,
    // or after a while when the view does not paint.
    const Graphic* empty = window->Image();
    dialogs->openAnswers << writeBmp("h.bmp", 64, 48);
    form->Open1Click();
    EXPECT_EQ(window->Image(), empty);
    form->FastPicture1View->grab();
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->Image());
    EXPECT_NE(window->Image(), empty);
    const Graphic* opened = window->Image();
    dialogs->openAnswers << writeBmp("h2.bmp", 64, 48, 5);
    form->Open1Click();
    EXPECT_EQ(window->Image(), opened);
    QTest::qWait(TFrameForm::kHistogramWaitMs + 200);
    EXPECT_NE(window->Image(), opened);

    // Redrawn at once after colour changes.
    const Graphic* first = window->Image();
    EXPECT_EQ(first->width(), 572);
    EXPECT_EQ(first->height(), 350);
    form->TrackBar2->setValue(130);
    EXPECT_NE(window->Image(), first);

    // Closing it while maximised keeps the stored bounds and stores state 2.
    window->move(100, 120);
    window->resize(300, 200);
    window->close();
    EXPECT_FALSE(form->H1->isChecked());
    EXPECT_EQ(form->Parameter1->ReadInteger(SettingsKeys::HLeft), 100);
    form->H1Click();
    ASSERT_TRUE(form->HistgramForm);
    EXPECT_NE(form->HistgramForm, window); // a new window each time
    EXPECT_EQ(form->HistgramForm->pos(), QPoint(100, 120));
    form->HistgramForm->setWindowState(Qt::WindowMaximized);
    form->HistgramForm->close();
    EXPECT_EQ(form->Parameter1->ReadInteger(SettingsKeys::HWindowState), 2);
    EXPECT_EQ(form->Parameter1->ReadInteger(SettingsKeys::HClientWidth), 300);

    // The main window's close writes Histgram; the next start reopens the window.
    form->H1Click();
    form->HistgramForm->setWindowState(Qt::WindowNoState);
    closeForm();
    openForm();
    EXPECT_TRUE(form->H1->isChecked());
    ASSERT_TRUE(form->HistgramForm);
    EXPECT_TRUE(form->HistgramForm->isVisible());
    EXPECT_TRUE(dialogs->errors.isEmpty()) << dialogs->errors.join("\n").toStdString();
}
