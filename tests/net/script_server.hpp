// A small HTTP server on 127.0.0.1 inside the test process, for cases that need
// exact bytes on the wire: each request gets the answer the test scripted, on its
// own connection. One serving thread; the accessors are safe from the test thread.
#pragma once

#include <winsock2.h>

#include "core/unique_handle.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qorn::test {

struct SocketTraits {
    using type = SOCKET;
    static type invalid() noexcept { return INVALID_SOCKET; }
    static bool is_valid(type s) noexcept { return s != INVALID_SOCKET; }
    static void close(type s) noexcept { ::closesocket(s); }
};
using UniqueSocket = UniqueAny<SocketTraits>;

struct Answer {
    std::string head;  // status line and header lines, each ending in CR LF, without the blank line
    std::string body;
    // Send only this many bytes of the body, then keep the connection open and
    // silent until the test releases it (or the server stops).
    size_t stall_after = std::string::npos;
};

// status line, Content-Length of the body, "Connection: close", then extra lines.
Answer answer(int status, std::string body = {}, std::string extra_lines = {});

struct Seen {
    std::string method;
    std::string target;
    std::string headers;  // the header lines as received
};

class ScriptServer {
public:
    explicit ScriptServer(std::function<Answer(const Seen&)> script);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    // http://127.0.0.1:<port><path>
    std::wstring url(std::string_view path = "/api/manifest") const;
    std::vector<Seen> seen() const;
    int connections() const { return connections_.load(); }
    // Lets stalled answers finish (their connections close).
    void release() { SetEvent(released_.get()); }

private:
    void serve();
    void answer_one(SOCKET client);

    std::function<Answer(const Seen&)> script_;
    UniqueSocket listener_;
    std::uint16_t port_ = 0;
    UniqueHandle released_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace qorn::test
