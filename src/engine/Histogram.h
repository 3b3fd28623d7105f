// Per-channel histogram of the engine's picture, as DrawHistogram draws it.
#pragma once

#include <vector>

class TFastPicture;

struct HistogramCounts {
    int bins = 0;     // 256 shr Shift
    int binWidth = 0; // 256 div bins
    bool hasPicture = false;
    // Percentages of the picture's pixels per bin (counts × 100 div pixels, truncated),
    // blue, green and red.
    std::vector<int> blue, green, red;
    // The percentage at the top of the vertical axis, always even and above zero.
    int vmax = 0;
};

// Counts every pixel of the held picture (a picture that is not a bitmap is counted after
// being drawn at its natural size) into 256 shr Shift bins per channel and turns the counts
// into percentages. VMax 0 asks for the largest percentage rounded up to a multiple of 20;
// another VMax is made even by adding one when odd. Returns false (and leaves counts alone)
// when Shift is outside 0..3 or VMax outside 0..100.
//
// When every percentage truncates to 0 (or the picture has no pixels) the automatic VMax
// would be 0 and the curves would have no scale: it is 20 then, so the curves lie on the
// base line.
bool CountHistogram(TFastPicture& engine, int Shift, int VMax, HistogramCounts& counts);
