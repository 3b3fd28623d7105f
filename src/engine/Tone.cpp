// Tone and colour operations: per-pixel rewrites through 256-entry tables, the two-level
// black and white, the automatic level correction and the hand-over to the quantizers.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "engine/FastPicture.h"
#include "engine/RowDriver.h"
#include "engine/ToneTables.h"
#include "reduce/Reduce.h"

namespace {

using engine::ToneTable;

uint8_t clampByte(int64_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Applies one table to every byte of the working bitmap, split over the row driver.
void applyTable(Bitmap& bmp, const ToneTable& table) {
    const int width = bmp.width();
    engine::forEachRowRangeOnce(
        bmp.height(),
        [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                uint8_t* row = bmp.scanLine(y);
                engine::lookupRow(row, row, static_cast<size_t>(width) * 3, table);
            }
        },
        64);
}

} // namespace

namespace engine {

ToneTable identityTable() {
    ToneTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<uint8_t>(i);
    return t;
}

ToneTable brightTable(int Percent) {
    ToneTable t{};
    const int64_t k = static_cast<int64_t>(Percent) * 1024 / 100;
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<uint8_t>(std::min<int64_t>(255, (i * k) >> 10));
    return t;
}

ToneTable contrastTable(int Percent) {
    ToneTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = clampByte(static_cast<int64_t>(i - 128) * Percent / 100 + 128);
    return t;
}

ToneTable gammaTable(long double Value) {
    ToneTable t{};
    const long double e = 1.0L / Value;
    for (int i = 0; i < 256; ++i) {
        const long double base = static_cast<long double>(i) / 255.0L;
        const long double p = i == 0 ? 0.0L : std::pow(base, e);
        // nearbyint rounds to nearest with ties to even in the default rounding mode.
        t[i] = clampByte(static_cast<int64_t>(std::nearbyint(255.0L * p)));
    }
    return t;
}

ToneTable lightTable(int Delta) {
    ToneTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = clampByte(static_cast<int64_t>(i) + Delta);
    return t;
}

ToneTable linearTable(int Gain, int Offset) {
    ToneTable t{};
    const int64_t k = static_cast<int64_t>(Gain) * 1024 / 100;
    // A negative gain shifts arithmetically (rounding toward minus infinity) and clamps.
    for (int i = 0; i < 256; ++i)
        t[i] = clampByte(((i * k) >> 10) + Offset);
    return t;
}

ToneTable negativeTable() {
    ToneTable t{};
    for (int i = 0; i < 256; ++i)
        t[i] = static_cast<uint8_t>(255 - i);
    return t;
}

ToneTable posterizationTable(int Levels) {
    ToneTable t{};
    const int width = 256 / Levels;
    const int unit = 255 / (Levels - 1);
    for (int i = 0; i < 256; ++i) {
        const int c = i / width;
        t[i] = c == 0 ? 0 : (c < Levels - 1 ? static_cast<uint8_t>(unit * c) : 255);
    }
    return t;
}

bool brightValid(int Percent) {
    return ranges::kBrightPercent.accepts(Percent);
}
bool contrastValid(int Percent) {
    return ranges::kContrastPercent.accepts(Percent);
}
bool gammaValid(long double Value) {
    return ranges::kGammaValue.accepts(Value);
}
bool lightValid(int Delta) {
    return ranges::kLightDelta.accepts(Delta);
}
bool linearValid(int Gain, int Offset) {
    return !(Gain == 100 && Offset == 0);
}
bool posterizationValid(int Levels) {
    return ranges::kPosterizationLevels.accepts(Levels);
}

} // namespace engine

template <class MakeTable>
void TFastPicture::TableOperation(const char* kind, bool argumentsValid, MakeTable makeTable) {
    PixelFrame f(*this, kind, argumentsValid);
    if (!f) return;
    applyTable(*f.bitmap, makeTable());
    f.commit();
}

void TFastPicture::Bright(int Percent) {
    TableOperation("Bright", engine::brightValid(Percent),
                   [&] { return engine::brightTable(Percent); });
}

void TFastPicture::Contrast(int Percent) {
    TableOperation("Contrast", engine::contrastValid(Percent),
                   [&] { return engine::contrastTable(Percent); });
}

