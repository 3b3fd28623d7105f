// The engine's entry to the shared row driver (core/RowDriver.h): kernels run over row
// ranges on the driver's persistent threads. Kernels must write only their own rows (and
// read anything that no other range writes), so the result is identical to the serial
// loop whatever the number of threads.
#pragma once

#include <cstdint>
#include <functional>

#include "core/RowDriver.h"

namespace engine {

// Number of threads the driver uses (1 = serial). Defaults to the number of cores.
using core::setThreadCount;
using core::threadCount;

// Calls kernel(y0, y1) for row ranges [y0, y1) that together cover [0, rows). rowWork is
// the work of one row (its width in pixels, say): ranges hold at least
// core::kMinWorkPerTask of it, so small pictures stay on the calling thread. Exceptions
// from a kernel reach the caller after every range has finished.
inline void forEachRowRange(int rows, int64_t rowWork,
                            const std::function<void(int y0, int y1)>& kernel,
                            int minRowsPerTask = 1) {
    core::forEachRowRange(rows, rowWork, kernel, minRowsPerTask);
}

// The same for kernels whose rows are each worth a task: ranges are split down to
// minRowsPerTask rows.
inline void forEachRowRange(int rows, const std::function<void(int y0, int y1)>& kernel,
                            int minRowsPerTask = 16) {
    core::forEachRowRange(rows, core::kMinWorkPerTask, kernel, minRowsPerTask);
}

} // namespace engine
