// The main window's exchange with other programs: copy and paste by picture class, drops
// on the view, dragging out, and the trimming frame with the trimming it drives.
#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QProcess>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "FrameTestSupport.h"
#include "app/PictureView.h"
#include "dragdrop/DropBMPSource.h"
#include "dragdrop/DropPictureTarget.h"
#include "formats/Jpeg.h"
#include "formats/PictureIO.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"

namespace {

QByteArray qbytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}
std::span<const uint8_t> span(const QByteArray& a) {
    return {reinterpret_cast<const uint8_t*>(a.constData()), size_t(a.size())};
}

std::vector<uint8_t> encoded(const char* ext, const Bitmap& bmp, int quality = 75) {
    SaveOptions options;
    options.jpegQuality = quality;
    return savePictureBytes(
        bmp, std::string_view(ext) == "jpg" ? GraphicKind::Jpeg : GraphicKind::Gif, options);
}

// The quantisation tables of a JPEG file (they depend only on the quality).
QByteArray quantTables(const QByteArray& jpeg) {
    QByteArray out;
    for (qsizetype i = 2; i + 4 <= jpeg.size();) {
        if (uint8_t(jpeg[i]) != 0xFF) break;
        const uint8_t marker = uint8_t(jpeg[i + 1]);
        const int length = uint8_t(jpeg[i + 2]) << 8 | uint8_t(jpeg[i + 3]);
        if (marker == 0xDB) out += jpeg.mid(i, 2 + length);
        if (marker == 0xDA) break;
        i += 2 + length;
    }
    return out;
}

Bitmap cropOf(const Bitmap& src, int left, int top, int width, int height) {
    Bitmap out(width, height, pf24bit);
    for (int y = 0; y < height; ++y)
        std::memcpy(out.scanLine(y), src.scanLine(top + y) + 3 * left, size_t(width) * 3);
    return out;
}

} // namespace

class ExchangeTest : public FrameTest {
protected:
    QClipboard* clipboard() { return QGuiApplication::clipboard(); }

    void setClipboard(std::initializer_list<std::pair<const char*, QByteArray>> formats) {
        auto* data = new QMimeData;
        for (const auto& [type, bytes] : formats)
            data->setData(QString::fromLatin1(type), bytes);
        clipboard()->setMimeData(data);
    }

    QString writeEncoded(const std::string& name, const char* ext, const Bitmap& bmp) {
        auto path = dir / name;
        pwtest::writeFile(path, encoded(ext, bmp));
        return QString::fromStdString(path.string());
    }

    const Bitmap* viewBitmap() { return form->ViewBitmap(); }

    // Sends a drag over the view and drops it.
    void dropOnView(QMimeData& data) {
        QWidget* viewport = form->ScrollBox1->viewport();
        QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction | Qt::MoveAction, &data,
                              Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        QDropEvent drop(QPointF(40, 40), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                        Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
    }
};

TEST_F(ExchangeTest, CopyPutsEachClassInItsOwnFormatAtTheViewSize) {
    openForm();
    Bitmap picture = pwtest::makeTestBitmap(200, 100);

    // JPEG at 50 %: only "JFIF", half the size, at the quality control's tables.
    form->OpenFromShell(writeEncoded("p.jpg", "jpg", picture));
    form->TrackBar1->setValue(50);
    form->UpDown1->setValue(40);
    form->Copy1->trigger();
    const QMimeData* data = clipboard()->mimeData();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->formats(), QStringList{"image/jpeg"});
    QByteArray jpeg = data->data("image/jpeg");
    TJPEGImage copied;
    copied.loadFromBytes(span(jpeg));
    EXPECT_EQ(QSize(copied.width(), copied.height()), QSize(100, 50));
    EXPECT_EQ(quantTables(jpeg), quantTables(qbytes(encoded("jpg", picture, 40))));

    // GIF: only "GIF Image".
    form->OpenFromShell(writeEncoded("p.gif", "gif", picture));
    form->TrackBar1->setValue(150);
    form->Copy1->trigger();
    data = clipboard()->mimeData();
    EXPECT_EQ(data->formats(), QStringList{"image/gif"});
    std::unique_ptr<Graphic> gif = Picture::createForExtension("gif");
    gif->loadFromBytes(span(data->data("image/gif")));
    EXPECT_EQ(QSize(gif->width(), gif->height()), QSize(300, 150));

