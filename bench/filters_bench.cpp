// Neighbourhood filters and geometry on a 6000 × 4000 24-bit picture, with one thread and
// with two (the benchmark argument). Each repetition starts from the same picture; its
// copy into the engine is not timed.
//
//   bench_filters --benchmark_filter=Blur
//   scripts/compare-filters.sh   (runs this beside OpenCV, libvips and ImageMagick)
#include <cstdint>
#include <functional>
#include <memory>
#include <random>

#include <benchmark/benchmark.h>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "platform/Bitmap.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// A photograph-like picture: smooth gradients with noise, so that filters meet the
// variety of values a real picture has.
const Bitmap& picture() {
    static const Bitmap bmp = [] {
        Bitmap b(kWidth, kHeight, pf24bit);
        std::mt19937 rng(7);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = b.scanLine(y);
            for (int x = 0; x < kWidth; ++x) {
                const int noise = int(rng() % 25) - 12;
                auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
                row[3 * x] = clamp(x * 255 / kWidth + noise);
                row[3 * x + 1] = clamp(y * 255 / kHeight + noise);
                row[3 * x + 2] = clamp((x / 7 + y / 5) % 256 + noise);
            }
        }
        return b;
    }();
    return bmp;
}

void runOperation(benchmark::State& state, const std::function<void(TFastPicture&)>& op) {
    engine::setThreadCount(int(state.range(0)));
    TFastPicture pic;
    for (auto _ : state) {
        state.PauseTiming();
        pic.picture().setGraphic(std::make_unique<Bitmap>(picture()));
        state.ResumeTiming();
        op(pic);
        benchmark::DoNotOptimize(pic.picture().graphic());
    }
}

#define PW_FILTER_BENCH(name, call)                                                                \
    void BM_##name(benchmark::State& state) {                                                      \
        runOperation(state, [](TFastPicture& p) { call; });                                        \
    }                                                                                              \
    BENCHMARK(BM_##name)                                                                           \
        ->Arg(1)                                                                                   \
        ->Arg(2)                                                                                   \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->UseRealTime()                                                                            \
        ->Iterations(1)                                                                            \
        ->Repetitions(7)                                                                           \
        ->ReportAggregatesOnly(true)

PW_FILTER_BENCH(Blur, p.Blur());
PW_FILTER_BENCH(Edge, p.Edge(50));
PW_FILTER_BENCH(Median50, p.Median(50));
PW_FILTER_BENCH(Median100, p.Median(100));
// Most pixels lie farther than the threshold from their window's median: the kernels'
// path that both copies and replaces.
PW_FILTER_BENCH(Median90, p.Median(90));
PW_FILTER_BENCH(SobelOverlay, p.Sobel(50, true));
PW_FILTER_BENCH(SobelExtract, p.Sobel(100, false));
PW_FILTER_BENCH(Mosaic10, p.Mosaic(10));
PW_FILTER_BENCH(Framing, p.Framing(40, 200, true));
PW_FILTER_BENCH(Turn90, p.Turn(90));
PW_FILTER_BENCH(Turn180, p.Turn(180));
PW_FILTER_BENCH(Reverse, p.Reverse());
PW_FILTER_BENCH(EnlargeTo9000x6000, p.Enlarge(9000, 6000));
PW_FILTER_BENCH(EnlargeTo12000x8000, p.Enlarge(12000, 8000));
PW_FILTER_BENCH(ShrinkTo3000x2000, p.Shrink(3000, 2000));
PW_FILTER_BENCH(ShrinkTo1920x1280, p.Shrink(1920, 1280));

} // namespace

BENCHMARK_MAIN();
