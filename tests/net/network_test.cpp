#include "net/network.hpp"
#include "net/failure_kind.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

namespace qorn {
namespace {

using test::answer;
using test::ScriptServer;
using test::Seen;

// A WinHTTP table that calls the real WinHTTP and records what the network code
// asked for; it can refuse protocol masks and act right after a request opens.
// Closes are counted per opening: WinHTTP hands out the value of a closed handle again.
struct Opened {
    HINTERNET handle;
    int closes;
};

struct Watch {
    std::vector<DWORD> protocol_masks;
    std::vector<DWORD> disabled_features;
    std::vector<std::array<int, 4>> timeouts;  // resolve, connect, send, receive
    std::vector<Opened> sessions;
    std::vector<Opened> requests;
    std::set<DWORD> refused_protocol_masks;
    std::function<void()> after_open_request;

    Watch() { active = this; }
    ~Watch() { active = nullptr; }
    static Watch* active;
    static const WinHttpCalls calls;
};
Watch* Watch::active = nullptr;

HINTERNET WINAPI watched_open(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    HINTERNET session = WinHttpOpen(agent, access, proxy, bypass, flags);
    Watch::active->sessions.push_back({session, 0});
    return session;
}

BOOL WINAPI watched_set_option(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    Watch& watch = *Watch::active;
    const DWORD value = length == sizeof(DWORD) ? *static_cast<const DWORD*>(buffer) : 0;
    if (option == WINHTTP_OPTION_DISABLE_FEATURE) watch.disabled_features.push_back(value);
    if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) {
        watch.protocol_masks.push_back(value);
        if (watch.refused_protocol_masks.contains(value)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    return WinHttpSetOption(handle, option, buffer, length);
}

HINTERNET WINAPI watched_open_request(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                      LPCWSTR referrer, LPCWSTR* types, DWORD flags) {
    HINTERNET request = WinHttpOpenRequest(connection, verb, object, version, referrer, types, flags);
    Watch::active->requests.push_back({request, 0});
    if (Watch::active->after_open_request) Watch::active->after_open_request();
    return request;
}

BOOL WINAPI watched_set_timeouts(HINTERNET request, int resolve, int connect, int send, int receive) {
    Watch::active->timeouts.push_back({resolve, connect, send, receive});
    return WinHttpSetTimeouts(request, resolve, connect, send, receive);
}

BOOL WINAPI watched_close(HINTERNET handle) {
    for (auto* opened : {&Watch::active->sessions, &Watch::active->requests}) {
        for (auto it = opened->rbegin(); it != opened->rend(); ++it) {
            if (it->handle == handle) {
                ++it->closes;
                break;
            }
        }
    }
    return WinHttpCloseHandle(handle);
}

const WinHttpCalls Watch::calls{
    &watched_open,       &watched_set_option,     &WinHttpConnect,      &watched_open_request, &watched_set_timeouts,
    &WinHttpSendRequest, &WinHttpReceiveResponse, &WinHttpQueryHeaders, &WinHttpReadData,      &watched_close,
};

bool is_open(HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONNECT_TIMEOUT, &value, &size) != FALSE;
}

TEST(Network, StatusesReturnAsTheyCameAndRedirectsAreNotFollowed) {
    ScriptServer server([](const Seen& request) {
        if (request.target == "/moved") return answer(302, "moved", "Location: /files/elsewhere\r\n");
        return answer(404, "not here");
    });
    Cancel cancel;
    Network network(server.url(), cancel);
    EXPECT_EQ(network.request(server.url("/moved"), L"GET", L"", 5000)->status(), 302u);
    EXPECT_EQ(network.request(server.url("/missing"), L"HEAD", L"Range: bytes=5-\r\n", 5000)->status(), 404u);

    const std::vector<Seen> seen = server.seen();
    ASSERT_EQ(seen.size(), 2u);  // nothing asked for the redirect's target
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].target, "/moved");
    EXPECT_NE(seen[0].headers.find("Cache-Control: no-cache, no-store\r\n"), std::string::npos) << seen[0].headers;
    EXPECT_NE(seen[0].headers.find("User-Agent: QORN-PC-Native/2.0\r\n"), std::string::npos) << seen[0].headers;
    EXPECT_EQ(seen[1].method, "HEAD");
    EXPECT_NE(seen[1].headers.find("Range: bytes=5-\r\n"), std::string::npos) << seen[1].headers;

