// Metafile work the program does on every picture change: recording the histogram-sized
// drawing, recording a photo into a metafile (the picture-kind conversion), playing a
// recording onto the view, and writing both file formats.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Metafile.h"

namespace {

Bitmap photo(int w, int h) {
    Bitmap b(w, h, pf24bit);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.scanLine(y);
        for (int x = 0; x < w; ++x) {
            row[3 * x] = uint8_t(x * 255 / w);
            row[3 * x + 1] = uint8_t(y * 255 / h);
            row[3 * x + 2] = uint8_t((x ^ y) & 255);
        }
    }
    return b;
}

// A drawing like the histogram: a background, three 64-point curves, axes and labels.
Metafile histogramLike() {
    Metafile m;
    m.setWidth(572);
    m.setHeight(350);
    MetafileCanvas c(m);
    c.brush().color = clSilver;
    c.fillRect(QRect(0, 0, 572, 350));
    for (TColor colour : {clBlue, clLime, clRed}) {
        c.pen().color = colour;
        std::vector<QPoint> pts;
        for (int i = 0; i < 64; ++i)
            pts.emplace_back(2 * (17 + i * 4), 2 * (159 - (i * 37 + int(colour)) % 150));
        c.polyline(pts);
    }
    c.pen().color = clBlack;
    c.font().size = 16;
    for (int i = 0; i <= 16; ++i) {
        c.moveTo(2 * (i * 16 + 15), 320);
        c.lineTo(2 * (i * 16 + 15), 326);
        if (i % 4 == 0) c.textOut(2 * (i * 16 + 15), 324, QString::number(i * 16));
    }
    return m;
}

void BM_RecordHistogram(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(histogramLike().records().size());
}
BENCHMARK(BM_RecordHistogram)->Unit(benchmark::kMicrosecond);

void BM_PlayHistogram(benchmark::State& state) {
    Metafile m = histogramLike();
    QImage img(572, 350, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&img);
        m.paint(p, QRectF(0, 0, 572, 350));
    }
}
BENCHMARK(BM_PlayHistogram)->Unit(benchmark::kMicrosecond);

// A 1920 × 1080 photo recorded into a metafile and played back at the same size.
void BM_RecordPhoto(benchmark::State& state) {
    Bitmap b = photo(1920, 1080);
    for (auto _ : state) {
        Metafile m;
        m.setWidth(1920);
        m.setHeight(1080);
        MetafileCanvas c(m);
        c.draw(0, 0, b);
        c.end();
        benchmark::DoNotOptimize(m.records().size());
    }
}
BENCHMARK(BM_RecordPhoto)->Unit(benchmark::kMillisecond);

void BM_PlayPhoto(benchmark::State& state) {
    Bitmap b = photo(1920, 1080);
    Metafile m;
    m.setWidth(1920);
    m.setHeight(1080);
    {
        MetafileCanvas c(m);
        c.draw(0, 0, b);
    }
    QImage img(1920, 1080, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter p(&img);
        m.paint(p, QRectF(0, 0, 1920, 1080));
    }
}
BENCHMARK(BM_PlayPhoto)->Unit(benchmark::kMillisecond);

void BM_SaveEmfAndWmf(benchmark::State& state) {
    Metafile m = histogramLike();
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.saveToEmfBytes().size());
        benchmark::DoNotOptimize(m.saveToWmfBytes().size());
    }
}
BENCHMARK(BM_SaveEmfAndWmf)->Unit(benchmark::kMicrosecond);

void BM_LoadEmf(benchmark::State& state) {
    std::vector<uint8_t> bytes = histogramLike().saveToEmfBytes();
    for (auto _ : state) {
        Metafile m;
        m.loadFromBytes(bytes);
        benchmark::DoNotOptimize(m.width());
    }
}
BENCHMARK(BM_LoadEmf)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
