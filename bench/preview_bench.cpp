// Print preview: rebuilding the page tiles of a 6000 x 4000 picture over 1 x 1, 4 x 4 and
// 16 x 16 sheets, and printing it over 2 x 2 sheets into a PDF at 600 dpi in both modes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QPageLayout>
#include <QPrinter>

#include "BenchPictures.h"
#include "platform/Screen.h"
#include "preview/GrphPrev.h"
#include "preview/PagePainter.h"
#include "preview/PreviewPicture.h"
#include "preview/PrintLayout.h"

namespace {

const Bitmap& photo() {
    static const Bitmap b = gradientPhoto(6000, 4000, [](int x, int y) { return (x ^ y) & 255; });
    return b;
}

QPrinter& a4Printer() {
    static QPrinter* p = [] {
        auto* printer = new QPrinter(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setResolution(600);
        printer->setPageSize(QPageSize(QPageSize::A4));
        return printer;
    }();
    return *p;
}

// The picture stretched over sheets x sheets in area mode.
void placeOver(TGraphicPreview& preview, int sheets, int extra = 0) {
    const TPrinterInfo& in = preview.PrinterInfo();
    preview.SetPrintRect(
        {0, 0, sheets * in.PrintableWidthPx - 1 - extra, sheets * in.PrintableHeightPx - 1});
}

// A click that moves the picture: the tiles are rebuilt from the kept reduced copy.
void BM_RebuildTiles(benchmark::State& state) {
    const int sheets = static_cast<int>(state.range(0));
    TGraphicPreview preview(nullptr, &a4Printer());
    preview.SetGraphic(&photo());
    placeOver(preview, sheets);
    for (auto _ : state)
        preview.UpdatePreview();
    state.counters["tiles"] = preview.TileCount();
}
BENCHMARK(BM_RebuildTiles)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// A click that resizes the picture: the reduced copy is made again, then every tile.
void BM_ResizeTiles(benchmark::State& state) {
    const int sheets = static_cast<int>(state.range(0));
    TGraphicPreview preview(nullptr, &a4Printer());
    preview.SetGraphic(&photo());
    int extra = 0;
    for (auto _ : state) {
        extra = extra == 0 ? 400 : 0;
        placeOver(preview, sheets, extra);
    }
    state.counters["tiles"] = preview.TileCount();
}
BENCHMARK(BM_ResizeTiles)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

// 9000 x 6000 printer pixels on landscape A4 (6851 x 4792 printable): 2 x 2 sheets.
void BM_PrintPdf(benchmark::State& state) {
    const auto mode = static_cast<TGraphicMode>(state.range(0));
    const std::filesystem::path out = std::filesystem::temp_directory_path() /
                                      ("pw-preview-bench-" + std::to_string(getpid()) + ".pdf");
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setResolution(600);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(QPageLayout::Landscape);
    printer.setOutputFileName(QString::fromStdString(out.string()));
    TPreviewLayout layout;
    layout.SetPrinterInfo(ReadPrinterInfo(printer, screenInfo()));
    layout.SetPrintPos(QPoint(0, 0));
    TPreviewPicture picture;
    picture.Assign(&photo());
    layout.SetGraphicSize(picture.width(), picture.height());
    layout.SetPrintRatio(24);
    layout.SetGraphicMode(mode);
    for (auto _ : state)
        PrintPicture(printer, layout, picture, 1);
    state.counters["sheets"] = layout.PageColumns() * layout.PageRows();
    state.counters["pdf_MB"] = static_cast<double>(std::filesystem::file_size(out)) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::filesystem::remove(out);
}
BENCHMARK(BM_PrintPdf)
    ->Arg(gmMetafile)
    ->Arg(gmGraphic)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
