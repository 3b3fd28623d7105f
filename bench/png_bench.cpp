// PNG and WebP decoding and encoding of a 6000 × 4000 photo-sized picture. The files it
// decodes are written to the temporary folder (pw-bench-photo.png, pw-bench-photo-q90.webp,
// pw-bench-photo-lossless.webp) so that scripts/compare-pngwebp.sh can time Pillow and
// OpenCV on the very same files; the encoded sizes are reported as counters.
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchPictures.h"
#include "formats/Png.h"
#include "formats/Webp.h"

namespace {

constexpr int kWidth = 6000, kHeight = 4000;

// The JPEG benchmark's photograph: smooth gradients with a little noise.
const Bitmap& photo() {
    static const Bitmap bmp = gradientPhoto(
        kWidth, kHeight, [](int x, int y) { return ((x / 7 + y / 5) % 256) / 2 + 64; });
    return bmp;
}

const std::vector<uint8_t>& stored(const std::string& name) {
    static std::map<std::string, std::vector<uint8_t>> files;
    auto it = files.find(name);
    if (it != files.end()) return it->second;
    std::vector<uint8_t> bytes = name == "png"        ? encodePng(photo())
                                 : name == "q90.webp" ? encodeWebp(photo(), 90)
                                                      : encodeWebp(photo(), 100);
    auto path = std::filesystem::temp_directory_path() /
                (name == "png" ? "pw-bench-photo.png" : "pw-bench-photo-" + name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return files.emplace(name, std::move(bytes)).first->second;
}

void decodeBench(benchmark::State& state, const std::string& name, bool png) {
    const auto& bytes = stored(name);
    for (auto _ : state) {
        Bitmap b = png ? decodePng(bytes) : decodeWebp(bytes);
        benchmark::DoNotOptimize(b.scanLine(0));
    }
    state.counters["file_MB"] = double(bytes.size()) / 1e6;
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_PngDecode(benchmark::State& state) {
    decodeBench(state, "png", true);
}
void BM_WebpDecodeLossy(benchmark::State& state) {
    decodeBench(state, "q90.webp", false);
}
void BM_WebpDecodeLossless(benchmark::State& state) {
    decodeBench(state, "lossless.webp", false);
}

void BM_PngEncode(benchmark::State& state) {
    size_t size = 0;
    for (auto _ : state)
        size = encodePng(photo()).size();
    state.counters["file_MB"] = double(size) / 1e6;
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_WebpEncode(benchmark::State& state) {
    size_t size = 0;
    for (auto _ : state)
        size = encodeWebp(photo(), int(state.range(0))).size();
    state.counters["file_MB"] = double(size) / 1e6;
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

} // namespace

BENCHMARK(BM_PngDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngEncode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WebpDecodeLossy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WebpDecodeLossless)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WebpEncode)->Arg(90)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_WebpEncode)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK_MAIN();