    // Bitmap at 100 %: the picture itself, as a BMP that other programs read, and PNG.
    form->OpenFromShell(writeBmp("p.bmp", 200, 100));
    form->Copy1->trigger();
    data = clipboard()->mimeData();
    EXPECT_TRUE(data->formats().contains("image/bmp"));
    EXPECT_TRUE(data->formats().contains("image/png"));
    EXPECT_FALSE(data->formats().contains("image/jpeg"));
    Bitmap fromClipboard;
    fromClipboard.loadFromBytes(span(data->data("image/bmp")));
    EXPECT_TRUE(pwtest::sameBitmap(fromClipboard, picture));

    // Metafile: an enhanced metafile recorded at the view's size.
    Metafile mf;
    mf.setWidth(120);
    mf.setHeight(80);
    {
        MetafileCanvas c(mf);
        c.brush().color = clBlue;
        c.fillRect(QRect(0, 0, 120, 80));
    }
    pwtest::writeFile(dir / "v.emf", mf.saveToBytes());
    form->OpenFromShell(QString::fromStdString((dir / "v.emf").string()));
    form->TrackBar1->setValue(50);
    form->Copy1->trigger();
    data = clipboard()->mimeData();
    EXPECT_EQ(data->formats().first(), "image/x-emf");
    Metafile copiedMf;
    copiedMf.loadFromBytes(span(data->data("image/x-emf")));
    EXPECT_EQ(QSize(copiedMf.width(), copiedMf.height()), QSize(60, 40));
}

TEST_F(ExchangeTest, CopyingAnIconIsRefused) {
    openForm();
    QByteArray png;
    {
        QBuffer b(&png);
        b.open(QIODevice::WriteOnly);
        QImage img(16, 16, QImage::Format_ARGB32);
        img.fill(Qt::red);
        img.save(&b, "PNG");
    }
    std::vector<uint8_t> ico{0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0};
    const uint32_t size = uint32_t(png.size()), offset = 22;
    for (int i = 0; i < 4; ++i)
        ico.push_back(uint8_t(size >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        ico.push_back(uint8_t(offset >> (8 * i)));
    ico.insert(ico.end(), png.begin(), png.end());
    pwtest::writeFile(dir / "i.ico", ico);
    form->OpenFromShell(QString::fromStdString((dir / "i.ico").string()));
    ASSERT_EQ(form->PictureKind(), 5);
    setClipboard({{"text/plain", "before"}});
    form->Copy1->trigger();
    ASSERT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(dialogs->errors.first(),
              QString::fromUtf8("クリップボードはアイコンには対応していません"));
    EXPECT_EQ(clipboard()->text(), "before");
}

TEST_F(ExchangeTest, PastePrefersJfifAndKeepsOneTemporaryCopy) {
    openForm();
    Bitmap picture = pwtest::makeTestBitmap(64, 48);
    setClipboard({{"image/bmp", qbytes(picture.saveToBytes())},
                  {"image/jpeg", qbytes(encoded("jpg", picture))}});
    form->Paste1->trigger();
    EXPECT_EQ(form->PictureKind(), 1);
    EXPECT_EQ(form->DisplayName, "Copied JPEG");
    const auto jpgCopy = tempFolder() / "ImageData.jpg";
    EXPECT_EQ(form->SourcePath.toStdString(), jpgCopy.string());
    EXPECT_TRUE(std::filesystem::exists(jpgCopy));
    EXPECT_EQ(form->FastPicture1.Width, 64);

    setClipboard({{"image/bmp", qbytes(picture.saveToBytes())}});
    form->Paste1->trigger();
    EXPECT_EQ(form->DisplayName, "Copied Bitmap");
    EXPECT_FALSE(std::filesystem::exists(jpgCopy));
    EXPECT_TRUE(std::filesystem::exists(tempFolder() / "ImageData.bmp"));
    ASSERT_NE(viewBitmap(), nullptr);
    EXPECT_TRUE(pwtest::sameBitmap(*viewBitmap(), picture));

    setClipboard({{"image/gif", qbytes(encoded("gif", picture))}});
    form->Paste1->trigger();
    EXPECT_EQ(form->DisplayName, "Copied GIF");

    // PNG from a screenshot tool; a large one is fitted into the window.
    Bitmap wide = pwtest::makeTestBitmap(2000, 50);
    QByteArray png;
    {
        QBuffer b(&png);
        b.open(QIODevice::WriteOnly);
        wide.toDisplayImage().save(&b, "PNG");
    }
    setClipboard({{"image/png", png}});
    form->Paste1->trigger();
    EXPECT_EQ(form->DisplayName, "Copied Bitmap");
    EXPECT_EQ(form->TrackBar1->value(), 50);
    EXPECT_EQ(form->FastPicture1.Width, 1000);
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, wide));

    // Our own copy comes back as it went.
    form->Copy1->trigger();
    form->L1Click();
    form->Paste1->trigger();
    EXPECT_EQ(form->FastPicture1.picture().width(), 1000);
    EXPECT_TRUE(dialogs->errors.isEmpty());
}

