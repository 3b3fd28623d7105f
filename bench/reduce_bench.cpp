// The six colour reductions on a photo-like 6000 × 4000 picture and on 1920 × 1080: time per
// reduction and the PSNR of the reduced picture against the original (counter "PSNR").
// scripts/compare-reduce.sh runs this beside ImageMagick, Pillow and pngquant on the same
// pictures, which this program writes as PPM files when asked:
//
//   bench_reduce --write-picture=6000x4000:/tmp/big.ppm [--write-picture=...] [benchmark flags]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/Bitmap.h"
#include "reduce/Reduce.h"

namespace {

// Smooth random field in 0..1: bilinear interpolation of a random grid of the given cell size.
class ValueNoise {
public:
    ValueNoise(int width, int height, int cell, std::mt19937& rng)
        : cell_(cell), cols_(width / cell + 2), rows_(height / cell + 2) {
        grid_.resize(static_cast<size_t>(cols_) * static_cast<size_t>(rows_));
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        for (float& v : grid_)
            v = unit(rng);
    }
    float at(int x, int y) const {
        const int gx = x / cell_, gy = y / cell_;
        const float fx = static_cast<float>(x % cell_) / static_cast<float>(cell_);
        const float fy = static_cast<float>(y % cell_) / static_cast<float>(cell_);
        auto g = [&](int cx, int cy) {
            return grid_[static_cast<size_t>(cy) * static_cast<size_t>(cols_) +
                         static_cast<size_t>(cx)];
        };
        // Smoothstep weights avoid visible grid lines.
        const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
        const float top = g(gx, gy) + (g(gx + 1, gy) - g(gx, gy)) * sx;
        const float bottom = g(gx, gy + 1) + (g(gx + 1, gy + 1) - g(gx, gy + 1)) * sx;
        return top + (bottom - top) * sy;
    }

private:
    int cell_, cols_, rows_;
    std::vector<float> grid_;
};

// Photo-like content: a sky-to-ground gradient, smooth colour regions at several scales,
// a few hard-edged objects, texture and sensor noise. Deterministic for a given size.
Bitmap makePhoto(int width, int height) {
    std::mt19937 rng(20261208u);
    const int scale = std::max(width, height);
    const ValueNoise coarse(width, height, std::max(8, scale / 6), rng);
    const ValueNoise hue(width, height, std::max(8, scale / 10), rng);
    const ValueNoise medium(width, height, std::max(4, scale / 40), rng);
    const ValueNoise fine(width, height, std::max(2, scale / 300), rng);
    struct Disc {
        float cx, cy, r;
        float color[3];
    };
    std::vector<Disc> discs;
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 12; ++i)
        discs.push_back(Disc{unit(rng) * width,
                             unit(rng) * height,
                             (0.03f + 0.12f * unit(rng)) * scale,
                             {unit(rng) * 255, unit(rng) * 255, unit(rng) * 255}});
    Bitmap bmp(width, height, pf24bit);
    std::normal_distribution<float> sensor(0.0f, 2.5f);
    for (int y = 0; y < height; ++y) {
        uint8_t* p = bmp.scanLine(y);
        const float v = static_cast<float>(y) / static_cast<float>(height);
        for (int x = 0; x < width; ++x, p += 3) {
            const float light = 0.35f + 0.65f * coarse.at(x, y);
            const float h = hue.at(x, y);
            const float texture = (medium.at(x, y) - 0.5f) * 50.0f + (fine.at(x, y) - 0.5f) * 24.0f;
            float rgb[3] = {
                (90 + 140 * h) * light * (1.1f - 0.5f * v),
                (70 + 120 * (1 - h) * (0.4f + v)) * light,
                (60 + 170 * (1 - v) * (1 - 0.5f * h)) * light,
            };
            for (const Disc& d : discs) {
                const float dx = static_cast<float>(x) - d.cx, dy = static_cast<float>(y) - d.cy;
                if (dx * dx + dy * dy < d.r * d.r) {
                    const float shade = 0.6f + 0.4f * (1 - std::sqrt(dx * dx + dy * dy) / d.r);
                    for (int c = 0; c < 3; ++c)
                        rgb[c] = d.color[c] * shade;
                }
            }
            for (int c = 0; c < 3; ++c) {
                const float value = rgb[c] + texture + sensor(rng);
                const int rounded = static_cast<int>(std::lround(value));
                p[2 - c] = static_cast<uint8_t>(rounded < 0 ? 0 : (rounded > 255 ? 255 : rounded));
            }
        }
    }
    return bmp;
}

