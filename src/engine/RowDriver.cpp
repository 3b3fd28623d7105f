#include "engine/RowDriver.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace engine {

namespace {
std::atomic<int> g_threads{static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
}

int threadCount() {
    return g_threads.load();
}
void setThreadCount(int threads) {
    g_threads.store(std::max(1, threads));
}

void forEachRowRange(int rows, const std::function<void(int, int)>& kernel, int minRowsPerTask) {
    if (rows <= 0) return;
    int tasks = std::min(threadCount(), std::max(1, rows / std::max(1, minRowsPerTask)));
    if (tasks <= 1) {
        kernel(0, rows);
        return;
    }
    std::vector<std::exception_ptr> errors(static_cast<size_t>(tasks));
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(tasks - 1));
    auto run = [&](int t) {
        int y0 = static_cast<int>(static_cast<int64_t>(rows) * t / tasks);
        int y1 = static_cast<int>(static_cast<int64_t>(rows) * (t + 1) / tasks);
        try {
            kernel(y0, y1);
        } catch (...) {
            errors[static_cast<size_t>(t)] = std::current_exception();
        }
    };
    for (int t = 1; t < tasks; ++t)
        workers.emplace_back(run, t);
    run(0);
    for (auto& w : workers)
        w.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

} // namespace engine
