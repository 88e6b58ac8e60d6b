#include "net/script_server.hpp"

#include <stdexcept>

namespace qorn::test {

Answer answer(int status, std::string body, std::string extra_lines) {
    return {"HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n" + extra_lines,
            std::move(body)};
}

ScriptServer::ScriptServer(std::function<Answer(const Seen&)> script)
    : script_(std::move(script)), released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    static const bool started = [] { WSADATA winsock{}; return WSAStartup(MAKEWORD(2, 2), &winsock) == 0; }();
    listener_ = started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener_ == INVALID_SOCKET || !released_ ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener_);
        throw std::runtime_error("test: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
        while (!stopping_) {
            // Fails for a client that gave up, or once the destructor closed the listener.
            const SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            answer_one(client);
            shutdown(client, SD_BOTH);
            closesocket(client);
        }
    });
}

ScriptServer::~ScriptServer() {
    stopping_ = true;
    SetEvent(released_.get());
    closesocket(listener_);
    thread_.join();
}

std::wstring ScriptServer::url(std::string_view path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end());
}

std::vector<Seen> ScriptServer::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

void ScriptServer::answer_one(SOCKET client) {
    const DWORD receive_ms = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receive_ms), sizeof receive_ms);
    std::string head;  // up to the blank line
    char chunk[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        const int got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) return;  // the client sent no whole request
        head.append(chunk, static_cast<size_t>(got));
    }
    const size_t line_end = head.find("\r\n"), space = head.find(' '), second = head.find(' ', space + 1);
    const Seen request{head.substr(0, space), head.substr(space + 1, second - space - 1),
                       head.substr(line_end + 2, head.find("\r\n\r\n") - line_end)};
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(request);
    }
    const Answer reply = script_(request);
    const bool head_only = request.method == "HEAD";
    const std::string bytes = reply.head + "\r\n" + (head_only ? "" : reply.body.substr(0, reply.stall_after));
    // A blocking send returns once all is sent, or fails when the client went away: nothing to tell anyone.
    send(client, bytes.data(), static_cast<int>(bytes.size()), 0);
    if (!head_only && reply.stall_after < reply.body.size()) WaitForSingleObject(released_.get(), 15000);
}

}  // namespace qorn::test