TEST_F(ExchangeTest, MalformedClipboardDataLeavesThePictureInView) {
    openForm();
    form->OpenFromShell(writeBmp("keep.bmp", 30, 20));
    const Bitmap before = *viewBitmap();
    const QString name = form->DisplayName;

    std::vector<uint8_t> jpeg = encoded("jpg", pwtest::makeTestBitmap(80, 80));
    jpeg.resize(jpeg.size() / 2);
    std::vector<uint8_t> dib = pwtest::makeTestBitmap(8, 8).saveToBytes();
    dib[18] = 0xFF, dib[19] = 0xFF, dib[20] = 0xFF, dib[21] = 0x7F; // width 2^31 − 1
    std::vector<uint8_t> gif = encoded("gif", pwtest::makeTestBitmap(20, 20));
    for (size_t i = gif.size() / 2; i + 1 < gif.size(); ++i)
        gif[i] = uint8_t(0xFF - i * 7); // codes past the table
    const std::pair<const char*, QByteArray> cases[] = {
        {"image/jpeg", qbytes(jpeg)},
        {"image/bmp", qbytes(dib)},
        {"image/gif", qbytes(gif)},
        {"image/png", QByteArray("\x89PNG\r\n\x1a\n garbage", 17)},
    };
    for (const auto& [type, bytes] : cases) {
        SCOPED_TRACE(type);
        dialogs->errors.clear();
        setClipboard({{type, bytes}});
        form->Paste1->trigger();
        EXPECT_EQ(dialogs->errors.size(), 1);
        ASSERT_NE(viewBitmap(), nullptr);
        EXPECT_TRUE(pwtest::sameBitmap(*viewBitmap(), before));
        EXPECT_EQ(form->DisplayName, name);
    }
}

TEST_F(ExchangeTest, DropsOnTheViewArriveWithTheirLabels) {
    openForm();
    Bitmap picture = pwtest::makeTestBitmap(50, 40);
    QMimeData gif;
    gif.setData("image/gif", qbytes(encoded("gif", picture)));
    dropOnView(gif);
    EXPECT_EQ(form->PictureKind(), 2);
    EXPECT_EQ(form->DisplayName, "Dropped Image");
    EXPECT_TRUE(std::filesystem::exists(tempFolder() / "ImageData.gif"));

    QMimeData bitmap;
    bitmap.setImageData(picture.toDisplayImage());
    dropOnView(bitmap);
    EXPECT_EQ(form->DisplayName, "Dropped Bitmap");
    EXPECT_TRUE(pwtest::sameBitmap(*viewBitmap(), picture));
    EXPECT_TRUE(form->DropPictureTarget1->Picture.empty());

    QMimeData file;
    const QString path = writeBmp("dropped.bmp", 20, 10);
    file.setUrls({QUrl::fromLocalFile(path)});
    dropOnView(file);
    EXPECT_EQ(form->DisplayName, path);
    EXPECT_EQ(form->FastPicture1.picture().width(), 20);

    QMimeData broken;
    broken.setData("image/bmp", QByteArray("BM\x10\x00", 4));
    dropOnView(broken);
    EXPECT_EQ(dialogs->errors.size(), 1);
    EXPECT_EQ(form->DisplayName, path);
}

