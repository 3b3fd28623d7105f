// Switches for the resampling routines BilinearStretch and AreaAverageShrink (declared in
// FastPicture.h, implemented in Geometry.cpp).
#pragma once

namespace engine {

// Makes the resampling routines use their plain kernels even where the processor offers
// AVX2. Both kinds give the same bytes; tests use this to compare them.
void useGenericResampleKernels(bool generic);

} // namespace engine
