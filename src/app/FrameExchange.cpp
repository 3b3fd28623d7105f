// Exchange with other programs (clipboard, picture drops, dragging out), the trimming
// frame, help, About and printer setup.
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMimeData>
#include <QPageSetupDialog>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTabWidget>
#include <QUrl>

#include "app/Frame.h"
#include "app/FrameDialogs.h"
#include "app/FrameTexts.h"
#include "app/PictureView.h"
#include "dragdrop/ClipboardData.h"
#include "dragdrop/DropBMPSource.h"
#include "dragdrop/DropMetaSource.h"
#include "dragdrop/DropPictureTarget.h"
#include "dragdrop/PictureData.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/GraphicBitmap.h"
#include "platform/Metafile.h"
#include "preview/Preview.h"
#include "preview/SharedPrinter.h"

using namespace dragdrop;

namespace {

// The drag threshold: a press must move this far before a drag starts.
constexpr int kDragThreshold = 5;

GraphicKind kindOf(const Graphic* g) {
    return g ? g->kind() : GraphicKind::Other;
}

// The picture drawn stretched into a new bitmap of the view's size, white underneath
// parts that are see-through. A bitmap already of that size is copied as it is (with its
// pixel format and palette).
Bitmap shownBitmap(const Graphic& graphic, int width, int height) {
    if (graphic.kind() == GraphicKind::Bitmap && graphic.width() == width &&
        graphic.height() == height)
        return static_cast<const Bitmap&>(graphic);
    return graphicToBitmap(graphic, width, height);
}

// A new metafile of the view's size with the picture drawn stretched into it.
Metafile shownMetafile(const Graphic& graphic, int width, int height) {
    SaveOptions options;
    options.width = width;
    options.height = height;
    std::unique_ptr<Graphic> recorded = convertPicture(graphic, GraphicKind::Metafile, options);
    return static_cast<Metafile&>(*recorded);
}

QString mimeOfFormat(const QString& format) {
    QString m = mimeForFormatName(format.toStdString());
    return m.isEmpty() ? format : m;
}

// Switches the trimming frame back on at the end of a scope when it was on at its start
// (also when the handler leaves by an exception).
class FrameRestorer {
public:
    explicit FrameRestorer(TFrameForm& form) : form_(form), on_(form.TrimFrameOff()) {}
    ~FrameRestorer() {
        if (on_ && !form_.A1->isChecked()) {
            try {
                form_.A1Click();
            } catch (const std::exception&) {
                // The frame stays off; the handler's own error is the one reported.
            }
        }
    }
    FrameRestorer(const FrameRestorer&) = delete;
    FrameRestorer& operator=(const FrameRestorer&) = delete;

private:
    TFrameForm& form_;
    bool on_;
};

// Readme.txt beside the executable, else in the installed data folder.
QString readmePath() {
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/Readme.txt");
    if (QFileInfo(beside).isFile()) return beside;
#ifdef PW_DATA_DIR
    const QString installed = QStringLiteral(PW_DATA_DIR "/Readme.txt");
    if (QFileInfo(installed).isFile()) return installed;
#endif
    const QString located = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                                   QStringLiteral("pixelwright/Readme.txt"));
    return located;
}

} // namespace

// ======================================================================================
// Small rules
// ======================================================================================

QString ArrivalLabel(const Graphic* graphic, bool dropped) {
    const char* prefix = dropped ? "Dropped " : "Copied ";
    const char* name = "Image";
    switch (kindOf(graphic)) {
    case GraphicKind::Metafile:
        name = "Metafile";
        break;
    case GraphicKind::Bitmap:
        name = "Bitmap";
        break;
    case GraphicKind::Jpeg:
        name = "JPEG";
        break;
    case GraphicKind::Gif:
        // A dropped GIF picture has no label of its own.
        if (!dropped) name = "GIF";
        break;
    case GraphicKind::Icon:
        name = "Icon";
        break;
    default:
        break;
    }
    return QString::fromLatin1(prefix) + QString::fromLatin1(name);
}