const Bitmap& photo(int width, int height) {
    static std::map<std::pair<int, int>, Bitmap> cache;
    auto it = cache.find({width, height});
    if (it == cache.end())
        it = cache.emplace(std::make_pair(width, height), makePhoto(width, height)).first;
    return it->second;
}

double psnr(const Bitmap& original, const Bitmap& reduced) {
    const Palette& palette = reduced.palette();
    double squares = 0;
    for (int y = 0; y < original.height(); ++y) {
        const uint8_t* o = original.scanLine(y);
        const uint8_t* r = reduced.scanLine(y);
        for (int x = 0; x < original.width(); ++x, o += 3) {
            const Rgb& c = palette[r[x]];
            const double db = o[0] - c.b, dg = o[1] - c.g, dr = o[2] - c.r;
            squares += db * db + dg * dg + dr * dr;
        }
    }
    const double mse = squares / (3.0 * original.width() * original.height());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

Bitmap reduceWith(int method, const Bitmap& source) {
    switch (method) {
    case 0:
        return ReduceByOctree(source, 256);
    case 1:
        return ReduceByMedianCut(source, 8);
    case 2:
        return ReduceByMedianCutVariance(source, 8);
    case 3:
        return ReduceByMedianCutDiffusion(source, 8);
    case 4:
        return ReduceByMedianCutVarianceDiffusion(source, 8);
    default:
        return ReduceByFixedPalette(source);
    }
}

void BM_Reduce(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    const Bitmap& source =
        photo(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
    Bitmap result;
    for (auto _ : state) {
        result = reduceWith(method, source);
        benchmark::DoNotOptimize(result.scanLine(0));
    }
    state.counters["PSNR"] = psnr(source, result);
    state.counters["colors"] = result.palette().size();
}

const char* const kMethodNames[] = {"Octree",
                                    "MedianCut",
                                    "MedianCutVariance",
                                    "MedianCutDiffusion",
                                    "MedianCutVarianceDiffusion",
                                    "FixedPalette"};

void registerAll() {
    for (int method = 0; method < 6; ++method)
        for (auto [w, h] : {std::pair{6000, 4000}, std::pair{1920, 1080}}) {
            const std::string name = std::string("BM_") + kMethodNames[method] + "/" +
                                     std::to_string(w) + "x" + std::to_string(h);
            benchmark::RegisterBenchmark(name.c_str(), BM_Reduce)
                ->Args({method, w, h})
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(w > 2000 ? 2.0 : 0.5);
        }
}

bool writePpm(const Bitmap& bmp, const char* path) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%d %d\n255\n", bmp.width(), bmp.height());
    std::vector<uint8_t> row(static_cast<size_t>(bmp.width()) * 3);
    bool ok = true;
    for (int y = 0; y < bmp.height() && ok; ++y) {
        const uint8_t* p = bmp.scanLine(y);
        for (int x = 0; x < bmp.width(); ++x) {
            row[3 * static_cast<size_t>(x)] = p[3 * x + 2];
            row[3 * static_cast<size_t>(x) + 1] = p[3 * x + 1];
            row[3 * static_cast<size_t>(x) + 2] = p[3 * x];
        }
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    bool wrote = false;
    for (int i = 0; i < argc; ++i) {
        const char* prefix = "--write-picture=";
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            int w = 0, h = 0;
            char path[4096] = {};
            if (std::sscanf(argv[i] + std::strlen(prefix), "%dx%d:%4095s", &w, &h, path) != 3 ||
                w <= 0 || h <= 0 || !writePpm(photo(w, h), path)) {
                std::fprintf(stderr, "cannot write %s\n", argv[i]);
                return 1;
            }
            wrote = true;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (wrote && rest.size() == 1) return 0;
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    registerAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