void TFastPicture::Gamma(long double Value) {
    TableOperation("Gamma", engine::gammaValid(Value), [&] { return engine::gammaTable(Value); });
}

void TFastPicture::Light(int Delta) {
    TableOperation("Light", engine::lightValid(Delta), [&] { return engine::lightTable(Delta); });
}

void TFastPicture::Linear(int Gain, int Offset) {
    TableOperation("Linear", engine::linearValid(Gain, Offset),
                   [&] { return engine::linearTable(Gain, Offset); });
}

void TFastPicture::Negative() {
    TableOperation("Negative", true, [&] { return engine::negativeTable(); });
}

void TFastPicture::Posterization(int Levels) {
    TableOperation("Posterization", engine::posterizationValid(Levels),
                   [&] { return engine::posterizationTable(Levels); });
}

namespace {

// Runs a row kernel over the working bitmap's rows on the row driver.
template <class Kernel> void forEachRow(Bitmap& bmp, Kernel kernel) {
    const auto width = static_cast<size_t>(bmp.width());
    engine::forEachRowRangeOnce(
        bmp.height(),
        [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y)
                kernel(bmp.scanLine(y), width);
        },
        64);
}

} // namespace

// GrayScale and Sepia: the luminance is the sum of three weight tables (0.114, 0.587 and
// 0.299 scaled by 1024, each term truncated by itself), so white becomes 254; Sepia then
// scales it by 619 / 1024 for blue and 853 / 1024 for green. The row kernels compute the
// same truncated terms directly.
void TFastPicture::GrayScale() {
    PixelFrame f(*this, "GrayScale", true);
    if (!f) return;
    forEachRow(*f.bitmap, [](uint8_t* row, size_t width) { engine::grayRow(row, width); });
    f.commit();
}

void TFastPicture::Sepia() {
    PixelFrame f(*this, "Sepia", true);
    if (!f) return;
    forEachRow(*f.bitmap, [](uint8_t* row, size_t width) { engine::sepiaRow(row, width); });
    f.commit();
}

namespace {

// Where the darkest and the lightest Percent per cent of the sampled pixels of a 24-bit
// bitmap lie. Leaves Low and High alone when nothing is sampled.
void measureLevels(const Bitmap& bmp, unsigned Percent, int Step, int& Low, int& High) {
    // Sampled rows are split over the row driver; each range counts into its own
    // histograms, which are then added up (the sums do not depend on the split).
    int64_t counts[3][256] = {};
    const int width = bmp.width();
    const int sampledRows = (bmp.height() + Step - 1) / Step;
    const int64_t sampledColumns = (width + Step - 1) / Step;
    const int64_t n = static_cast<int64_t>(sampledRows) * sampledColumns;
    if (n <= 0) return;
    std::mutex merge;
    engine::forEachRowRange(
        sampledRows,
        [&](int r0, int r1) {
            auto local = std::make_unique<engine::ChannelCounts>();
            for (int s = r0; s < r1; ++s)
                local->countRow(bmp.scanLine(s * Step), width, Step);
            std::lock_guard lock(merge);
            local->addTo(counts);
        },
        64);
    const int64_t* hb = counts[0];
    const int64_t* hg = counts[1];
    const int64_t* hr = counts[2];

    const int64_t percent = Percent;
    // Dark end: the first level at which one channel's share, counted from level 0,
    // exceeds Percent; channels are tried blue, green, red at each level.
    int64_t sb = 0, sg = 0, sr = 0;
    int i = 0;
    for (; i < 256; ++i) {
        sb += hb[i];
        if (sb * 100 / n > percent) break;
        sg += hg[i];
        if (sg * 100 / n > percent) break;
        sr += hr[i];
        if (sr * 100 / n > percent) break;
    }
    Low = std::max(0, i - 1);

    sb = sg = sr = 0;
    i = 255;
    for (; i >= 0; --i) {
        sb += hb[i];
        if (sb * 100 / n > percent) break;
        sg += hg[i];
        if (sg * 100 / n > percent) break;
        sr += hr[i];
        if (sr * 100 / n > percent) break;
    }
    High = std::min(255, i + 1);
}

// Puts a bitmap's starting format back when it leaves scope, also when an exception
// passes: 8 and 32 bits are restored, other formats stay at 24 bits.
class FormatRestorer {
public:
    FormatRestorer(Bitmap& bmp, PixelFormat start) : bmp_(bmp), start_(start) {}
    FormatRestorer(const FormatRestorer&) = delete;
    FormatRestorer& operator=(const FormatRestorer&) = delete;
    ~FormatRestorer() noexcept(false) {
        if (start_ != pf8bit && start_ != pf32bit) return;
        // While another exception unwinds, a failing conversion must not end the program;
        // the picture then stays at 24 bits, a complete picture of the same pixels.
        if (std::uncaught_exceptions() > 0) {
            try {
                bmp_.setPixelFormat(start_);
            } catch (...) {
            }
            return;
        }
        bmp_.setPixelFormat(start_);
    }

private:
    Bitmap& bmp_;
    PixelFormat start_;
};

} // namespace

