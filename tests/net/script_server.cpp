#include "net/script_server.hpp"

#include <stdexcept>

namespace qorn::test {
namespace {

void send_all(SOCKET client, std::string_view bytes) {
    while (!bytes.empty()) {
        const int sent = send(client, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 65536)), 0);
        if (sent <= 0) return;  // the client went away; nothing to tell anyone
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
}

}  // namespace

Answer answer(int status, std::string body, std::string extra_lines) {
    return {"HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n" + extra_lines,
            std::move(body)};
}

ScriptServer::ScriptServer(std::function<Answer(const Seen&)> script)
    : script_(std::move(script)), released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    static WSADATA winsock{};
    static const bool started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
    if (started) listener_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (!listener_ || !released_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_.get(), 16) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("test: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, listener = listener_.get()] { serve(listener); });
}

ScriptServer::~ScriptServer() {
    stopping_ = true;
    release();
    listener_.reset();
    thread_.join();
}

std::wstring ScriptServer::url(std::string_view path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path.begin(), path.end());
}

std::vector<Seen> ScriptServer::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

void ScriptServer::serve(SOCKET listener) {
    while (!stopping_) {
        UniqueSocket client(accept(listener, nullptr, nullptr));
        if (!client) continue;  // a client that gave up, or the listener closed by the destructor
        answer_one(client.get());
        shutdown(client.get(), SD_BOTH);
    }
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
    send_all(client, reply.head + "\r\n");
    if (request.method == "HEAD") return;
    send_all(client, std::string_view(reply.body).substr(0, reply.stall_after));
    if (reply.stall_after < reply.body.size()) WaitForSingleObject(released_.get(), 15000);  // a forgotten stall ends
}

}  // namespace qorn::test
