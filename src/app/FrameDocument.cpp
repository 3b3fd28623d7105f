// The document: opening, saving, undo, revert, clear, the base image and the temporary
// copies of pictures that arrived without a file.
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QUrl>

#include "app/Frame.h"
#include "app/FrameDialogs.h"
#include "app/FrameTexts.h"
#include "app/PictureView.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"

namespace {

// Paths cross to the platform layer in the file system's encoding, so that names that
// are not valid UTF-8 still open and save.
std::filesystem::path toPath(const QString& s) {
    const QByteArray encoded = QFile::encodeName(s);
    return std::filesystem::path(std::string(encoded.constData(), size_t(encoded.size())));
}

} // namespace

// ======================================================================================
// Small rules
// ======================================================================================

QString FileSizeText(unsigned long long size) {
    unsigned long long k = size / 1024;
    unsigned long long rest = size % 1024;
    if (rest != 0 && (k == 0 || rest >= 512)) ++k;
    return QStringLiteral("  %1KB").arg(k);
}

QString FolderOf(const QString& path) {
    qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0) return QString();
    // The root keeps its slash, as does a run of slashes ("//x" → "//").
    if (slash == 0 || path[slash - 1] == QLatin1Char('/')) return path.left(slash + 1);
    return path.left(slash);
}

QString TemporaryName(const Graphic* graphic) {
    if (!graphic) return QStringLiteral("ImageData.dat");
    switch (graphic->kind()) {
    case GraphicKind::Bitmap:
        return QStringLiteral("ImageData.bmp");
    case GraphicKind::Metafile:
        return static_cast<const Metafile*>(graphic)->enhanced() ? QStringLiteral("ImageData.emf")
                                                                 : QStringLiteral("ImageData.wmf");
    case GraphicKind::Icon:
        return QStringLiteral("ImageData.ico");
    case GraphicKind::Jpeg:
        return QStringLiteral("ImageData.jpg");
    case GraphicKind::Gif:
        return QStringLiteral("ImageData.gif");
    case GraphicKind::Other:
        break;
    }
    return QStringLiteral("ImageData.dat");
}

// ======================================================================================
// Sliders back to neutral
// ======================================================================================

void TFrameForm::NeutralSliders() {
    int saved = Tag;
    Tag = -1;
    TrackBar6->setValue(0);
    Label11->setText(QString::fromUtf8("自動補正レベル ( 0 )"));
    TrackBar5->setValue(0);
    Label9->setText(QString::fromUtf8("輝度 ( +0 )"));
    TrackBar4->setValue(0);
    Label7->setText(QString::fromUtf8("ガンマ値 ( 1.00 )"));
    TrackBar3->setValue(100);
    Label5->setText(QString::fromUtf8("コントラスト ( 100 % )"));
    TrackBar2->setValue(100);
    Label3->setText(QString::fromUtf8("明るさ ( 100 % )"));
    TrackBar1->setValue(100);
    Label2->setText(QString::fromUtf8("表示倍率 ( 100 % )"));
    Tag = saved == -1 ? -1 : 0;
}

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
    DeleteTemporaryCopy();
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

    FastPicture1.Stretch = false;
    bool loaded = false;
    try {
        FastPicture1.picture().setGraphic(loadPictureFile(toPath(path)));
        // The base image decodes the picture; a JPEG or GIF whose data breaks only while
        // decoding counts as a failed open, not as an error later on.
        TakeBase();
        loaded = !FastPicture1.picture().empty();
    } catch (const std::exception&) {
        loaded = false;
    }
    if (!loaded) {
        FastPicture1.Stretch = true;
        FastPicture1.picture().clear();
        FastPicture1.Invalidate();
        DisplayName.clear();
        SourcePath.clear();
        UpdateCaption();
        RefreshHistogram();
        Dialogs->ShowMessage(this, path + QString::fromUtf8(texts::kCannotOpen));
        return;
    }

    if (DisplayName == SourcePath) {
        SizeText = FileSizeText(QFileInfo(path).size());
        OpenDir = FolderOf(path);
    } else {
        SizeText.clear();
    }
    int width = FastPicture1.picture().width();
    int height = FastPicture1.picture().height();
    int ratio = FitRatio(width, height);
    if (ratio == TrackBar1->value())
        SetViewSize(static_cast<int>(int64_t(width) * ratio / 100),
                    static_cast<int>(int64_t(height) * ratio / 100));
    else
        TrackBar1->setValue(ratio);
    FastPicture1.Stretch = true;
    FastPicture1.Invalidate();
    UpdateCaption();
    RefreshHistogram();
}

// ======================================================================================
// Saving
// ======================================================================================

void TFrameForm::Save1Click() {
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic) return;
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
    savePictureFile(*graphic, toPath(path), options);
    SaveDir = FolderOf(path);
}

// ======================================================================================
// Undo, revert, clear, exit
// ======================================================================================

void TFrameForm::U1Click() {
    TrimFrameOff();
    RestoreBase();
}

void TFrameForm::RestoreBase() {
    if (!ViewBitmap()) return;
    NeutralSliders();
    FastPicture1.picture().assign(BaseBitmap.get());
    // The slider reads 100 again, so the view shows the base image at its own size.
    SetViewSize(BaseBitmap->width(), BaseBitmap->height());
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
    FastPicture1.picture().clear();
    FastPicture1.Invalidate();
    DisplayName.clear();
    SourcePath.clear();
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
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic) return;
    *BaseBitmap = graphicToBitmap(*graphic);
}

std::filesystem::path TFrameForm::TemporaryFolder() const {
    if (!TemporaryFolderOverride.empty()) return TemporaryFolderOverride;
    std::filesystem::path exeDir = toPath(QCoreApplication::applicationDirPath());
    if (::access(exeDir.c_str(), W_OK) == 0) return exeDir;
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        cache = QDir::homePath() + QStringLiteral("/.cache");
    return toPath(cache) / "pixelwright";
}

void TFrameForm::SaveTemporaryCopy() {
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic) return;
    std::filesystem::path folder = TemporaryFolder();
    std::filesystem::create_directories(folder);
    std::filesystem::path path = folder / TemporaryName(graphic).toStdString();
    SourcePath = QString::fromStdString(path.string());
    FastPicture1.picture().saveToFile(path);
}

void TFrameForm::DeleteTemporaryCopy() {
    if (SourcePath.isEmpty() || SourcePath == DisplayName) return;
    std::error_code ec;
    std::filesystem::path path = toPath(SourcePath);
    if (std::filesystem::is_regular_file(path, ec)) std::filesystem::remove(path, ec);
}

// ======================================================================================
// Files dropped from the file manager
// ======================================================================================

namespace {
QString firstDroppedFile(const QMimeData* data) {
    if (!data || !data->hasUrls()) return QString();
    const QList<QUrl> urls = data->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) return QString();
    return urls.first().toLocalFile();
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
