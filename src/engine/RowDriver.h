// The shared row driver: runs a kernel over the rows of a picture, optionally split into
// contiguous row ranges on the machine's cores. Kernels must write only their own rows
// (and read anything that no other range writes), so the result is identical to the
// serial loop whatever the number of threads.
#pragma once

#include <functional>

namespace engine {

// Number of threads the driver uses (1 = serial). Defaults to the number of cores.
int threadCount();
void setThreadCount(int threads);

// Calls kernel(y0, y1) for row ranges [y0, y1) that together cover [0, rows).
// Ranges smaller than minRowsPerTask are not split further. Exceptions from a kernel are
// passed on to the caller after every range has finished.
void forEachRowRange(int rows, const std::function<void(int y0, int y1)>& kernel,
                     int minRowsPerTask = 16);

} // namespace engine
