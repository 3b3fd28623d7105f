// Switches for the resampling routines BilinearStretch and AreaAverageShrink (declared in
// FastPicture.h, implemented in Resample.cpp), and what they share with the other geometry.
#pragma once

#include <cstdint>
#include <vector>

class Bitmap;

namespace engine {

// The start of every row of bmp, for kernels that index rows directly.
std::vector<const uint8_t*> rowTable(const Bitmap& bmp);

// Makes the resampling routines use their plain kernels even where the processor offers
// AVX2. Both kinds give the same bytes; tests use this to compare them.
void useGenericResampleKernels(bool generic);

} // namespace engine
