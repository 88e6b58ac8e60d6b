// The one HTTP client of an update run: a WinHTTP session limited to TLS 1.2+,
// no redirects, cookies or authentication, explicit time-outs, and every blocking
// call interruptible through the run's Cancel. One Network serves several threads
// at once (each request has its own handles); one HttpResponse belongs to one thread.
#pragma once

#include "core/cancel.hpp"
#include "net/winhttp_calls.hpp"
#include "release/urls.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qorn {

// The update host cannot be reached or misbehaves. Callers catch it by type to
// tell a failing host from every other failure, so only the steps that talk to
// the host throw it; URL rules, text, limits and the disk stay plain errors.
struct NetworkError : std::runtime_error {
    explicit NetworkError(const char* message) : std::runtime_error(message) {}
    explicit NetworkError(const std::string& message) : std::runtime_error(message) {}
};

// Owns one WinHTTP handle. A request handle also carries the Cancel that tracks
// it: when a stop has already closed the handle, the owner must not close it again,
// because the value may by then belong to another handle.
class HttpHandle {
public:
    HttpHandle() noexcept = default;
    HttpHandle(HINTERNET handle, const WinHttpCalls& calls, Cancel* tracked_by = nullptr) noexcept
        : handle_(handle), calls_(&calls), cancel_(tracked_by) {}
    HttpHandle(HttpHandle&& other) noexcept;
    HttpHandle& operator=(HttpHandle&& other) noexcept;
    HttpHandle(const HttpHandle&) = delete;
    HttpHandle& operator=(const HttpHandle&) = delete;
    ~HttpHandle() { close(); }

    HINTERNET get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // Keeps the caller's last error, like the other owners.
    void close() noexcept;

private:
    HINTERNET handle_ = nullptr;
    const WinHttpCalls* calls_ = nullptr;
    Cancel* cancel_ = nullptr;
};

// One request and its response, with the status already received.
class HttpResponse {
public:
    HttpResponse(HttpHandle connection, HttpHandle request, Cancel& cancel, const WinHttpCalls& calls,
                 std::uint32_t status) noexcept;
    HttpResponse(const HttpResponse&) = delete;
    HttpResponse& operator=(const HttpResponse&) = delete;

    std::uint32_t status() const noexcept { return status_; }
    // Bytes placed in the buffer; 0 at the end of the body.
    std::uint32_t read_some(char* buffer, std::uint32_t capacity);
    // The whole body; more than limit bytes fail (a body of exactly limit bytes is fine).
    std::string read_all(std::uint64_t limit);
    // Empty when the header is absent or empty.
    std::wstring header(std::wstring_view name) const;

private:
    // Declared in this order so that the request handle is closed first.
    HttpHandle connection_;
    HttpHandle request_;
    Cancel* cancel_;
    const WinHttpCalls* calls_;
    std::uint32_t status_;
};

class Network {
public:
    // Opens the session; throws a plain runtime error when it cannot.
    Network(std::wstring manifest_url, Cancel& cancel, const WinHttpCalls& calls = system_winhttp());
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    // One synchronous request on the update host. headers: complete lines, each
    // ending in CR LF, or empty. Every status returns normally; callers judge it.
    std::unique_ptr<HttpResponse> request(std::wstring_view url, std::wstring_view method, std::wstring_view headers,
                                          std::int32_t timeout_ms);

    const std::wstring& manifest_url() const noexcept { return manifest_url_; }
    Cancel& cancel() const noexcept { return *cancel_; }

private:
    // The steps of one request. Each failure of the host or of the connection is
    // thrown as a NetworkError right where it happens; nothing is re-labelled.
    HttpHandle open_request(const HttpHandle& connection, std::wstring_view method, const UrlParts& parts) const;
    void configure(const HttpHandle& request, std::int32_t timeout_ms) const;
    void send(const HttpHandle& request, std::wstring_view headers) const;
    std::uint32_t read_status(const HttpHandle& request) const;

    const WinHttpCalls* calls_;
    HttpHandle session_;
    std::wstring manifest_url_;
    UrlParts manifest_parts_;
    Cancel* cancel_;
};

}  // namespace qorn