std::vector<QRect> InvertTrimFrame(Bitmap& bitmap, const TRect& frame) {
    std::vector<QRect> changed;
    if (bitmap.empty()) return changed;
    int l = frame.Left, t = frame.Top, r = frame.Right, b = frame.Bottom;
    if (r < l) std::swap(l, r);
    if (b < t) std::swap(t, b);
    // A pen of width 2 centred on the outline (left, top)–(right − 1, bottom − 1): the
    // outer edge runs from one pixel outside left/top to right − 1 / bottom − 1.
    constexpr int kPen = 2;
    const int ox0 = l - 1, oy0 = t - 1, ox1 = r - 1, oy1 = b - 1;
    const int ix0 = ox0 + kPen, iy0 = oy0 + kPen, ix1 = ox1 - kPen, iy1 = oy1 - kPen;
    const int w = bitmap.width(), h = bitmap.height();
    const int bits = bitmap.bitsPerPixel();

    // Inverts the pixels x0..x1 of row y, each once, whatever the pixel format.
    auto invertSpan = [&](int y, int x0, int x1) {
        x0 = std::max(x0, 0);
        x1 = std::min(x1, w - 1);
        if (y < 0 || y >= h || x0 > x1) return;
        uint8_t* row = bitmap.scanLine(y);
        if (bits >= 8) {
            const int bytes = bits / 8;
            uint8_t* p = row + static_cast<ptrdiff_t>(x0) * bytes;
            uint8_t* end = row + static_cast<ptrdiff_t>(x1 + 1) * bytes;
            // The fourth byte of a 32-bit pixel is not colour: it stays as it is.
            if (bytes == 4) {
                for (; p < end; p += 4) {
                    p[0] = uint8_t(~p[0]);
                    p[1] = uint8_t(~p[1]);
                    p[2] = uint8_t(~p[2]);
                }
            } else {
                for (; p < end; ++p)
                    *p = uint8_t(~*p);
            }
        } else {
            for (int x = x0; x <= x1; ++x) {
                const int bit = x * bits;
                const uint8_t mask = uint8_t(((1 << bits) - 1) << (8 - bits - bit % 8));
                row[bit / 8] ^= mask;
            }
        }
    };

    const int ylo = std::max(oy0, 0), yhi = std::min(oy1, h - 1);
    for (int y = ylo; y <= yhi; ++y) {
        if (y < iy0 || y > iy1 || ix0 > ix1) {
            invertSpan(y, ox0, ox1);
        } else {
            invertSpan(y, ox0, ix0 - 1);
            invertSpan(y, ix1 + 1, ox1);
        }
    }
    const QRect outer(QPoint(ox0, oy0), QPoint(ox1, oy1));
    // The four bands, for repainting.
    changed.push_back(QRect(outer.left(), outer.top(), outer.width(), kPen));
    changed.push_back(QRect(outer.left(), outer.bottom() - kPen + 1, outer.width(), kPen));
    changed.push_back(QRect(outer.left(), outer.top(), kPen, outer.height()));
    changed.push_back(QRect(outer.right() - kPen + 1, outer.top(), kPen, outer.height()));
    return changed;
}

// ======================================================================================
// Components
// ======================================================================================

bool TFrameForm::TrimFrameOff() {
    if (!A1->isChecked()) return false;
    A1Click();
    return true;
}

void TFrameForm::CreateExchange() {
    DropPictureTarget1 = new TDropPictureTarget(this);
    DropPictureTarget1->Dragtypes = kAllDragTypes;
    DropPictureTarget1->GetDataOnEnter = false;
    DropPictureTarget1->SetShowImage(true);
    DropPictureTarget1->OnDrop = [this](TDropTarget*, KeyState, QPoint, uint32_t&) {
        Safely([this] { DropPictureTarget1Drop(); });
    };
    DropPictureTarget1->OnError = [this](TDropTarget*, const QString& message) {
        Dialogs->ShowError(this, message);
    };
    DropBMPSource1 = new TDropBMPSource(this);
    DropBMPSource1->Dragtypes = kAllDragTypes;
    DropBMPSource1->SetShowImage(false);
    DropBMPSource1->ImageHotSpotX = 16;
    DropBMPSource1->ImageHotSpotY = 16;
    DropMetaSource1 = new TDropMetaSource(this);
    DropMetaSource1->Dragtypes = kAllDragTypes;
    DropMetaSource1->SetShowImage(false);
    DropMetaSource1->ImageHotSpotX = 16;
    DropMetaSource1->ImageHotSpotY = 16;
    DropPictureTarget1->Register(ScrollBox1);
}

// ======================================================================================
// Clipboard
// ======================================================================================

bool TFrameForm::PutClipboardStream(const QString& format, const QByteArray& stream) {
    if (stream.isEmpty()) return false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    auto data = std::make_unique<QMimeData>();
    data->setData(mimeOfFormat(format), stream);
    clipboard->clear();
    clipboard->setMimeData(data.release());
    return true;
}

bool TFrameForm::GetClipboardStream(const QString& format, QByteArray& stream) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData() : nullptr;
    if (!data) return false;
    // The registered name's MIME type, or one of the spellings other programs use for it.
    const QString offered = offeredMime(*data, mimeOfFormat(format));
    if (offered.isEmpty()) return false;
    QByteArray bytes = data->data(offered);
    if (bytes.isEmpty()) return false;
    stream = std::move(bytes);
    return true;
}

