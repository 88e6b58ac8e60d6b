// A small HTTP server on 127.0.0.1 inside the test process, for cases that need
// exact bytes on the wire: each request, on its own connection, gets the answer
// the test's script gives. One serving thread; the accessors are safe from others.
#pragma once

#include <winsock2.h>

#include "core/unique_handle.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qorn::test {

struct Answer {
    std::string head;  // status line and header lines, each ending in CR LF, without the blank line
    std::string body;
    size_t stall_after = std::string::npos;  // sends that much of the body, then stalls: 15 s at most
};

// The status line, Content-Length of the body, "Connection: close", then the extra lines.
Answer answer(int status, std::string body = {}, std::string extra_lines = {});

struct Seen { std::string method, target, headers; };  // headers: the header lines as received

class ScriptServer {
public:
    explicit ScriptServer(std::function<Answer(const Seen&)> script);
    ~ScriptServer();

    std::wstring url(std::string_view path = "/api/manifest") const;  // http://127.0.0.1:<port><path>
    std::vector<Seen> seen() const;

private:
    void answer_one(SOCKET client);

    std::function<Answer(const Seen&)> script_;
    SOCKET listener_;  // closing it ends the serving thread's wait for a client
    std::uint16_t port_ = 0;
    UniqueHandle released_;  // set by the destructor, which ends stalled answers
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace qorn::test
