#include "platform/Palette.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <mutex>

// Exact nearest-entry search, accelerated by splitting the RGB cube into 32 × 32 × 32 cells
// of 8 × 8 × 8 colours. For each cell that is asked about, the candidate list holds every
// entry that can be nearest to some colour of the cell: with M the smallest, over all
// entries, of the largest squared distance from the entry to the cell, an entry whose
// smallest squared distance to the cell exceeds M is farther than some other entry from
// every colour of the cell, so it is left out. Entries equal to an earlier entry are left
// out too (the earlier one wins every tie). The candidates keep palette order, so a strict
// comparison while scanning them gives the lowest index on a tie, as the plain search does.
//
// Cells are built on first use and published through atomics, so a palette can be searched
// from several threads at once.
struct Palette::Accelerator {
    static constexpr int kCellBits = 3;
    static constexpr int kCellsPerAxis = 256 >> kCellBits;
    static constexpr int kCellCount = kCellsPerAxis * kCellsPerAxis * kCellsPerAxis;

    // A cell's candidates, each packed as red | green << 8 | blue << 16 | index << 24, so a
    // scan needs no second look-up into the entries.
    using Cell = std::vector<uint32_t>;

    explicit Accelerator(const std::vector<Rgb>& entries) : entries(entries) {
        // Distinct colours, first occurrence only.
        for (size_t i = 0; i < entries.size() && i < 256; ++i) {
            bool seen = false;
            for (size_t j = 0; j < i && !seen; ++j)
                seen = entries[j] == entries[i];
            if (!seen) distinct.push_back(static_cast<uint8_t>(i));
        }
    }
    ~Accelerator() {
        if (cells)
            for (int i = 0; i < kCellCount; ++i)
                std::unique_ptr<const Cell> owned(cells[static_cast<size_t>(i)].load());
    }
    Accelerator(const Accelerator&) = delete;
    Accelerator& operator=(const Accelerator&) = delete;

    void prepare() {
        std::call_once(cellsOnce, [this] {
            states = std::make_unique<std::atomic<uint16_t>[]>(static_cast<size_t>(kCellCount));
            cells = std::make_unique<std::atomic<const Cell*>[]>(static_cast<size_t>(kCellCount));
        });
    }

    // Cell states: 0 not built yet; kSingle | index when one entry is nearest to the whole
    // cell (the common case, answered without touching a list); kList when cells[] holds
    // the candidates.
    static constexpr uint16_t kSingle = 0x100;
    static constexpr uint16_t kList = 0x200;

    // Builds and publishes a cell; returns its state.
    uint16_t publish(size_t index, int r, int g, int b) {
        auto built = std::make_unique<const Cell>(build(
            r >> kCellBits << kCellBits, g >> kCellBits << kCellBits, b >> kCellBits << kCellBits));
        uint16_t state = kList;
        if (built->size() == 1) {
            state = static_cast<uint16_t>(kSingle | ((*built)[0] >> 24));
        } else {
            const Cell* expected = nullptr;
            // When another thread published the same list first, ours is dropped.
            if (cells[index].compare_exchange_strong(expected, built.get(),
                                                     std::memory_order_acq_rel))
                built.release(); // owned by the table from now on
        }
        states[index].store(state, std::memory_order_release);
        return state;
    }

    static int axisMin(int v, int lo, int hi) { return v < lo ? lo - v : v > hi ? v - hi : 0; }
    static int axisMax(int v, int lo, int hi) { return std::max(v - lo, hi - v); }

    Cell build(int r0, int g0, int b0) const {
        const int span = (1 << kCellBits) - 1;
        int bound = INT_MAX;
        std::vector<int> dmin(distinct.size());
        for (size_t k = 0; k < distinct.size(); ++k) {
            const Rgb& e = entries[distinct[k]];
            int mr = axisMax(e.r, r0, r0 + span), mg = axisMax(e.g, g0, g0 + span),
                mb = axisMax(e.b, b0, b0 + span);
            bound = std::min(bound, mr * mr + mg * mg + mb * mb);
            int nr = axisMin(e.r, r0, r0 + span), ng = axisMin(e.g, g0, g0 + span),
                nb = axisMin(e.b, b0, b0 + span);
            dmin[k] = nr * nr + ng * ng + nb * nb;
        }
        Cell out;
        for (size_t k = 0; k < distinct.size(); ++k) {
            if (dmin[k] > bound) continue;
            const Rgb& e = entries[distinct[k]];
            out.push_back(uint32_t(e.r) | uint32_t(e.g) << 8 | uint32_t(e.b) << 16 |
                          uint32_t(distinct[k]) << 24);
        }
        return out;
    }

