// Point operations on a 6000 × 4000 24-bit picture, with one thread and with two
// (the benchmark's argument), and the tone sliders' re-application on 12 megapixels.
// scripts/compare-engine.sh runs this beside OpenCV on a picture of the same size.
#include <functional>
#include <string>

#include <cstring>

#include <benchmark/benchmark.h>

#include "engine/FastPicture.h"
#include "engine/Histogram.h"
#include "engine/RowDriver.h"
#include "platform/Bitmap.h"

namespace {

// Deterministic, photo-like content (gradients and some noise), so that the levels of
// FindLevels and the branches of BlackAndWhite behave as on a real picture.
Bitmap makePicture(int width, int height) {
    Bitmap bmp(width, height, pf24bit);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* p = bmp.scanLine(y);
        for (int x = 0; x < width; ++x, p += 3) {
            noise = noise * 1664525u + 1013904223u;
            const int n = static_cast<int>((noise >> 24) & 15) - 8;
            auto clamp = [](int v) {
                return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            };
            p[0] = clamp(40 + x * 180 / width + n);
            p[1] = clamp(30 + y * 190 / height + n);
            p[2] = clamp(20 + (x + y) * 200 / (width + height) + n);
        }
    }
    return bmp;
}

const Bitmap& bigPicture() {
    static const Bitmap picture = makePicture(6000, 4000);
    return picture;
}

const Bitmap& twelveMegapixels() {
    static const Bitmap picture = makePicture(4000, 3000);
    return picture;
}

// Runs op on the held picture once per iteration. Point operations cost the same whatever
// the bytes hold, so the picture is not restored between iterations unless asked.
void runOperation(benchmark::State& state, const std::function<void(TFastPicture&)>& op,
                  bool restore) {
    engine::setThreadCount(static_cast<int>(state.range(0)));
    TFastPicture fp;
    fp.picture().assign(&bigPicture());
    for (auto _ : state) {
        if (restore) {
            state.PauseTiming();
            *fp.picture().as<Bitmap>() = bigPicture();
            state.ResumeTiming();
        }
        op(fp);
        benchmark::DoNotOptimize(fp.picture().as<Bitmap>()->scanLine(0)[0]);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(bigPicture().byteSize()));
}

#define POINT_BENCH(name, restore, ...)                                                            \
    void BM_##name(benchmark::State& state) {                                                      \
        runOperation(                                                                              \
            state, [](TFastPicture& f) { __VA_ARGS__; }, restore);                                 \
    }                                                                                              \
    BENCHMARK(BM_##name)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()

POINT_BENCH(Bright, false, f.Bright(120));
POINT_BENCH(Contrast, false, f.Contrast(130));
POINT_BENCH(Gamma, false, f.Gamma(1.6L));
POINT_BENCH(Light, false, f.Light(12));
POINT_BENCH(Linear, false, f.Linear(120, -10));
POINT_BENCH(Negative, false, f.Negative());
POINT_BENCH(Posterization, false, f.Posterization(6));
POINT_BENCH(GrayScale, false, f.GrayScale());
POINT_BENCH(Sepia, false, f.Sepia());
POINT_BENCH(BlackAndWhite, true, {
    int used;
    f.BlackAndWhite(128, used);
});
// With the automatic threshold: FindLevels, then the two-level pass.
POINT_BENCH(BlackAndWhiteAuto, true, {
    int used;
    f.BlackAndWhite(-1, used);
});
POINT_BENCH(Automatic, true, f.Automatic(1));
POINT_BENCH(FindLevels, false, {
    int low, high;
    f.FindLevels(low, high, 1, 1);
});

// The histogram's counting (every pixel, 256 bins) without the drawing.
void BM_CountHistogram(benchmark::State& state) {
    engine::setThreadCount(static_cast<int>(state.range(0)));
    TFastPicture fp;
    fp.picture().assign(&bigPicture());
    for (auto _ : state) {
        HistogramCounts counts;
        CountHistogram(fp, 0, 0, counts);
        benchmark::DoNotOptimize(counts.vmax);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(bigPicture().byteSize()));
}
BENCHMARK(BM_CountHistogram)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The worst case for counting: one colour everywhere, so that every count lands on the
// same counters.
void BM_CountHistogramFlat(benchmark::State& state) {
    engine::setThreadCount(static_cast<int>(state.range(0)));
    static const Bitmap flat = [] {
        Bitmap b(6000, 4000, pf24bit);
        for (int y = 0; y < b.height(); ++y)
            std::memset(b.scanLine(y), 0x80, size_t(3) * size_t(b.width()));
        return b;
    }();
    TFastPicture fp;
    fp.picture().assign(&flat);
    for (auto _ : state) {
        HistogramCounts counts;
        CountHistogram(fp, 0, 0, counts);
        benchmark::DoNotOptimize(counts.vmax);
    }
    state.SetBytesProcessed(state.iterations() * int64_t(flat.byteSize()));
}
BENCHMARK(BM_CountHistogramFlat)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The tone sliders on 12 megapixels: copy the base and apply the four operations, once
// one by one and once composed into a single pass.
void BM_ApplyToneSequential(benchmark::State& state) {
    engine::setThreadCount(static_cast<int>(state.range(0)));
    TFastPicture fp;
    for (auto _ : state) {
        fp.picture().assign(&twelveMegapixels());
        fp.Light(10);
        fp.Gamma(1.3L);
        fp.Contrast(120);
        fp.Bright(110);
        benchmark::DoNotOptimize(fp.picture().as<Bitmap>()->scanLine(0)[0]);
    }
}
BENCHMARK(BM_ApplyToneSequential)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ApplyToneComposed(benchmark::State& state) {
    engine::setThreadCount(static_cast<int>(state.range(0)));
    TFastPicture fp;
    for (auto _ : state) {
        fp.ApplyToneFromBase(twelveMegapixels(), 10, 1.3L, 120, 110);
        benchmark::DoNotOptimize(fp.picture().as<Bitmap>()->scanLine(0)[0]);
    }
}
BENCHMARK(BM_ApplyToneComposed)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
