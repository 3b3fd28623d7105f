// The shared row driver: runs a kernel over the rows of a picture, split into contiguous
// row ranges that a small persistent pool of threads and the calling thread share.
// Kernels must write only their own rows (and read anything that no other range writes),
// so the result is identical to the serial loop whatever the number of threads.
#pragma once

#include <cstdint>
#include <functional>

namespace core {

// Number of threads the driver uses, the caller's included (1 = serial). Defaults to the
// number of cores.
int threadCount();
void setThreadCount(int threads);

// Least work (pixels, or whatever unit rowWork counts) worth handing to another thread:
// below it the hand-over costs more than the work.
inline constexpr int64_t kMinWorkPerTask = int64_t(1) << 16;

// Calls kernel(y0, y1) for row ranges [y0, y1) that together cover [0, rows), each row
// exactly once. rowWork is the work of one row (e.g. its width in pixels); ranges hold at
// least kMinWorkPerTask of work and at least minRowsPerTask rows, so small pictures run
// on the calling thread alone.
//
// Every range has finished when this returns or throws. An exception from a kernel is
// passed on to the caller (the one from the lowest range when several throw); a thread
// that cannot be started leaves its ranges to the threads that run. Calls from inside a
// kernel run serially on the thread that makes them.
void forEachRowRange(int rows, int64_t rowWork, const std::function<void(int y0, int y1)>& kernel,
                     int minRowsPerTask = 1);

namespace testing {
// Makes the pool's thread starts fail once `threads` workers run (a negative value lifts
// the limit), as when the system refuses new threads. The workers already running stay.
void limitThreadStarts(int threads);
// Stops and joins every worker of the pool; the next call starts them again.
void resetPool();
} // namespace testing

} // namespace core