TEST_F(ExchangeTest, DragStartsAtFivePixelsAndRestoresTheTarget) {
    openForm();
    form->OpenFromShell(writeBmp("d.bmp", 60, 40));
    form->TrackBar1->setValue(50);
    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 10, 10);
    form->FastPicture1MouseMove(Qt::LeftButton, Qt::NoModifier, 14, 14);
    form->FastPicture1MouseMove(Qt::LeftButton, Qt::ShiftModifier, 30, 30);
    form->FastPicture1MouseMove(Qt::LeftButton | Qt::RightButton, Qt::NoModifier, 30, 30);
    EXPECT_TRUE(form->DropBMPSource1->GetBitmap().empty());
    form->FastPicture1MouseMove(Qt::LeftButton, Qt::NoModifier, 15, 10);
    EXPECT_EQ(form->DropBMPSource1->GetBitmap().width(), 30);
    EXPECT_EQ(form->DropBMPSource1->GetBitmap().height(), 20);
    EXPECT_EQ(form->DropPictureTarget1->Dragtypes, dragdrop::kAllDragTypes);
}

TEST_F(ExchangeTest, FramePlacementAtTwoHundredPercent) {
    openForm();
    form->OpenFromShell(writeBmp("f.bmp", 400, 300));
    const Bitmap original = *viewBitmap();
    form->TrackBar1->setValue(200);
    form->TrimRect = TRect{0, 0, 50, 40};
    form->A1Click();
    ASSERT_TRUE(form->A1->isChecked());
    EXPECT_TRUE(form->T1->isEnabled());

    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 300, 100);
    EXPECT_EQ(std::tuple(form->TrimRect.Left, form->TrimRect.Top, form->TrimRect.Right,
                         form->TrimRect.Bottom),
              std::tuple(150, 50, 200, 90));
    form->FastPicture1MouseDown(Qt::LeftButton, Qt::NoModifier, 780, 580);
    EXPECT_EQ(std::tuple(form->TrimRect.Left, form->TrimRect.Top, form->TrimRect.Right,
                         form->TrimRect.Bottom),
              std::tuple(349, 259, 399, 299));
    // Right button above and left of the corner: Right < Left is kept as it is.
    form->FastPicture1MouseDown(Qt::RightButton, Qt::NoModifier, 600, 400);
    EXPECT_EQ(std::tuple(form->TrimRect.Left, form->TrimRect.Top, form->TrimRect.Right,
                         form->TrimRect.Bottom),
              std::tuple(349, 259, 300, 200));
    form->FastPicture1MouseDown(Qt::MiddleButton, Qt::NoModifier, 10, 10);
    EXPECT_EQ(form->TrimRect.Right, 300);

    // Whatever the frame went through, switching it off gives every pixel back.
    form->A1Click();
    EXPECT_FALSE(form->T1->isEnabled());
    EXPECT_TRUE(pwtest::sameBitmap(*viewBitmap(), original));
}

TEST_F(ExchangeTest, TrimmingAtFiftyPercentCutsThePictureRectangle) {
    openForm();
    form->OpenFromShell(writeBmp("t.bmp", 400, 300));
    const Bitmap original = *viewBitmap();
    form->TrackBar1->setValue(50);
    form->TrimRect = TRect{10, 10, 110, 90};
    form->A1Click();
    form->T1->trigger();
    EXPECT_FALSE(form->A1->isChecked());
    EXPECT_EQ(std::tuple(form->TrimRect.Left, form->TrimRect.Top, form->TrimRect.Right,
                         form->TrimRect.Bottom),
              std::tuple(5, 5, 55, 45));
    ASSERT_NE(viewBitmap(), nullptr);
    // The view rectangle (5, 5)–(55, 45) is the picture's (10, 10)–(110, 90), corners
    // included; no trace of the frame is left in it.
    EXPECT_TRUE(pwtest::sameBitmap(*viewBitmap(), cropOf(original, 10, 10, 101, 81)));
    EXPECT_TRUE(pwtest::sameBitmap(*form->BaseBitmap, *viewBitmap()));
}

TEST_F(ExchangeTest, FrameIsDrawnInPlaceWithoutRebuildingTheDisplay) {
    openForm();
    form->OpenFromShell(writeBmp("r.bmp", 300, 200));
    form->TrimRect = TRect{20, 30, 120, 90};
    (void)form->FastPicture1View->grab();
    const int rebuilds = form->FastPicture1View->RebuildCount();
    const QImage plain = form->FastPicture1View->grab().toImage();
    form->A1Click();
    const QImage framed = form->FastPicture1View->grab().toImage();
    EXPECT_EQ(form->FastPicture1View->RebuildCount(), rebuilds);
    EXPECT_NE(framed.pixel(60, 30), plain.pixel(60, 30));
    EXPECT_EQ(framed.pixel(60, 60), plain.pixel(60, 60));
    // The display shows exactly the picture's pixels.
    EXPECT_EQ(framed.convertToFormat(QImage::Format_RGB32),
              viewBitmap()->toDisplayImage().convertToFormat(QImage::Format_RGB32));
    form->A1Click();
    EXPECT_EQ(form->FastPicture1View->grab().toImage(), plain);
}

