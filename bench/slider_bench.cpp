// One tone-slider step in the real main window: moving the brightness slider copies the
// base image through the four tone operations, rebuilds the caption, redraws the
// histogram window and repaints the view and the histogram. Pictures of 1920 × 1080,
// 12 and 24 megapixels; the view shows the picture at the fitted display ratio.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QSlider>
#include <filesystem>
#include <memory>

#include "BenchWindow.h"
#include "app/Frame.h"
#include "app/Histgram.h"
#include "app/PictureView.h"
#include "engine/RowDriver.h"
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
            row[3 * x + 1] = static_cast<uint8_t>((x ^ y) & 255);
            row[3 * x + 2] = static_cast<uint8_t>((x * y / 97) & 255);
        }
    }
    return bmp;
}

void BM_ToneSliderStep(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    engine::setThreadCount(static_cast<int>(state.range(2)));
    auto dir = std::filesystem::temp_directory_path() / "pw-slider-bench";
    std::filesystem::create_directories(dir);
    auto file = dir / "picture.bmp";
    {
        Bitmap bmp = photoLike(width, height);
        auto bytes = bmp.saveToBytes();
        FILE* f = std::fopen(file.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    auto form = std::make_unique<TFrameForm>();
    form->Parameter1->SetExeName((dir / "pixelwright").string());
    form->Parameter1->SetDir(dir.string());
    form->Parameter1->SetFileName("pixelwright.ini");
    form->TemporaryFolderOverride = dir / "cache";
    form->Dialogs = std::make_unique<SilentDialogs>();
    form->show();
    form->OpenPicture(QString::fromStdString(file.string()));
    if (!form->H1->isChecked()) form->H1Click();
    QCoreApplication::processEvents();

    int step = 0;
    for (auto _ : state) {
        // Alternate between two positions so every step changes the picture.
        form->TrackBar2->setValue((step++ & 1) ? 110 : 120);
        form->FastPicture1View->repaint();
        if (form->HistgramForm) form->HistgramForm->repaint();
    }
    form->close();
    form.reset();
    std::filesystem::remove_all(dir);
}

BENCHMARK(BM_ToneSliderStep)
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 2})
    ->Args({4000, 3000, 1})
    ->Args({4000, 3000, 2})
    ->Args({6000, 4000, 1})
    ->Args({6000, 4000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

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
