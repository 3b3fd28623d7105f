// The resampling routines as they were before their rewrite (ResampleReference.cpp).
#pragma once

#include "platform/Bitmap.h"

namespace reference {

Bitmap bilinearStretch(const Bitmap& Source, int NewWidth, int NewHeight);
Bitmap areaAverageShrink(const Bitmap& Source, int NewWidth, int NewHeight);

} // namespace reference