void TFrameForm::Copy1Click() {
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic) return;
    const GraphicKind kind = graphic->kind();
    if (kind == GraphicKind::Icon)
        throw EInvalidGraphicOperation("クリップボードはアイコンには対応していません");
    FrameRestorer restore(*this);
    graphic = FastPicture1.picture().graphic();
    const int width = FastPicture1.Width;
    const int height = FastPicture1.Height;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return;
    if (kind == GraphicKind::Metafile) {
        Metafile recorded = shownMetafile(*graphic, width, height);
        clipboard->clear();
        clipboard->setMimeData(metafileClipboardData(recorded).release());
        return;
    }
    if (kind == GraphicKind::Jpeg || kind == GraphicKind::Gif) {
        // A complete JPEG file (at the quality control's quality) or GIF file of the picture
        // as shown.
        SaveOptions options;
        options.jpegQuality = UpDown1->value();
        options.width = width;
        options.height = height;
        const std::vector<uint8_t> bytes = savePictureBytes(*graphic, kind, options);
        PutClipboardStream(QString::fromLatin1(kind == GraphicKind::Jpeg ? "JFIF" : "GIF Image"),
                           QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                      static_cast<qsizetype>(bytes.size())));
        return;
    }
    clipboard->clear();
    clipboard->setMimeData(bitmapClipboardData(shownBitmap(*graphic, width, height)).release());
}

namespace {

// The "JFIF" or "GIF Image" stream of the clipboard as a new picture of that class.
std::unique_ptr<Graphic> clipboardStreamPicture(TFrameForm& form, const char* format,
                                                const char* extension) {
    QByteArray stream;
    if (!form.GetClipboardStream(QString::fromLatin1(format), stream)) return nullptr;
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(stream.constData()),
                                         static_cast<size_t>(stream.size()));
    if (std::string_view(extension) == "jpg") checkJpegComplete(bytes);
    // Read and decoded now: data that cannot be is refused here.
    std::unique_ptr<Graphic> g = loadPictureBytes(bytes, extension);
    if (g->kind() == GraphicKind::Jpeg)
        static_cast<TJPEGImage&>(*g).SetCompressionQuality(form.UpDown1->value());
    return g;
}

} // namespace

void TFrameForm::PasteJpeg() {
    std::unique_ptr<Graphic> g = clipboardStreamPicture(*this, "JFIF", "jpg");
    if (!g) return;
    const QString label = ArrivalLabel(g.get(), false);
    PictureArrived(std::move(g), label);
}

void TFrameForm::PasteGif() {
    std::unique_ptr<Graphic> g = clipboardStreamPicture(*this, "GIF Image", "gif");
    if (!g) return;
    const QString label = ArrivalLabel(g.get(), false);
    PictureArrived(std::move(g), label);
}

void TFrameForm::Paste1Click() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData() : nullptr;
    if (!data) return;
    const DataKind kind = firstOffered(*data, pasteOrder());
    if (kind == DataKind::None) return;
    TrimFrameOff();
    // The data is read before the picture in view is given up: data that cannot be read
    // is refused with the reader's message and the picture stays.
    if (kind == DataKind::Jpeg) {
        PasteJpeg();
        return;
    }
    if (kind == DataKind::Gif) {
        PasteGif();
        return;
    }
    std::unique_ptr<Graphic> g = readPictureData(*data, kind);
    if (!g) return;
    const QString label = ArrivalLabel(g.get(), false);
    PictureArrived(std::move(g), label);
}

void TFrameForm::DropPictureTarget1Drop() {
    TDropPictureTarget& target = *DropPictureTarget1;
    if (target.Picture.empty()) {
        // Files from a file manager open as the open command opens them.
        if (!target.DroppedFiles.isEmpty()) {
            TrimFrameOff();
            OpenFromShell(target.DroppedFiles.first());
        }
        return;
    }
    TrimFrameOff();
    // The target's picture lives only during this handler: the view takes it over.
    std::unique_ptr<Graphic> dropped = target.Picture.release();
    const QString label = ArrivalLabel(dropped.get(), true);
    PictureArrived(std::move(dropped), label);
}

// ======================================================================================
// Dragging the picture out
// ======================================================================================

void TFrameForm::FastPicture1MouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, int x,
                                       int y) {
    if (buttons != Qt::LeftButton) return;
    if (shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) return;
    const Graphic* graphic = FastPicture1.picture().graphic();
    if (!graphic || graphic->empty()) return;
    if (std::abs(x - DownPoint.x()) < kDragThreshold &&
        std::abs(y - DownPoint.y()) < kDragThreshold)
        return;

    // The window does not take its own drag; both settings come back however it ends.
    DropPictureTarget1->Dragtypes = 0;
    struct TargetRestorer {
        TDropPictureTarget* target;
        ~TargetRestorer() { target->Dragtypes = kAllDragTypes; }
    } targetRestorer{DropPictureTarget1};
    FrameRestorer frameRestorer(*this);

    graphic = FastPicture1.picture().graphic();
    const int width = FastPicture1.Width;
    const int height = FastPicture1.Height;
    if (kindOf(graphic) == GraphicKind::Metafile) {
        if (TrackBar1->value() == 100)
            DropMetaSource1->SetMetafile(*FastPicture1.picture().as<Metafile>());
        else
            DropMetaSource1->SetMetafile(shownMetafile(*graphic, width, height));
        DropMetaSource1->Execute();
    } else {
        DropBMPSource1->SetBitmap(shownBitmap(*graphic, width, height));
        DropBMPSource1->Execute();
    }
}

