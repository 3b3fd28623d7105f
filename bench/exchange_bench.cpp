// Exchange through the real main window with a 6000 × 4000 picture shown at 100 %:
// copying it as a bitmap, a JPEG and a GIF (the time until the clipboard holds it, and for
// a bitmap also the time another program waits for the BMP it asks for), pasting each back
// until the first frame is painted, and switching the trimming frame on and off.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QSlider>
#include <filesystem>
#include <memory>

#include "BenchWindow.h"
#include "app/Frame.h"
#include "app/PictureView.h"
#include "formats/PictureIO.h"
#include "platform/Bitmap.h"
#include "settings/Param.h"

namespace {

Bitmap photoLike(int width, int height) {
    Bitmap bmp(width, height, pf24bit);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = bmp.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>((x * 7 + y * 3) & 255);
            row[3 * x + 1] = static_cast<uint8_t>(((x >> 3) ^ (y >> 3)) & 255);
            row[3 * x + 2] = static_cast<uint8_t>((x * y / 97) & 255);
        }
    }
    return bmp;
}

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// The window holding the picture saved as ext, at 100 %.
struct Window {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "pw-exchange-bench";
    std::unique_ptr<TFrameForm> form;

    explicit Window(const char* ext) {
        std::filesystem::create_directories(dir);
        auto file = dir / (std::string("picture.") + ext);
        savePictureFile(photoLike(kWidth, kHeight), file);
        form = std::make_unique<TFrameForm>();
        form->Parameter1->SetExeName((dir / "pixelwright").string());
        form->Parameter1->SetDir(dir.string());
        form->Parameter1->SetFileName("pixelwright.ini");
        form->TemporaryFolderOverride = dir / "cache";
        form->Dialogs = std::make_unique<SilentDialogs>();
        form->show();
        form->OpenFromShell(QString::fromStdString(file.string()));
        form->TrackBar1->setValue(100);
        QCoreApplication::processEvents();
    }
    ~Window() {
        form->close();
        form.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

const char* extensionOf(int kind) {
    return kind == 0 ? "bmp" : kind == 1 ? "jpg" : "gif";
}

void BM_Copy(benchmark::State& state) {
    Window w(extensionOf(int(state.range(0))));
    for (auto _ : state) {
        w.form->Copy1Click();
    }
    state.SetLabel(extensionOf(int(state.range(0))));
}

void BM_CopiedBitmapAsBmp(benchmark::State& state) {
    // What a receiving program waits for after a bitmap copy: the BMP rendered on request.
    Window w("bmp");
    w.form->Copy1Click();
    for (auto _ : state) {
        QByteArray bytes = QGuiApplication::clipboard()->mimeData()->data("image/bmp");
        benchmark::DoNotOptimize(bytes.size());
    }
}

void BM_PasteToFirstFrame(benchmark::State& state) {
    Window w(extensionOf(int(state.range(0))));
    w.form->Copy1Click();
    bool painted = false;
    w.form->FastPicture1View->OnPainted = [&] { painted = true; };
    for (auto _ : state) {
        painted = false;
        w.form->Paste1Click();
        w.form->FastPicture1View->repaint();
        if (!painted) state.SkipWithError("nothing painted");
    }
    w.form->FastPicture1View->OnPainted = nullptr;
    state.SetLabel(extensionOf(int(state.range(0))));
}

void BM_TrimFrameToggle(benchmark::State& state) {
    Window w("bmp");
    w.form->FastPicture1View->repaint();
    for (auto _ : state) {
        w.form->A1Click(); // on
        w.form->FastPicture1View->repaint();
        w.form->A1Click(); // off
        w.form->FastPicture1View->repaint();
    }
    state.counters["display_rebuilds"] = w.form->FastPicture1View->RebuildCount();
}

BENCHMARK(BM_Copy)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CopiedBitmapAsBmp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PasteToFirstFrame)
    ->DenseRange(0, 2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_TrimFrameToggle)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    registerPictureFormats();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
