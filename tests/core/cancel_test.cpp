#include "core/cancel.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qorn {
namespace {

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
    EXPECT_EQ(test::failure_of([&] { cancel.check(); }), "Đã dừng xử lý.");
}

}  // namespace
}  // namespace qorn