void TFastPicture::BlackAndWhite(int Threshold, int& Used) {
    PixelFrame f(*this, "BlackAndWhite",
                 engine::ranges::kBlackAndWhiteThreshold.accepts(Threshold));
    if (!f) return;
    int t = Threshold;
    if (Threshold == -1) {
        // The levels of the working bitmap, as FindLevels would measure them.
        int low = 255, high = 0;
        measureLevels(*f.bitmap, 40, 1, low, high);
        // Unmeasurable levels: leave quietly, the picture as it was.
        if (low > high) return;
        t = (low + high) / 2;
    }
    const int limit = 3 * t;
    forEachRow(*f.bitmap,
               [limit](uint8_t* row, size_t width) { engine::thresholdRow(row, width, limit); });
    Used = t;
    f.commit();
}

void TFastPicture::FindLevels(int& Low, int& High, unsigned Percent, int Step) {
    Low = 255;
    High = 0;
    if (!engine::ranges::kFindLevelsPercent.accepts(Percent) ||
        !engine::ranges::kFindLevelsStep.accepts(Step) || GetBitsPerPixel() < 8)
        return;

    // Working format, as the frame brings it, without the frame's events; the starting
    // format comes back on every way out.
    Bitmap& bmp = *Picture_.as<Bitmap>();
    const PixelFormat start = bmp.pixelFormat();
    const FormatRestorer restorer(bmp, start);
    if (start != pf24bit) bmp.setPixelFormat(pf24bit);
    measureLevels(bmp, Percent, Step, Low, High);
}

void TFastPicture::Spread(int Low, int High, int OutLow, int OutHigh) {
    Announcement announcement(*this, "Spread");
    const auto& level = engine::ranges::kSpreadLevel;
    if (!level.accepts(Low) || !level.accepts(High) || !level.accepts(OutLow) ||
        !level.accepts(OutHigh))
        return;
    if (Low >= High || OutLow >= OutHigh) return;
    const int gain = (OutHigh - OutLow) * 100 / (High - Low);
    const int offset = OutHigh - High * gain / 100;
    Linear(gain, offset);
    announcement.finish(false);
}

void TFastPicture::Automatic(unsigned Percent) {
    Announcement announcement(*this, "Automatic");
    if (!engine::ranges::kAutomaticPercent.accepts(Percent)) return;
    int low = 0, high = 0;
    FindLevels(low, high, Percent, 1);
    if (low > high) return;
    Spread(low, high, 0, 255);
    announcement.finish(false);
}

void TFastPicture::Reduce(uint8_t Method) {
    Announcement announcement(*this, "Reduce");
    if (!engine::ranges::kReduceMethod.accepts(Method) || GetBitsPerPixel() <= 8) return;
    // The quantizers read a 24-bit picture. The held picture becomes 24-bit for good; it is
    // converted apart and put in only together with the result, so that a failing
    // quantizer leaves the picture as it was.
    Bitmap& held = *Picture_.as<Bitmap>();
    Bitmap converted;
    const Bitmap* source = &held;
    if (held.pixelFormat() != pf24bit) {
        converted = held;
        converted.setPixelFormat(pf24bit);
        source = &converted;
    }
    Bitmap reduced;
    switch (static_cast<engine::ReduceMethod>(Method)) {
    case engine::ReduceMethod::Octree:
        reduced = ReduceByOctree(*source, 256);
        break;
    case engine::ReduceMethod::MedianCut:
        reduced = ReduceByMedianCut(*source, 8);
        break;
    case engine::ReduceMethod::MedianCutVariance:
        reduced = ReduceByMedianCutVariance(*source, 8);
        break;
    case engine::ReduceMethod::MedianCutDiffusion:
        reduced = ReduceByMedianCutDiffusion(*source, 8);
        break;
    case engine::ReduceMethod::MedianCutVarianceDiffusion:
        reduced = ReduceByMedianCutVarianceDiffusion(*source, 8);
        break;
    case engine::ReduceMethod::FixedPalette:
        reduced = ReduceByFixedPalette(*source);
        break;
    }
    held = std::move(reduced);
    // Replacing the picture repaints the control.
    announcement.finish();
}