TEST(TrimFrameRule, InvertsLikeTheCanvasAndRestoresEveryFormat) {
    // 24 bits: the same pixels a black pen of width 2 in pmNotXor mode covers.
    Bitmap a = pwtest::makeTestBitmap(40, 30, 5);
    Bitmap b = a;
    {
        Canvas c(b);
        c.pen() = {clBlack, 2, psSolid, pmNotXor};
        c.brush().style = bsClear;
        c.rectangle(5, 6, 30, 20);
    }
    InvertTrimFrame(a, TRect{5, 6, 30, 20});
    EXPECT_TRUE(pwtest::sameBitmap(a, b));

    const TRect frames[] = {{5, 6, 30, 20},   {30, 20, 5, 6},   {0, 0, 39, 29},
                            {-3, -3, 50, 50}, {10, 10, 11, 11}, {7, 7, 7, 7}};
    for (PixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        Bitmap bmp = pwtest::makeTestBitmap(37, 29, 7);
        bmp.setPixelFormat(f);
        const Bitmap original = bmp;
        for (const TRect& r : frames) {
            SCOPED_TRACE(testing::Message() << "format " << int(f) << " frame " << r.Left << ","
                                            << r.Top << "," << r.Right << "," << r.Bottom);
            InvertTrimFrame(bmp, r);
            if (r.Left == 5 && f != pf1bit) {
                EXPECT_NE(bmp.pixelColor(15, 6), original.pixelColor(15, 6));
            }
            EXPECT_EQ(bmp.pixelColor(18, 13), original.pixelColor(18, 13));
            InvertTrimFrame(bmp, r);
            EXPECT_TRUE(pwtest::sameBitmap(bmp, original));
            EXPECT_EQ(bmp.pixelFormat(), f);
        }
    }
}

// ======================================================================================
// Across processes: a real X server (Xvfb, started here) and xclip on the other side.
// The window runs in a child process of this test program on the X server's clipboard.
// ======================================================================================

namespace {

bool toolsRequired() {
    return qEnvironmentVariable("PW_REQUIRE_TOOLS") == QLatin1String("1");
}

// The X server for one test, on the first free display of a few.
class XServer {
public:
    XServer() {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty()) return;
        for (int n : {95, 97, 98, 99}) {
            const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(n);
            if (QFileInfo::exists(lock)) continue;
            display_ = QStringLiteral(":%1").arg(n);
            process_.setProgram("Xvfb");
            process_.setArguments({display_, "-screen", "0", "640x480x24", "-nolisten", "tcp"});
            process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process_.start();
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
            for (int i = 0; i < 100 && !QFileInfo::exists(socket); ++i)
                QThread::msleep(50);
            if (QFileInfo::exists(socket)) return;
            process_.kill();
            process_.waitForFinished();
        }
        display_.clear();
    }
    ~XServer() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(3000)) process_.kill();
            process_.waitForFinished();
        }
    }
    QString display() const { return display_; }

private:
    QProcess process_;
    QString display_;
};

QProcessEnvironment x11Environment(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    return env;
}

QByteArray runXclip(const QString& display, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(x11Environment(display));
    p.start("xclip", QStringList{"-selection", "clipboard"} + args);
    p.waitForFinished(20000);
    return p.readAllStandardOutput();
}

} // namespace

class ExchangeX11Test : public ::testing::Test {
protected:
    pwtest::TempDir dir;
    std::unique_ptr<XServer> server;

    void SetUp() override {
        registerPictureFormats();
        const bool haveXclip = !QStandardPaths::findExecutable("xclip").isEmpty();
        const bool haveXvfb = !QStandardPaths::findExecutable("Xvfb").isEmpty();
        if (!haveXclip || !haveXvfb) {
            if (toolsRequired()) FAIL() << "Xvfb and xclip are needed (PW_REQUIRE_TOOLS=1)";
            GTEST_SKIP() << "Xvfb or xclip is not installed: cross-process clipboard not tested";
        }
        server = std::make_unique<XServer>();
        if (server->display().isEmpty()) FAIL() << "Xvfb did not start";
    }

