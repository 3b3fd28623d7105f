#include "platform/Palette.h"

#include <climits>

struct Palette::Accelerator {};

Palette::Palette(std::vector<Rgb> entries) : entries_(std::move(entries)) {}

void Palette::setEntries(std::vector<Rgb> entries) {
    entries_ = std::move(entries);
    accel_.reset();
}

int Palette::nearest(uint8_t r, uint8_t g, uint8_t b) const {
    int best = 0;
    int bestDist = INT_MAX;
    for (int i = 0; i < size(); ++i) {
        const Rgb& c = entries_[static_cast<size_t>(i)];
        int dr = c.r - r, dg = c.g - g, db = c.b - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
        }
    }
    return best;
}

const Palette& Palette::defaultPalette() {
    static const Palette p({{0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},
                            {0, 0, 128},     {128, 0, 128},   {0, 128, 128},   {192, 192, 192},
                            {192, 220, 192}, {166, 202, 240}, {255, 251, 240}, {160, 160, 164},
                            {128, 128, 128}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
                            {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}});
    return p;
}

// The halftone palette: the first ten default colours, the 6 × 6 × 6 colour cube (levels
// 0, 51, 102, 153, 204, 255; red slowest, blue fastest), twenty greys 12, 24, ..., 240,
// and the last ten default colours.
const Palette& Palette::halftone() {
    static const Palette p = [] {
        const auto& def = defaultPalette().entries();
        std::vector<Rgb> e(def.begin(), def.begin() + 10);
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    e.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                                 static_cast<uint8_t>(b * 51)});
        for (int i = 1; i <= 20; ++i) {
            auto v = static_cast<uint8_t>(i * 12);
            e.push_back({v, v, v});
        }
        e.insert(e.end(), def.begin() + 10, def.end());
        return Palette(std::move(e));
    }();
    return p;
}

const Palette& Palette::vga16() {
    static const Palette p({{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                            {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {128, 128, 128},
                            {192, 192, 192}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                            {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}});
    return p;
}

const Palette& Palette::monochrome() {
    static const Palette p({{0, 0, 0}, {255, 255, 255}});
    return p;
}
