// The document: opening, saving, undo, revert, clear, the base image and the temporary
// copies of pictures that arrived without a file.
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
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
#include "formats/GIFImage.h"
#include "formats/Jpeg.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Limits.h"
#include "platform/Metafile.h"

namespace {

std::filesystem::path toPath(const QString& s) {
    return std::filesystem::path(s.toStdString());
}

// The picture drawn stretched into a new bitmap of the given size (white underneath, for
// pictures with transparent parts).
Bitmap renderShown(const Graphic& graphic, int width, int height) {
    limits::checkPictureSize(width, height);
    Bitmap shown(width, height);
    Canvas canvas(shown);
    canvas.brush().color = clWhite;
    canvas.fillRect(QRect(0, 0, width, height));
    canvas.stretchDraw(QRect(0, 0, width, height), graphic);
    return shown;
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
    if (dynamic_cast<const Bitmap*>(graphic)) return QStringLiteral("ImageData.bmp");
    if (auto* mf = dynamic_cast<const Metafile*>(graphic))
        return mf->enhanced() ? QStringLiteral("ImageData.emf") : QStringLiteral("ImageData.wmf");
    const std::string cls = graphic->className();
    if (cls == "TIcon") return QStringLiteral("ImageData.ico");
    if (cls == "TJPEGImage") return QStringLiteral("ImageData.jpg");
    if (cls == "TGIFImage") return QStringLiteral("ImageData.gif");
    return QStringLiteral("ImageData.dat");
}

void SetJpegQuality(Graphic& graphic, int quality) {
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(&graphic)) jpeg->SetCompressionQuality(quality);
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
        FastPicture1.picture().loadFromFile(toPath(path));
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

    const std::string ext = extensionOf(toPath(path));
    const int width = FastPicture1.Width;
    const int height = FastPicture1.Height;
    if (ext == "bmp") {
        Bitmap shown = renderShown(*graphic, width, height);
        writeFileAtomically(toPath(path), shown.saveToBytes());
    } else if (ext == "emf" || ext == "wmf") {
        limits::checkPictureSize(width, height);
        Metafile recorded;
        recorded.setWidth(width);
        recorded.setHeight(height);
        {
            MetafileCanvas canvas(recorded);
            if (dynamic_cast<const Metafile*>(graphic)) {
                canvas.stretchDraw(QRect(0, 0, width, height), *graphic);
            } else {
                Bitmap shown = renderShown(*graphic, width, height);
                canvas.draw(0, 0, shown);
            }
        }
        recorded.setEnhanced(ext == "emf");
        writeFileAtomically(toPath(path), recorded.saveToBytes());
    } else if (ext == "jpg" || ext == "jpeg" || ext == "gif") {
        Bitmap shown = renderShown(*graphic, width, height);
        std::unique_ptr<Graphic> encoded = Picture::createForExtension(ext);
        SetJpegQuality(*encoded, UpDown1->value());
        encoded->assign(shown);
        writeFileAtomically(toPath(path), encoded->saveToBytes());
    } else {
        FastPicture1.picture().saveToFile(toPath(path));
    }
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

Bitmap DecodedBitmap(const Graphic& graphic) {
    if (auto* bmp = dynamic_cast<const Bitmap*>(&graphic)) return *bmp;
    if (auto* jpeg = dynamic_cast<const TJPEGImage*>(&graphic)) return jpeg->bitmap();
    if (auto* gif = dynamic_cast<const TGIFImage*>(&graphic)) return gif->bitmap();
    limits::checkPictureSize(graphic.width(), graphic.height());
    Bitmap drawn(graphic.width(), graphic.height());
    Canvas canvas(drawn);
    canvas.brush().color = clWhite;
    canvas.fillRect(QRect(0, 0, drawn.width(), drawn.height()));
    canvas.draw(0, 0, graphic);
    return drawn;
}

void TFrameForm::TakeBase() {
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic) return;
    *BaseBitmap = DecodedBitmap(*graphic);
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
