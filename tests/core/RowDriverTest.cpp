#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/RowDriver.h"

namespace {

// Restores the driver's settings a test changed.
struct DriverSettings {
    int threads = core::threadCount();
    ~DriverSettings() {
        core::testing::limitThreadStarts(-1);
        core::setThreadCount(threads);
    }
};

// Rows large enough that every range is worth a thread of its own.
constexpr int64_t kWideRow = core::kMinWorkPerTask;

} // namespace

TEST(RowDriver, CoversEveryRowOnceAndKeepsSmallWorkOnTheCaller) {
    DriverSettings keep;
    core::setThreadCount(4);
    for (int rows : {1, 2, 3, 7, 64, 1001}) {
        std::vector<std::atomic<int>> seen(static_cast<size_t>(rows));
        core::forEachRowRange(rows, kWideRow, [&](int y0, int y1) {
            ASSERT_LT(y0, y1);
            for (int y = y0; y < y1; ++y)
                seen[static_cast<size_t>(y)]++;
        });
        for (auto& s : seen)
            EXPECT_EQ(s.load(), 1) << rows;
    }
    // Small work stays on the calling thread.
    std::set<std::thread::id> ids;
    core::forEachRowRange(100, 10, [&](int, int) { ids.insert(std::this_thread::get_id()); });
    EXPECT_EQ(ids, std::set<std::thread::id>{std::this_thread::get_id()});
    // So do calls made from inside a kernel.
    core::forEachRowRange(8, kWideRow, [&](int, int) {
        auto outer = std::this_thread::get_id();
        core::forEachRowRange(8, kWideRow,
                              [&](int, int) { EXPECT_EQ(std::this_thread::get_id(), outer); });
    });
}

TEST(RowDriver, KernelExceptionReachesCallerAfterEveryRangeFinished) {
    DriverSettings keep;
    core::setThreadCount(4);
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::atomic<int> finished{0};
        std::atomic<bool> running{false};
        try {
            core::forEachRowRange(400, kWideRow, [&](int y0, int) {
                if (y0 == 0 || y0 == 200) throw std::runtime_error(y0 == 0 ? "first" : "second");
                running = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                running = false;
                finished++;
            });
            FAIL() << "the exception was lost";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "first"); // the lowest range's
        }
        EXPECT_FALSE(running.load());
        EXPECT_EQ(finished.load(), 2);
    }
    // The pool still works after failures.
    std::atomic<int> rows{0};
    core::forEachRowRange(64, kWideRow, [&](int y0, int y1) { rows += y1 - y0; });
    EXPECT_EQ(rows.load(), 64);
}

TEST(RowDriver, ThreadsThatCannotStartLeaveTheirRowsToOthers) {
    DriverSettings keep;
    for (int limit : {0, 1, 2}) {
        core::testing::resetPool();
        core::testing::limitThreadStarts(limit);
        core::setThreadCount(6);
        std::mutex m;
        std::set<std::thread::id> threads;
        std::vector<int> seen(500);
        core::forEachRowRange(500, kWideRow, [&](int y0, int y1) {
            std::lock_guard lock(m);
            threads.insert(std::this_thread::get_id());
            for (int y = y0; y < y1; ++y)
                seen[static_cast<size_t>(y)]++;
        });
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 500) << limit;
        EXPECT_LE(threads.size(), static_cast<size_t>(limit + 1));
        // A kernel that throws while threads are short still reports.
        EXPECT_THROW(core::forEachRowRange(500, kWideRow,
                                           [&](int y0, int) {
                                               if (y0 > 0) throw std::logic_error("late");
                                           }),
                     std::logic_error);
    }
    core::testing::limitThreadStarts(-1);
    core::testing::resetPool();
}

TEST(RowDriver, ConcurrentCallersShareThePool) {
    DriverSettings keep;
    core::setThreadCount(3);
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                core::forEachRowRange(97, kWideRow, [&](int y0, int y1) { total += y1 - y0; });
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(total.load(), 4L * 50 * 97);
}