    EXPECT_EQ(test::failure_kind([&] { network.request(L"http://localhost:1/files/a", L"GET", L"", 5000); }),
              "runtime_error: URL tải phải cùng hosting cập nhật.");
    EXPECT_EQ(server.connections(), 2);
}

TEST(Network, EachRequestGetsItsTimeoutsAndRefusesCookiesRedirectsAndAuthentication) {
    ScriptServer server([](const Seen&) { return answer(200, "ok"); });
    Watch watch;
    Cancel cancel;
    Network network(server.url(), cancel, Watch::calls);
    network.request(server.url(), L"GET", L"", 45000);
    network.request(server.url(), L"GET", L"", 2000);
    using Timeouts = std::array<int, 4>;
    EXPECT_EQ(watch.timeouts, (std::vector<Timeouts>{{3000, 5000, 45000, 45000}, {2000, 2000, 2000, 2000}}));
    EXPECT_EQ(watch.disabled_features, (std::vector<DWORD>{7, 7}));
    // Both responses are gone: each request handle was closed exactly once.
    ASSERT_EQ(watch.requests.size(), 2u);
    for (const Opened& request : watch.requests) EXPECT_EQ(request.closes, 1);
}

TEST(Network, SessionAllowsTls12And13OrFallsBackToTls12Alone) {
    const std::wstring url = L"http://127.0.0.1:9/api/manifest";
    Cancel cancel;
    {
        Watch watch;
        Network network(url, cancel, Watch::calls);
        EXPECT_EQ(watch.protocol_masks, std::vector<DWORD>{0x2800});
    }
    {
        Watch watch;
        watch.refused_protocol_masks = {0x2800};
        Network network(url, cancel, Watch::calls);
        EXPECT_EQ(watch.protocol_masks, (std::vector<DWORD>{0x2800, 0x800}));
    }
    {
        Watch watch;
        watch.refused_protocol_masks = {0x2800, 0x800};
        EXPECT_EQ(test::failure_kind([&] { Network network(url, cancel, Watch::calls); }),
                  "runtime_error: Windows không hỗ trợ kết nối TLS 1.2.");
        EXPECT_EQ(watch.protocol_masks, (std::vector<DWORD>{0x2800, 0x800}));
        ASSERT_EQ(watch.sessions.size(), 1u);
        EXPECT_EQ(watch.sessions[0].closes, 1);  // no session left behind
    }
    Watch watch;
    EXPECT_EQ(
        test::failure_kind([&] { Network network(L"http://update.example.net/api/manifest", cancel, Watch::calls); }),
        "runtime_error: Hosting phải sử dụng HTTPS.");
    EXPECT_EQ(watch.sessions.at(0).closes, 1);
}

TEST(Network, StoppedRunsMakeNoConnection) {
    ScriptServer server([](const Seen&) { return answer(200); });
    Watch watch;
    Cancel stopped;
    stopped.cancel();
    Network network(server.url(), stopped, Watch::calls);
    EXPECT_EQ(test::failure_kind([&] { network.request(server.url(), L"GET", L"", 5000); }), "Cancelled");
    EXPECT_TRUE(watch.requests.empty());

    // A stop that lands just after the request handle opened: tracking closes it
    // at once, and its owner does not close it a second time.
    Cancel cancel;
    Network late(server.url(), cancel, Watch::calls);
    watch.after_open_request = [&] { cancel.cancel(); };
    EXPECT_EQ(test::failure_kind([&] { late.request(server.url(), L"GET", L"", 5000); }), "Cancelled");
    ASSERT_EQ(watch.requests.size(), 1u);
    EXPECT_FALSE(is_open(watch.requests[0].handle));
    EXPECT_EQ(watch.requests[0].closes, 0);
    EXPECT_EQ(server.connections(), 0);
}

