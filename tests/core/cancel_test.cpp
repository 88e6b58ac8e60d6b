#include "core/cancel.hpp"
#include "core/unique_handle.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace qorn {
namespace {

// A real WinHTTP handle stands in for a request: tracking only stores and closes it.
HINTERNET open_session() {
    HINTERNET session = WinHttpOpen(L"qorn-test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    EXPECT_NE(session, nullptr);
    return session;
}

bool is_open(HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONNECT_TIMEOUT, &value, &size) != FALSE;
}

TEST(Cancel, StopClosesTrackedRequestsAndUntrackTellsTheOwner) {
    Cancel cancel;
    EXPECT_NO_THROW(cancel.check());
    HINTERNET kept = open_session();
    HINTERNET stopped = open_session();
    cancel.track(kept);
    EXPECT_TRUE(cancel.untrack(kept));  // finished before any stop: the owner closes it
    EXPECT_TRUE(is_open(kept));
    WinHttpCloseHandle(kept);

    cancel.track(stopped);
    std::thread other([&] { cancel.cancel(); });
    other.join();
    EXPECT_FALSE(is_open(stopped));
    EXPECT_FALSE(cancel.untrack(stopped));  // the stop closed it: the owner must not
    cancel.cancel();  // twice is harmless
    try {
        cancel.check();
        ADD_FAILURE() << "no stop came back";
    } catch (const Cancelled& failure) {
        EXPECT_STREQ(failure.what(), "Đã dừng xử lý.");
    }

    HINTERNET late = open_session();  // tracked after the stop: closed at once
    EXPECT_THROW(cancel.track(late), Cancelled);
    EXPECT_FALSE(is_open(late));
    EXPECT_FALSE(cancel.untrack(late));
}

}  // namespace
}  // namespace qorn
