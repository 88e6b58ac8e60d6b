#include "core/cancel.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qorn {
namespace {

TEST(Cancel, AStopClosesEachTrackedHandleOnceThroughItsOwnersCall) {
    int kept = 0, stopped = 0, late = 0;  // stand-ins: the handles are opaque to the Cancel
    std::vector<void*> closed;
    const Cancel::CloseCall close = [&](void* handle) { closed.push_back(handle); };
    Cancel cancel;
    EXPECT_NO_THROW(cancel.check());
    cancel.track(&kept, close);
    cancel.track(&stopped, close);
    EXPECT_TRUE(cancel.untrack(&kept));  // finished before any stop: its owner closes it

    std::thread([&] { cancel.cancel(); }).join();
    EXPECT_EQ(closed, std::vector<void*>{&stopped});
    EXPECT_FALSE(cancel.untrack(&stopped));  // the stop closed it: the owner must not
    cancel.cancel();                         // twice closes nothing again
    EXPECT_EQ(closed.size(), 1u);
    try {
        cancel.check();
        ADD_FAILURE() << "no stop came back";
    } catch (const Cancelled& failure) {
        EXPECT_STREQ(failure.what(), "Đã dừng xử lý.");
    }

    EXPECT_THROW(cancel.track(&late, close), Cancelled);  // tracked after the stop: closed at once
    EXPECT_EQ(closed, (std::vector<void*>{&stopped, &late}));
    EXPECT_FALSE(cancel.untrack(&late));
}

}  // namespace
}  // namespace qorn