TEST(Network, StopDuringABlockedReadEndsInCancelledAndClosesTheRequestOnce) {
    const std::string body(100000, 'b');
    ScriptServer server([&](const Seen&) {
        test::Answer slow = answer(200, body);
        slow.stall_after = 1000;
        return slow;
    });
    Watch watch;
    Cancel cancel;
    Network network(server.url(), cancel, Watch::calls);
    std::atomic<bool> first_bytes{false};
    std::string outcome;
    std::thread worker([&] {
        outcome = test::failure_kind([&] {
            auto response = network.request(server.url(), L"GET", L"", 45000);
            char buffer[4096];
            // Wine fills the whole buffer before it returns: ask for exactly what comes.
            for (std::uint32_t got = 0; got < 1000;) got += response->read_some(buffer, 1000 - got);
            first_bytes = true;
            for (;;) response->read_some(buffer, sizeof buffer);  // blocks: the server is silent
        });
    });
    for (int i = 0; i < 500 && !first_bytes; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto stopped_at = std::chrono::steady_clock::now();
    cancel.cancel();
    if (test::running_under_wine()) {
        // Wine's WinHttpCloseHandle does not wake a receive blocked on another
        // thread; the read ends when the host sends again or hangs up.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.release();
    }
    worker.join();
    const auto waited = std::chrono::steady_clock::now() - stopped_at;
    server.release();
    EXPECT_TRUE(first_bytes);
    EXPECT_EQ(outcome, "Cancelled");
    if (!test::running_under_wine()) {
        EXPECT_LT(waited, std::chrono::seconds(10));  // not the stall's own end
    }
    ASSERT_EQ(watch.requests.size(), 1u);
    EXPECT_FALSE(is_open(watch.requests[0].handle));
    EXPECT_EQ(watch.requests[0].closes, 0);  // the stop's close was the only one
}

TEST(Network, UnreachableHostAndBrokenBodyAreNetworkErrors) {
    Cancel cancel;
    std::wstring closed_port_url;
    {
        ScriptServer gone([](const Seen&) { return answer(200); });
        closed_port_url = gone.url();
    }
    Network nowhere(closed_port_url, cancel);
    const std::string refused = test::failure_kind([&] { nowhere.request(closed_port_url, L"GET", L"", 5000); });
    EXPECT_TRUE(test::starts_with(refused, "NetworkError: Không kết nối được hosting: ")) << refused;

    ScriptServer server([](const Seen&) {
        test::Answer garbage;
        garbage.head = "NOT HTTP AT ALL\r\n";
        return garbage;
    });
    Network network(server.url(), cancel);
    const std::string broken = test::failure_kind([&] { network.request(server.url(), L"GET", L"", 5000); });
    EXPECT_TRUE(test::starts_with(broken, "NetworkError: ")) << broken;
}

TEST(HttpResponse, ReadAllTakesABodyOfExactlyTheLimitButNotOneByteMore) {
    std::string body(200000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    ScriptServer server([&](const Seen& request) { return answer(200, request.target == "/empty" ? "" : body); });
    Cancel cancel;
    Network network(server.url(), cancel);
    EXPECT_EQ(network.request(server.url("/empty"), L"GET", L"", 5000)->read_all(0), "");
    EXPECT_EQ(network.request(server.url(), L"GET", L"", 5000)->read_all(body.size()), body);
    EXPECT_EQ(test::failure_kind([&] { network.request(server.url(), L"GET", L"", 5000)->read_all(body.size() - 1); }),
              "runtime_error: Dữ liệu hosting vượt giới hạn cho phép.");
}

TEST(HttpResponse, MissingAndEmptyHeadersBothReadEmpty) {
    ScriptServer server(
        [](const Seen&) { return answer(200, "{}", "X-QORN-Release: 2024.06.1\r\nX-Empty:\r\nETag: W/\"abc\"\r\n"); });
    Cancel cancel;
    Network network(server.url(), cancel);
    const auto response = network.request(server.url(), L"GET", L"", 5000);
    EXPECT_EQ(response->header(L"x-qorn-release"), L"2024.06.1");
    EXPECT_EQ(response->header(L"ETag"), L"W/\"abc\"");
    EXPECT_EQ(response->header(L"X-Empty"), L"");
    EXPECT_EQ(response->header(L"X-Absent"), L"");
    EXPECT_EQ(response->header(L"Content-Length"), L"2");
}

}  // namespace
}  // namespace qorn
