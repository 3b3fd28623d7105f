// Colour palettes: a list of RGB entries with an exact nearest-entry search.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

class Palette {
public:
    Palette() = default;
    explicit Palette(std::vector<Rgb> entries);

    int size() const { return static_cast<int>(entries_.size()); }
    bool empty() const { return entries_.empty(); }
    const Rgb& operator[](int i) const { return entries_[static_cast<size_t>(i)]; }
    const std::vector<Rgb>& entries() const { return entries_; }
    void setEntries(std::vector<Rgb> entries);

    // Index of the entry nearest to (r, g, b) by squared Euclidean distance in RGB; on a tie
    // the lowest index wins. Exact, and fast on repeated calls (a lazily built per-cell
    // candidate table). Returns 0 for an empty palette.
    int nearest(uint8_t r, uint8_t g, uint8_t b) const;
    // nearest() for count pixels of bytes blue, green, red; writes one index per pixel.
    // Safe to call from several threads on the same palette.
    void nearestRow(const uint8_t* bgr, int count, uint8_t* indices) const;

    friend bool operator==(const Palette& a, const Palette& b) { return a.entries_ == b.entries_; }

    // The platform's default 20-colour palette (the 16 VGA colours plus 4 reserved
    // system colours, in the system order).
    static const Palette& defaultPalette();
    // The standard 256-colour halftone palette used when a picture becomes 8 bits per pixel.
    static const Palette& halftone();
    // The 16 VGA colours, for 4-bit pictures; black and white, for 1-bit pictures.
    static const Palette& vga16();
    static const Palette& monochrome();

private:
    struct Accelerator;
    std::vector<Rgb> entries_;
    // Shared by copies (same entries); replaced by setEntries.
    std::shared_ptr<Accelerator> accel_;
};
