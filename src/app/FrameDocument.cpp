// The window's side of the document: the open, save, undo, revert and clear commands.
// The document itself (TDocument) holds the picture's copies and does the file work; the
// handlers here add the window's part: dialogs, sliders, view size, caption, histogram
// and messages.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QUrl>

#include "app/Frame.h"
#include "app/FrameDialogs.h"
#include "app/FrameTexts.h"
#include "app/PictureView.h"
#include "platform/Bitmap.h"

// ======================================================================================
// Opening
// ======================================================================================

void TFrameForm::Open1Click() {
    TrimFrameOff();
    QString path = Dialogs->OpenFile(this, OpenDir, QString::fromUtf8(texts::kOpenFilter),
                                     texts::kFilterIndex);
    if (path.isEmpty()) return;
    OpenFromShell(path);
}

void TFrameForm::OpenFromShell(const QString& path) {
    Document.DeleteTemporaryCopy();
    DisplayName = path;
    SourcePath = DisplayName;
    OpenPicture(SourcePath);
    UpDown10->setValue(-1);
    PageControl1->setCurrentIndex(0);
    TrackBar6->setFocus();
}

void TFrameForm::OpenPicture(QString path) {
    if (path.isEmpty()) return;
    FastPicture1.picture().clear();
    FastPicture1.Invalidate();
    NeutralSliders();
    if (!Document.Load(path)) {
        UpdateCaption();
        RefreshHistogram();
        Dialogs->ShowMessage(this, path + QString::fromUtf8(texts::kCannotOpen));
        return;
    }
    FitView();
    FastPicture1.Invalidate();
    UpdateCaption();
    // The picture shows first; its histogram follows.
    RefreshHistogramAfterPaint();
}

void TFrameForm::PictureArrived(std::unique_ptr<Graphic> picture, const QString& label) {
    FastPicture1.picture().clear();
    FastPicture1.Invalidate();
    NeutralSliders();
    FastPicture1.Stretch = false;
    if (picture && !picture->empty()) {
        Document.Arrive(std::move(picture), label);
        FitView();
        PageControl1->setCurrentIndex(0);
        TrackBar6->setFocus();
    }
    FastPicture1.Stretch = true;
    FastPicture1.Invalidate();
    UpdateCaption();
    RefreshHistogram();
    UpDown10->setValue(-1);
}

void TFrameForm::FitView() {
    const int width = FastPicture1.picture().width();
    const int height = FastPicture1.picture().height();
    const int ratio = FitRatio(width, height);
    if (ratio == TrackBar1->value())
        SetViewSize(ScaledSize(width, ratio), ScaledSize(height, ratio));
    else
        TrackBar1->setValue(ratio);
}

// ======================================================================================
// Saving
// ======================================================================================

void TFrameForm::Save1Click() {
    if (!FastPicture1.picture().graphic()) return;
    TrimFrameOff();
    QString proposed = QFileInfo(SourcePath).fileName();
    QString path = Dialogs->SaveFile(this, QString::fromUtf8(texts::kSaveTitle), SaveDir, proposed,
                                     QString::fromUtf8(texts::kSaveFilter), texts::kFilterIndex);
    if (path.isEmpty()) return;
    // The picture is saved at the size shown.
    SaveOptions options;
    options.width = FastPicture1.Width;
    options.height = FastPicture1.Height;
    options.jpegQuality = UpDown1->value();
    Document.Save(path, options);
}

// ======================================================================================
// Undo, revert, clear, exit
// ======================================================================================

void TFrameForm::U1Click() {
    TrimFrameOff();
    RestoreBase();
}

void TFrameForm::RestoreBase() {
    if (FastPicture1.GetPictureType() != picBitmap) return;
    // The tone sliders go back to neutral; the display ratio the user chose stays, and
    // the view shows the base image at that ratio.
    NeutralSliders(kAutomaticSlider | kToneSliders);
    Document.RestoreBase();
    const int ratio = TrackBar1->value();
    SetViewSize(ScaledSize(BaseBitmap->width(), ratio), ScaledSize(BaseBitmap->height(), ratio));
    FastPicture1.Invalidate();
    UpdateCaption();
    RefreshHistogram();
    if (PageControl1->currentIndex() == 0) TrackBar6->setFocus();
}

void TFrameForm::O1Click() {
    TrimFrameOff();
    OpenPicture(SourcePath);
    UpDown10->setValue(-1);
    if (PageControl1->currentIndex() == 0) TrackBar6->setFocus();
}

void TFrameForm::L1Click() {
    Document.Clear();
    NeutralSliders();
    UpdateCaption();
    RefreshHistogram();
}

void TFrameForm::Exit1Click() {
    TrimFrameOff();
    close();
}

// ======================================================================================
// Base image and temporary copies
// ======================================================================================

void TFrameForm::TakeBase() {
    Document.TakeBase();
}

void TFrameForm::SaveTemporaryCopy() {
    Document.SaveTemporaryCopy();
}

void TFrameForm::DeleteTemporaryCopy() {
    Document.DeleteTemporaryCopy();
}

// ======================================================================================
// Files dropped from the file manager
// ======================================================================================

namespace {
QString firstDroppedFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) return QString();
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) return QString();
    // The path's bytes as the URL carries them, so that a name that is not valid UTF-8
    // keeps its bytes.
    const QByteArray encoded = urls.first().path(QUrl::FullyEncoded).toLatin1();
    const QByteArray bytes = QByteArray::fromPercentEncoding(encoded);
    return FromPath(std::string(bytes.constData(), size_t(bytes.size())));
}
} // namespace

void TFrameForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!firstDroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TFrameForm::dropEvent(QDropEvent* event) {
    // Only the first file is opened; the others are ignored.
    QString path = firstDroppedFile(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    Safely([&] { OpenFromShell(path); });
}