    // prepare() must have run.
    int nearest(int r, int g, int b) {
        size_t index = (static_cast<size_t>(r >> kCellBits) * kCellsPerAxis +
                        static_cast<size_t>(g >> kCellBits)) *
                           kCellsPerAxis +
                       static_cast<size_t>(b >> kCellBits);
        uint16_t state = states[index].load(std::memory_order_acquire);
        if (state == 0) state = publish(index, r, g, b);
        if (state & kSingle) return state & 0xFF;
        const Cell& c = *cells[index].load(std::memory_order_acquire);
        const uint32_t* p = c.data();
        const size_t n = c.size();
        uint32_t best = p[0];
        int bestDist = INT_MAX;
        for (size_t k = 0; k < n; ++k) {
            uint32_t e = p[k];
            int dr = int(e & 255) - r, dg = int((e >> 8) & 255) - g, db = int((e >> 16) & 255) - b;
            int d = dr * dr + dg * dg + db * db;
            if (d < bestDist) {
                bestDist = d;
                best = e;
            }
        }
        return int(best >> 24);
    }

    std::vector<Rgb> entries;
    std::vector<uint8_t> distinct;
    std::once_flag cellsOnce;
    std::unique_ptr<std::atomic<uint16_t>[]> states;
    std::unique_ptr<std::atomic<const Cell*>[]> cells;
};

namespace {
int plainNearest(const std::vector<Rgb>& entries, uint8_t r, uint8_t g, uint8_t b) {
    int best = 0;
    int bestDist = INT_MAX;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Rgb& c = entries[i];
        int dr = c.r - r, dg = c.g - g, db = c.b - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = static_cast<int>(i);
        }
    }
    return best;
}
} // namespace

Palette::Palette(std::vector<Rgb> entries) {
    setEntries(std::move(entries));
}

void Palette::setEntries(std::vector<Rgb> entries) {
    entries_ = std::move(entries);
    // Indices above 255 cannot be stored in a cell; such palettes use the plain search.
    accel_ = entries_.empty() || entries_.size() > 256 ? nullptr
                                                       : std::make_shared<Accelerator>(entries_);
}

int Palette::nearest(uint8_t r, uint8_t g, uint8_t b) const {
    if (entries_.empty()) return 0;
    if (!accel_) return plainNearest(entries_, r, g, b);
    accel_->prepare();
    return accel_->nearest(r, g, b);
}

void Palette::nearestRow(const uint8_t* bgr, int count, uint8_t* indices) const {
    if (entries_.empty()) {
        std::fill(indices, indices + std::max(count, 0), uint8_t{0});
        return;
    }
    if (!accel_) {
        for (int x = 0; x < count; ++x)
            indices[x] = static_cast<uint8_t>(
                plainNearest(entries_, bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]));
        return;
    }
    Accelerator& a = *accel_;
    a.prepare();
    // Neighbouring pixels often repeat: remember the last answer.
    int lastKey = -1;
    uint8_t lastIndex = 0;
    for (int x = 0; x < count; ++x, bgr += 3) {
        int key = bgr[0] | (bgr[1] << 8) | (bgr[2] << 16);
        if (key != lastKey) {
            lastKey = key;
            lastIndex = static_cast<uint8_t>(a.nearest(bgr[2], bgr[1], bgr[0]));
        }
        indices[x] = lastIndex;
    }
}

const Palette& Palette::defaultPalette() {
    static const Palette p({{0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},
                            {0, 0, 128},     {128, 0, 128},   {0, 128, 128},   {192, 192, 192},
                            {192, 220, 192}, {166, 202, 240}, {255, 251, 240}, {160, 160, 164},
                            {128, 128, 128}, {255, 0, 0},     {0, 255, 0},     {255, 255, 0},
                            {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}});
    return p;
}

// The halftone palette, 256 entries:
//   0..9     the first ten colours of the default palette (the dark system colours);
//   10..225  the 6 × 6 × 6 colour cube with levels 0, 51, 102, 153, 204, 255 on each axis,
//            red varying slowest and blue fastest;
//   226..245 twenty greys 12, 24, ..., 240, which fill in the grey axis between the
//            cube's six greys;
//   246..255 the last ten colours of the default palette (the light system colours).
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
    static const Palette p({{0, 0, 0},
                            {128, 0, 0},
                            {0, 128, 0},
                            {128, 128, 0},
                            {0, 0, 128},
                            {128, 0, 128},
                            {0, 128, 128},
                            {128, 128, 128},
                            {192, 192, 192},
                            {255, 0, 0},
                            {0, 255, 0},
                            {255, 255, 0},
                            {0, 0, 255},
                            {255, 0, 255},
                            {0, 255, 255},
                            {255, 255, 255}});
    return p;
}

const Palette& Palette::monochrome() {
    static const Palette p({{0, 0, 0}, {255, 255, 255}});
    return p;
}
