// Windows bitmap reading and writing, and the 8-bit halftone conversion, on a 24-megapixel
// photograph-sized picture (6000 × 4000, 24 bits per pixel).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "BenchPictures.h"
#include "platform/Bitmap.h"
#include "platform/Picture.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Smooth gradients with noise, so the halftone search meets many different colours.
const Bitmap& photo() {
    static const Bitmap bmp =
        gradientPhoto(kWidth, kHeight, [](int x, int y) { return (x + 2 * y) % 256; });
    return bmp;
}

const std::vector<uint8_t>& photoBytes() {
    static const std::vector<uint8_t> bytes = photo().saveToBytes();
    return bytes;
}

void BM_ReadBmp24(benchmark::State& state) {
    const auto& bytes = photoBytes();
    for (auto _ : state) {
        Bitmap bmp;
        bmp.loadFromBytes(bytes);
        benchmark::DoNotOptimize(bmp.scanLine(0));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}
BENCHMARK(BM_ReadBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteBmp24(benchmark::State& state) {
    const Bitmap& bmp = photo();
    for (auto _ : state) {
        auto bytes = bmp.saveToBytes();
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_WriteBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();

// Through the file system, as the program opens and saves, for comparison with other tools.
void BM_ReadBmp24File(benchmark::State& state) {
    auto path = std::filesystem::temp_directory_path() / "pw_bench_read.bmp";
    Picture pic;
    pic.assign(&photo());
    pic.saveToFile(path);
    for (auto _ : state) {
        Picture p;
        p.loadFromFile(path);
        benchmark::DoNotOptimize(p.graphic());
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_ReadBmp24File)->Unit(benchmark::kMillisecond)->UseRealTime();

// Encoding and a plain write, as other tools save.
void BM_WriteBmp24File(benchmark::State& state) {
    auto path = std::filesystem::temp_directory_path() / "pw_bench_write.bmp";
    const Bitmap& bmp = photo();
    for (auto _ : state) {
        auto bytes = bmp.saveToBytes();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_WriteBmp24File)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program's own saving: a temporary file flushed to disk and renamed over the target.
void BM_SavePictureFile(benchmark::State& state) {
    auto path = std::filesystem::temp_directory_path() / "pw_bench_save.bmp";
    Picture pic;
    pic.assign(&photo());
    for (auto _ : state)
        pic.saveToFile(path);
    std::filesystem::remove(path);
}
BENCHMARK(BM_SavePictureFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_To8BitHalftone(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Bitmap bmp = photo();
        state.ResumeTiming();
        bmp.setPixelFormat(pf8bit);
        benchmark::DoNotOptimize(bmp.scanLine(0));
    }
}
BENCHMARK(BM_To8BitHalftone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_From8BitTo24(benchmark::State& state) {
    Bitmap b8 = photo();
    b8.setPixelFormat(pf8bit);
    for (auto _ : state) {
        state.PauseTiming();
        Bitmap bmp = b8;
        state.ResumeTiming();
        bmp.setPixelFormat(pf24bit);
        benchmark::DoNotOptimize(bmp.scanLine(0));
    }
}
BENCHMARK(BM_From8BitTo24)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    registerPlatformFileFormats();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