void TFastPicture::ApplyToneFromBase(const Graphic& Base, int Delta, long double GammaValue,
                                     int ContrastPercent, int BrightPercent) {
    const Bitmap* base = dynamic_cast<const Bitmap*>(&Base);
    if (!base || base->bitsPerPixel() < 8 || base->pixelFormat() == pf8bit) {
        Picture_.assign(&Base);
        Light(Delta);
        Gamma(GammaValue);
        Contrast(ContrastPercent);
        Bright(BrightPercent);
        return;
    }

    struct Step {
        const char* kind;
        bool valid;
    };
    const Step steps[4] = {{"Light", engine::lightValid(Delta)},
                           {"Gamma", engine::gammaValid(GammaValue)},
                           {"Contrast", engine::contrastValid(ContrastPercent)},
                           {"Bright", engine::brightValid(BrightPercent)}};
    const bool anyValid = steps[0].valid || steps[1].valid || steps[2].valid || steps[3].valid;

    auto pass = [&] {
        engine::ToneTable table = engine::identityTable();
        if (steps[0].valid) table = engine::lightTable(Delta);
        if (steps[1].valid) table = engine::composeTables(table, engine::gammaTable(GammaValue));
        if (steps[2].valid)
            table = engine::composeTables(table, engine::contrastTable(ContrastPercent));
        if (steps[3].valid)
            table = engine::composeTables(table, engine::brightTable(BrightPercent));

        // The first operation brings a 15- or 16-bit picture to 24 bits for good; 32-bit
        // and device pictures come back as 32-bit ones.
        const PixelFormat source = base->pixelFormat();
        const PixelFormat target = (source == pf32bit || source == pfDevice) ? pf32bit : pf24bit;
        std::unique_ptr<Bitmap> fresh;
        const Bitmap* src = base;
        Bitmap* dst = nullptr;
        if (source != pf24bit && target == pf24bit) {
            // A 15- or 16-bit base is widened into the new picture and rewritten in place.
            fresh = std::make_unique<Bitmap>(*base);
            fresh->setPixelFormat(pf24bit);
            src = dst = fresh.get();
        }
        const int w = src->width(), h = src->height();
        Bitmap* held = Picture_.as<Bitmap>();
        if (!dst && held && held->width() == w && held->height() == h &&
            held->pixelFormat() == target)
            dst = held; // reused, or the base itself when it is the held picture
        if (!dst) {
            fresh = std::make_unique<Bitmap>(w, h, target);
            dst = fresh.get();
        }
        engine::forEachRowRange(
            h,
            [&](int y0, int y1) {
                for (int y = y0; y < y1; ++y) {
                    if (target == pf24bit)
                        engine::lookupRow(src->scanLine(y), dst->scanLine(y),
                                          static_cast<size_t>(w) * 3, table);
                    else
                        engine::lookupBgrx(src->scanLine(y), dst->scanLine(y),
                                           static_cast<size_t>(w), table.data());
                }
            },
            64);
        if (fresh) Picture_.setGraphic(std::move(fresh));
        Invalidate();
    };

    if (!anyValid) {
        if (Picture_.graphic() != &Base) Picture_.assign(&Base);
        Invalidate();
    }
    bool done = false;
    for (const Step& step : steps) {
        Announcement announcement(*this, step.kind);
        if (!step.valid) continue;
        if (!done) {
            try {
                pass();
            } catch (...) {
                // The pass may have rewritten the held bitmap in part. The picture falls
                // back to the base, where the operations one by one would have left it
                // when the first of them failed.
                if (Picture_.graphic() != &Base) Picture_.assign(&Base);
                Invalidate();
                throw;
            }
            done = true;
        }
        announcement.finish(false);
    }
}
