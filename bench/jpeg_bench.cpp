// JPEG decoding and encoding of a 6000 × 4000 photo-sized picture at qualities 70 and 90,
// beside djpeg and cjpeg run on the same file in the same process run (wall time, process
// start and writing to /dev/null included; see scripts/compare-formats.sh).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchPictures.h"
#include "formats/Jpeg.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// Smooth gradients with a little noise: compresses like a photograph.
const Bitmap& photo() {
    static const Bitmap bmp = gradientPhoto(
        kWidth, kHeight, [](int x, int y) { return ((x / 7 + y / 5) % 256) / 2 + 64; });
    return bmp;
}

std::vector<uint8_t> encoded(int quality) {
    TJPEGImage jpeg;
    jpeg.Quality = static_cast<uint8_t>(quality);
    jpeg.assign(photo());
    return jpeg.saveToBytes();
}

std::filesystem::path fileFor(int quality) {
    auto path =
        std::filesystem::temp_directory_path() / ("pw-bench-q" + std::to_string(quality) + ".jpg");
    if (!std::filesystem::exists(path)) {
        auto bytes = encoded(quality);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    return path;
}

std::filesystem::path ppmFile() {
    auto path = std::filesystem::temp_directory_path() / "pw-bench-photo.ppm";
    if (!std::filesystem::exists(path)) {
        std::ofstream out(path, std::ios::binary);
        out << "P6\n" << kWidth << " " << kHeight << "\n255\n";
        std::vector<uint8_t> row(static_cast<size_t>(kWidth) * 3);
        for (int y = 0; y < kHeight; ++y) {
            const uint8_t* p = photo().scanLine(y);
            for (int x = 0; x < kWidth; ++x) {
                row[3 * x] = p[3 * x + 2];
                row[3 * x + 1] = p[3 * x + 1];
                row[3 * x + 2] = p[3 * x];
            }
            out.write(reinterpret_cast<const char*>(row.data()),
                      static_cast<std::streamsize>(row.size()));
        }
    }
    return path;
}

void BM_Decode(benchmark::State& state) {
    auto bytes = encoded(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TJPEGImage jpeg;
        jpeg.loadFromBytes(bytes);
        benchmark::DoNotOptimize(jpeg.bitmap().scanLine(0));
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Encode(benchmark::State& state) {
    const Bitmap& src = photo();
    for (auto _ : state) {
        TJPEGImage jpeg;
        jpeg.Quality = static_cast<uint8_t>(state.range(0));
        jpeg.assign(src);
        benchmark::DoNotOptimize(jpeg.saveToBytes().size());
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void runTool(benchmark::State& state, const std::string& command) {
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError(("failed: " + command).c_str());
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Djpeg(benchmark::State& state) {
    runTool(state,
            "djpeg -bmp -outfile /dev/null " + fileFor(static_cast<int>(state.range(0))).string());
}

void BM_Cjpeg(benchmark::State& state) {
    runTool(state, "cjpeg -quality " + std::to_string(state.range(0)) + " -outfile /dev/null " +
                       ppmFile().string());
}

} // namespace

BENCHMARK(BM_Decode)->Arg(70)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Djpeg)->Arg(70)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Encode)->Arg(70)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Cjpeg)->Arg(70)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
