// Colour reduction: the six ways the engine turns a 24-bit picture into an 8-bit one.
//
// Every entry point takes a bitmap in the working format (pf24bit: bytes blue, green, red,
// rows from the top) and returns a new pf8bit bitmap of the same size whose palette holds
// exactly the colours the method produced (fewer than 256 when the picture has fewer
// colours). The source is never changed. A source in another format is refused with an
// exception; so are parameters that would make the reduction loop forever or overflow the
// 256-entry palette.
#pragma once

#include "platform/Bitmap.h"

// Octree with MaxColors leaves (1..256; the engine passes 256).
Bitmap ReduceByOctree(const Bitmap& bitmap, int MaxColors);

// Median cut with at most 2^MaxDepth colours (the engine passes 8): the axis of each cut
// is chosen by weighted range, or by weighted variance.
Bitmap ReduceByMedianCut(const Bitmap& bitmap, int MaxDepth);
Bitmap ReduceByMedianCutVariance(const Bitmap& bitmap, int MaxDepth);

// The same cuts over the whole histogram, then Floyd–Steinberg error diffusion onto the
// cut's palette.
Bitmap ReduceByMedianCutDiffusion(const Bitmap& bitmap, int MaxDepth);
Bitmap ReduceByMedianCutVarianceDiffusion(const Bitmap& bitmap, int MaxDepth);

// Floyd–Steinberg error diffusion onto the fixed 210-colour palette (6 × 7 × 5 levels).
Bitmap ReduceByFixedPalette(const Bitmap& bitmap);