    QString path(const std::string& name) const {
        return QString::fromStdString((dir / name).string());
    }

    // Starts the window in a child process: "copy" copies the picture and serves the
    // clipboard until told to stop; "paste" pastes and reports what arrived.
    std::unique_ptr<QProcess> startChild(const QString& mode, const QString& picture, int ratio) {
        auto child = std::make_unique<QProcess>();
        QProcessEnvironment env = x11Environment(server->display());
        env.insert("PW_X11_CHILD", mode);
        env.insert("PW_X11_PICTURE", picture);
        env.insert("PW_X11_RATIO", QString::number(ratio));
        env.insert("PW_X11_DIR", QString::fromStdString(dir.path().string()));
        child->setProcessEnvironment(env);
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start(
            QCoreApplication::applicationFilePath(),
            {"--gtest_also_run_disabled_tests", "--gtest_filter=ExchangeX11Child.DISABLED_Run"});
        return child;
    }

    bool waitForFile(const QString& file, int ms = 20000) {
        for (int waited = 0; waited < ms; waited += 50) {
            if (QFileInfo::exists(file)) return true;
            QThread::msleep(50);
        }
        return false;
    }

    // Copies picture in the window and returns the clipboard's targets and the bytes under
    // type, as xclip reads them.
    std::pair<QByteArray, QByteArray> copyInWindow(const QString& picture, int ratio,
                                                   const QString& type) {
        QFile::remove(path("ready"));
        QFile::remove(path("done"));
        auto child = startChild("copy", picture, ratio);
        EXPECT_TRUE(waitForFile(path("ready"))) << "the window did not copy";
        QByteArray targets = runXclip(server->display(), {"-t", "TARGETS", "-o"});
        QByteArray bytes = runXclip(server->display(), {"-t", type, "-o"});
        QFile done(path("done"));
        done.open(QIODevice::WriteOnly);
        done.close();
        EXPECT_TRUE(child->waitForFinished(20000));
        return {targets, bytes};
    }

    // Offers bytes under type with xclip and pastes them in the window; returns its report.
    QStringList pasteInWindow(const QString& type, const QByteArray& bytes) {
        const QString file = path("offer.bin");
        {
            QFile f(file);
            f.open(QIODevice::WriteOnly);
            f.write(bytes);
        }
        QProcess xclip;
        xclip.setProcessEnvironment(x11Environment(server->display()));
        xclip.start("xclip", {"-selection", "clipboard", "-quiet", "-t", type, "-i", file});
        // xclip owns the selection once it can answer for its targets (slow on a busy
        // machine: allow it time).
        bool offered = false;
        for (int i = 0; i < 300 && !offered; ++i) {
            offered =
                runXclip(server->display(), {"-t", "TARGETS", "-o"}).contains(type.toLatin1());
            if (!offered) QThread::msleep(50);
        }
        EXPECT_TRUE(offered) << "xclip did not take the clipboard";
        QFile::remove(path("report"));
        auto child = startChild("paste", QString(), 100);
        EXPECT_TRUE(child->waitForFinished(60000));
        xclip.kill();
        xclip.waitForFinished();
        QFile report(path("report"));
        if (!report.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(report.readAll()).split('\n');
    }
};

// The child's side. Runs only when started by ExchangeX11Test.
TEST(ExchangeX11Child, DISABLED_Run) {
    const QString mode = qEnvironmentVariable("PW_X11_CHILD");
    const QString folder = qEnvironmentVariable("PW_X11_DIR");
    ASSERT_FALSE(mode.isEmpty());
    registerPictureFormats();
    TFrameForm form;
    form.Parameter1->SetDir(folder.toStdString());
    form.Parameter1->SetFileName("child.ini");
    form.TemporaryFolderOverride = (folder + "/cache").toStdString();
    auto dialogs = std::make_unique<FakeDialogs>();
    FakeDialogs* seen = dialogs.get();
    form.Dialogs = std::move(dialogs);
    if (mode == "copy") {
        form.OpenFromShell(qEnvironmentVariable("PW_X11_PICTURE"));
        form.TrackBar1->setValue(qEnvironmentVariableIntValue("PW_X11_RATIO"));
        form.UpDown1->setValue(80);
        form.Copy1->trigger();
        QFile ready(folder + "/ready");
        ready.open(QIODevice::WriteOnly);
        ready.close();
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (QFileInfo::exists(folder + "/done")) loop.quit();
        });
        poll.start(50);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        return;
    }
    form.Paste1->trigger();
    QFile report(folder + "/report");
    report.open(QIODevice::WriteOnly);
    const Graphic* g = form.FastPicture1.picture().graphic();
    report.write(QStringLiteral("%1\n%2\n%3\n%4\n%5")
                     .arg(form.DisplayName)
                     .arg(form.PictureKind())
                     .arg(g ? g->width() : 0)
                     .arg(g ? g->height() : 0)
                     .arg(seen->errors.join(' '))
                     .toUtf8());
}