// ======================================================================================
// Trimming frame
// ======================================================================================

void TFrameForm::A1Click() {
    if (kindOf(FastPicture1.picture().graphic()) == GraphicKind::Icon) return;
    if (A1->isChecked()) {
        HideTrimFrame();
        A1->setChecked(false);
    } else {
        if (FastPicture1.picture().empty()) {
            T1->setEnabled(false);
            return;
        }
        // The frame is drawn on a bitmap's pixels: any other picture becomes one.
        if (!ViewBitmap()) ApplyTone();
        ShowTrimFrame();
        A1->setChecked(true);
    }
    T1->setEnabled(A1->isChecked());
}

void TFrameForm::ShowTrimFrame() {
    const int w = FastPicture1.Width;
    const int h = FastPicture1.Height;
    if (TrimRect.Right > w - 1) {
        TrimRect.Right = w - 1;
        if (TrimRect.Right <= TrimRect.Left) TrimRect.Left = std::max(w - 2, 0);
    }
    if (TrimRect.Bottom > h - 1) {
        TrimRect.Bottom = h - 1;
        if (TrimRect.Bottom <= TrimRect.Top) TrimRect.Top = std::max(h - 2, 0);
    }
    DrawTrimFrame();
    ComboBox1->setCurrentIndex(PictureKind());
}

void TFrameForm::DrawTrimFrame() {
    Bitmap* bmp = ViewBitmap();
    if (!bmp || bmp->empty()) return;
    // Drawn in place: the picture is not copied, and only the frame's pixels are shown
    // again.
    FastPicture1View->PixelsChanged(InvertTrimFrame(*bmp, TrimRect));
}

void TFrameForm::HideTrimFrame() {
    DrawTrimFrame();
}

void TFrameForm::FastPicture1MouseDownTrim(Qt::MouseButton button, Qt::KeyboardModifiers, int x,
                                           int y) {
    if (!A1->isChecked()) return;
    if (button != Qt::LeftButton && button != Qt::RightButton) return;
    const Bitmap* bmp = ViewBitmap();
    if (!bmp) return;
    DrawTrimFrame();
    const int p = TrackBar1->value();
    if (p != 100 && p > 0) {
        x = static_cast<int>(int64_t(x) * 100 / p);
        y = static_cast<int>(int64_t(y) * 100 / p);
    }
    TRect r = TrimRect;
    if (button == Qt::LeftButton) {
        const int w = r.Right - r.Left;
        const int h = r.Bottom - r.Top;
        r.Left = x;
        r.Right = x + w;
        if (r.Right > bmp->width() - 1) {
            r.Right = bmp->width() - 1;
            r.Left = r.Right - w;
        }
        r.Top = y;
        r.Bottom = y + h;
        if (r.Bottom > bmp->height() - 1) {
            r.Bottom = bmp->height() - 1;
            r.Top = r.Bottom - h;
        }
    } else {
        r.Right = x;
        r.Bottom = y;
    }
    TrimRect = r;
    DrawTrimFrame();
}

void TFrameForm::T1Click() {
    if (kindOf(FastPicture1.picture().graphic()) == GraphicKind::Icon) return;
    // Trimming with the frame off would first draw the frame into the picture.
    if (!A1->isChecked()) return;
    A1Click();
    const int p = TrackBar1->value();
    if (p != 100) {
        TrimRect.Left = static_cast<int>(int64_t(TrimRect.Left) * p / 100);
        TrimRect.Top = static_cast<int>(int64_t(TrimRect.Top) * p / 100);
        TrimRect.Right = static_cast<int>(int64_t(TrimRect.Right) * p / 100);
        TrimRect.Bottom = static_cast<int>(int64_t(TrimRect.Bottom) * p / 100);
    }
    FastPicture1.Trimming(TrimRect, false);
    SetViewSize(FastPicture1.Width, FastPicture1.Height);
    Button2Click();
    UpdateCaption();
    RefreshHistogram();
}

// ======================================================================================
// Help, About, printer setup
// ======================================================================================

void TFrameForm::H2Click() {
    // A missing Readme.txt produces no message.
    const QString path = readmePath();
    if (path.isEmpty()) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void TFrameForm::About1Click() {
    QString title = ApplicationTitle();
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
