#include "core/RowDriver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace core {

namespace {

std::atomic<int> g_threads{static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))};
std::atomic<int> g_startLimit{-1};
// Set on pool workers and on any thread while it runs ranges, so nested calls run serially
// instead of waiting for workers that may be busy with the outer call.
thread_local bool t_insideKernel = false;

// One call of forEachRowRange: its ranges are claimed one at a time by whichever thread
// gets there first, so a busy or missing worker only leaves more for the others.
struct Job {
    const std::function<void(int, int)>* kernel = nullptr;
    int rows = 0;
    int ranges = 0;
    std::atomic<int> next{0};
    int done = 0; // guarded by mutex
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<std::exception_ptr> errors;

    // Claims and runs ranges until none is left. Returns false when there was none.
    bool work() {
        bool any = false;
        for (;;) {
            int r = next.fetch_add(1, std::memory_order_relaxed);
            if (r >= ranges) return any;
            any = true;
            int y0 = static_cast<int>(int64_t(rows) * r / ranges);
            int y1 = static_cast<int>(int64_t(rows) * (r + 1) / ranges);
            std::exception_ptr error;
            bool saved = t_insideKernel;
            t_insideKernel = true;
            try {
                (*kernel)(y0, y1);
            } catch (...) {
                error = std::current_exception();
            }
            t_insideKernel = saved;
            std::lock_guard lock(mutex);
            if (error) errors[static_cast<size_t>(r)] = error;
            if (++done == ranges) finished.notify_all();
        }
    }
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= ranges; }
};

class Pool {
public:
    ~Pool() { stop(); }

    // Starts workers until `count` run, as far as the system lets it.
    void ensureWorkers(int count) {
        std::lock_guard lock(mutex_);
        while (static_cast<int>(workers_.size()) < count) {
            try {
                int limit = g_startLimit.load();
                if (limit >= 0 && static_cast<int>(workers_.size()) >= limit)
                    throw std::system_error(
                        std::make_error_code(std::errc::resource_unavailable_try_again));
                workers_.emplace_back([this] { loop(); });
            } catch (const std::system_error&) {
                return;
            }
        }
    }

    void submit(const std::shared_ptr<Job>& job) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(job);
        }
        wake_.notify_all();
    }

    void stop() {
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            workers.swap(workers_);
        }
        wake_.notify_all();
        for (auto& w : workers)
            w.join();
        std::lock_guard lock(mutex_);
        stopping_ = false;
        queue_.clear();
    }

private:
    void loop() {
        t_insideKernel = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            std::shared_ptr<Job> job = queue_.front();
            if (job->exhausted()) {
                queue_.pop_front();
                continue;
            }
            lock.unlock();
            job->work();
            lock.lock();
            // Drop the job once every range is claimed (the caller may already have).
            if (!queue_.empty() && queue_.front() == job && job->exhausted()) queue_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

Pool& pool() {
    static Pool instance;
    return instance;
}

} // namespace

int threadCount() {
    return g_threads.load();
}

void setThreadCount(int threads) {
    g_threads.store(std::max(1, threads));
}

void forEachRowRange(int rows, int64_t rowWork, const std::function<void(int, int)>& kernel,
                     int minRowsPerTask) {
    if (rows <= 0) return;
    int64_t work = std::max<int64_t>(1, rowWork) * rows;
    int64_t byWork = std::max<int64_t>(1, work / kMinWorkPerTask);
    int64_t byRows = std::max(1, rows / std::max(1, minRowsPerTask));
    int tasks = static_cast<int>(std::min<int64_t>({threadCount(), byWork, byRows}));
    if (tasks <= 1 || t_insideKernel) {
        kernel(0, rows);
        return;
    }
    auto job = std::make_shared<Job>();
    job->kernel = &kernel;
    job->rows = rows;
    job->ranges = tasks;
    job->errors.resize(static_cast<size_t>(tasks));
    Pool& p = pool();
    p.ensureWorkers(tasks - 1);
    p.submit(job);
    job->work();
    {
        std::unique_lock lock(job->mutex);
        job->finished.wait(lock, [&] { return job->done == job->ranges; });
    }
    for (auto& e : job->errors)
        if (e) std::rethrow_exception(e);
}

namespace testing {
void limitThreadStarts(int threads) {
    g_startLimit.store(threads);
}
void resetPool() {
    pool().stop();
}
} // namespace testing

} // namespace core