TEST_F(ExchangeX11Test, OtherProgramsReadWhatTheWindowCopies) {
    Bitmap picture = pwtest::makeTestBitmap(120, 80);
    pwtest::writeFile(dir / "p.jpg", encoded("jpg", picture));
    pwtest::writeFile(dir / "p.gif", encoded("gif", picture));
    pwtest::writeFile(dir / "p.bmp", picture.saveToBytes());

    auto [jpegTargets, jpeg] = copyInWindow(path("p.jpg"), 50, "image/jpeg");
    EXPECT_TRUE(jpegTargets.contains("image/jpeg")) << jpegTargets.toStdString();
    EXPECT_FALSE(jpegTargets.contains("image/png"));
    QImage decoded = QImage::fromData(jpeg, "JPEG");
    EXPECT_EQ(decoded.size(), QSize(60, 40));
    if (!QStandardPaths::findExecutable("djpeg").isEmpty()) {
        QProcess djpeg;
        djpeg.start("djpeg", {"-pnm"});
        djpeg.write(jpeg);
        djpeg.closeWriteChannel();
        djpeg.waitForFinished(10000);
        EXPECT_TRUE(djpeg.readAllStandardOutput().startsWith("P6\n60 40\n"));
    }

    auto [gifTargets, gif] = copyInWindow(path("p.gif"), 100, "image/gif");
    EXPECT_TRUE(gifTargets.contains("image/gif"));
    EXPECT_TRUE(gif.startsWith("GIF89a") || gif.startsWith("GIF87a"));
    EXPECT_EQ(QImage::fromData(gif, "GIF").size(), QSize(120, 80));

    auto [bmpTargets, png] = copyInWindow(path("p.bmp"), 100, "image/png");
    EXPECT_TRUE(bmpTargets.contains("image/bmp"));
    EXPECT_TRUE(bmpTargets.contains("image/png"));
    EXPECT_EQ(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32),
              picture.toDisplayImage());
}

TEST_F(ExchangeX11Test, TheWindowPastesWhatOtherProgramsOffer) {
    Bitmap picture = pwtest::makeTestBitmap(90, 70);
    QByteArray png;
    {
        QBuffer b(&png);
        b.open(QIODevice::WriteOnly);
        picture.toDisplayImage().save(&b, "PNG");
    }
    Metafile mf;
    mf.setWidth(50);
    mf.setHeight(30);
    {
        MetafileCanvas c(mf);
        c.brush().color = clRed;
        c.fillRect(QRect(0, 0, 50, 30));
    }
    std::vector<uint8_t> cut = encoded("jpg", picture);
    cut.resize(cut.size() / 2);
    struct Case {
        const char* type;
        QByteArray bytes;
        const char* label;
        int kind, width;
    };
    const Case cases[] = {
        {"image/png", png, "Copied Bitmap", 3, 90},
        {"image/bmp", qbytes(picture.saveToBytes()), "Copied Bitmap", 3, 90},
        {"image/jpeg", qbytes(encoded("jpg", picture)), "Copied JPEG", 1, 90},
        {"image/gif", qbytes(encoded("gif", picture)), "Copied GIF", 2, 90},
        {"image/x-emf", qbytes(mf.saveToEmfBytes()), "Copied Metafile", 4, 50},
        {"image/x-wmf", qbytes(mf.saveToWmfBytes()), "Copied Metafile", 4, 50},
        {"image/jpeg", qbytes(cut), "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        QStringList report = pasteInWindow(c.type, c.bytes);
        ASSERT_EQ(report.size(), 5);
        EXPECT_EQ(report[0], c.label);
        EXPECT_EQ(report[1].toInt(), c.kind);
        EXPECT_EQ(report[2].toInt(), c.width);
        EXPECT_EQ(report[4].isEmpty(), c.kind != 0) << report[4].toStdString();
    }
}
