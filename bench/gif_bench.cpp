// GIF encoding and decoding of a 2000 × 1500 picture of 256 colours, and the reduction of
// a true-colour picture to the web-safe palette that saving a bitmap performs. The same
// file (written to the temporary folder) is timed with giflib, Pillow and ImageMagick by
// scripts/compare-formats.sh.
#include <filesystem>
#include <fstream>
#include <random>

#include <benchmark/benchmark.h>

#include "formats/GIFImage.h"

namespace {

constexpr int kWidth = 2000, kHeight = 1500;

const TGIFImage& picture() {
    static const TGIFImage gif = [] {
        TGIFImage g;
        auto f = std::make_unique<TGIFSubImage>(&g);
        f->Width = kWidth;
        f->Height = kHeight;
        for (int i = 0; i < 256; ++i)
            f->ColorMap.Colors.push_back({uint8_t(i), uint8_t((i * 7) & 255), uint8_t(255 - i)});
        f->Data.resize(static_cast<size_t>(kWidth) * kHeight);
        std::mt19937 rng(3);
        // Bands of smooth gradient with some noise, as a reduced photograph looks.
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                f->Data[static_cast<size_t>(y) * kWidth + x] =
                    static_cast<uint8_t>((x / 8 + y / 6) + (rng() % 4 == 0 ? rng() % 3 : 0));
        g.Images.push_back(std::move(f));
        g.growScreen(false);
        auto path = std::filesystem::temp_directory_path() / "pw-bench-256.gif";
        auto bytes = g.saveToBytes();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return g;
    }();
    return gif;
}

void BM_GifEncode(benchmark::State& state) {
    const TGIFImage& gif = picture();
    size_t bytes = 0;
    for (auto _ : state) {
        auto out = gif.saveToBytes();
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_GifDecode(benchmark::State& state) {
    auto bytes = picture().saveToBytes();
    for (auto _ : state) {
        TGIFImage gif;
        gif.loadFromBytes(bytes);
        benchmark::DoNotOptimize(gif.Images[0]->Data.data());
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_GifFromBitmap(benchmark::State& state) {
    Bitmap bmp(kWidth, kHeight, pf24bit);
    std::mt19937 rng(5);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth * 3; ++x)
            bmp.scanLine(y)[x] = static_cast<uint8_t>(x / 9 + y / 7 + rng() % 5);
    for (auto _ : state) {
        TGIFImage gif;
        gif.assign(bmp);
        benchmark::DoNotOptimize(gif.saveToBytes().size());
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

} // namespace

BENCHMARK(BM_GifEncode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GifDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GifFromBitmap)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
