// Exchange with other programs (clipboard, picture drops, dragging out), the trimming
// frame, help, About and printing.
#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QSpinBox>
#include <QUrl>

#include "app/FrameTexts.h"

#include "app/Frame.h"
#include "preview/Preview.h"
#include "preview/SharedPrinter.h"

bool TFrameForm::TrimFrameOff() {
    if (!A1->isChecked()) return false;
    A1Click();
    return true;
}

// Not wired yet: each of these leaves the window as it is.
void TFrameForm::Copy1Click() {}
void TFrameForm::Paste1Click() {}
void TFrameForm::PasteJpeg() {}
void TFrameForm::PasteGif() {}
bool TFrameForm::PutClipboardStream(const QString&, const QByteArray&) {
    return false;
}
bool TFrameForm::GetClipboardStream(const QString&, QByteArray&) {
    return false;
}
void TFrameForm::DropPictureTarget1Drop() {}
void TFrameForm::A1Click() {}
void TFrameForm::T1Click() {}
void TFrameForm::ShowTrimFrame() {}
void TFrameForm::DrawTrimFrame() {}
void TFrameForm::HideTrimFrame() {}
void TFrameForm::H2Click() {
    // A missing Readme.txt produces no message.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QCoreApplication::applicationDirPath() +
                                                  QStringLiteral("/Readme.txt")));
}

void TFrameForm::About1Click() {
    QString title = QFileInfo(QCoreApplication::applicationFilePath()).baseName();
    QMessageBox::about(this, title, title + QString::fromUtf8(texts::kAboutText));
}
void TFrameForm::T2Click() {
    QPageSetupDialog dialog(&SharedPrinter(), this);
    dialog.exec();
}

void TFrameForm::V1Click() {
    const Graphic* picture = FastPicture1.picture().graphic();
    if (!picture || picture->empty()) return;
    TPreviewSource source;
    source.picture = picture;
    source.width = FastPicture1.Width;
    source.height = FastPicture1.Height;
    source.jpegQuality = UpDown1->value();
    source.settings = Parameter1.get();
    TPreviewForm form(source, this);
    form.exec();
}
void TFrameForm::FastPicture1MouseDownTrim(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {}
void TFrameForm::FastPicture1MouseMove(Qt::MouseButtons, Qt::KeyboardModifiers, int, int) {}
