#include "core/parallel.hpp"
#include "core/cancel.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace qorn {
namespace {

using test::failure_of;

TEST(Cancel, AStopClosesEachTrackedHandleOnceThroughItsOwnersCall) {
    int kept = 0, stopped = 0, late = 0;  // stand-ins: the handles are opaque to the Cancel
    std::vector<void*> closed;
    const auto close = [&](void* handle) { closed.push_back(handle); };
    Cancel cancel;
    cancel.track(&kept, close);
    cancel.track(&stopped, close);
    EXPECT_TRUE(cancel.untrack(&kept));  // finished before any stop: its owner closes it
    std::thread([&] { cancel.cancel(); }).join();
    cancel.cancel();  // twice closes nothing again
    EXPECT_FALSE(cancel.untrack(&stopped));  // the stop closed it: its owner must not
    EXPECT_THROW(cancel.track(&late, close), Cancelled);  // tracked after the stop: closed at once
    EXPECT_FALSE(cancel.untrack(&late));
    EXPECT_EQ(closed, (std::vector<void*>{&stopped, &late}));
    EXPECT_THROW(cancel.check(), Cancelled);
    EXPECT_EQ(failure_of([&] { cancel.check(); }), "Đã dừng xử lý.");
}

TEST(Parallel, EveryIndexOnceAndFirstFailureStopsTheOthersAndIsRethrownAfterTheJoin) {
    Cancel cancel;
    std::vector<std::atomic<int>> seen(5000);
    run_parallel(seen.size(), cancel, [&](size_t i) { seen[i]++; });
    for (const auto& count : seen) EXPECT_EQ(count.load(), 1);

    std::atomic<int> done{0}, running{0};
    EXPECT_EQ(failure_of([&] {
        run_parallel(10000, cancel, [&](size_t i) {
            if (i == 5) throw std::runtime_error("hỏng ở mục 5");
            ++running;
            Sleep(i % 7 == 0 ? 1 : 0);
            ++done;
            --running;
        });
    }), "hỏng ở mục 5");
    EXPECT_EQ(running.load(), 0);  // every worker was joined
    EXPECT_LT(done.load(), 9999);  // the others stopped early

    Cancel stopped;
    stopped.cancel();
    EXPECT_THROW(run_parallel(3, stopped, [](size_t) {}), Cancelled);
}

TEST(Parallel, AtMostFourThreadsAndNoMoreThanThereAreItems) {
    for (const auto& [items, threads] : {std::pair<size_t, size_t>{1, 1}, {3, 3}, {1000, 4}}) {
        std::mutex lock;
        std::set<DWORD> seen;
        Cancel cancel;
        run_parallel(items, cancel, [&](size_t) {
            Sleep(items < 10 ? 100 : 1);  // long enough for every started thread to take an item
            std::lock_guard hold(lock);
            seen.insert(GetCurrentThreadId());
        });
        EXPECT_EQ(seen.size(), threads) << items;
    }
}

TEST(Parallel, AWorkerThatCannotStartStopsAndJoinsTheStartedOnes) {
    static std::atomic<int> starts{0};
    const StartThread third_fails = [](unsigned(__stdcall * entry)(void*), void* argument) {
        return ++starts == 3 ? UniqueHandle() : start_thread(entry, argument);
    };
    Cancel cancel;
    std::atomic<int> running{0};
    const auto work = [&](size_t) { ++running, Sleep(0), --running; };
    EXPECT_EQ(failure_of([&] { run_parallel(100000, cancel, work, third_fails); }),
              std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)).what());
    EXPECT_EQ(running.load(), 0);
}

}  // namespace
}  // namespace qorn
