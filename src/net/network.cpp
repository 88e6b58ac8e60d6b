#include "net/network.hpp"

#include "core/text.hpp"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

namespace qorn {
namespace {

constexpr wchar_t user_agent[] = L"QORN-PC-Native/2.0";
constexpr wchar_t no_cache_line[] = L"Cache-Control: no-cache, no-store\r\n";
constexpr char connect_failure[] = "Không tạo được kết nối HTTP";
constexpr DWORD tls_1_2_and_1_3 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
constexpr DWORD tls_1_2 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
constexpr DWORD no_cookies_redirects_or_authentication =
    WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
constexpr DWORD read_all_piece = 65536;

bool set_dword_option(const WinHttpCalls& calls, HINTERNET handle, DWORD option, DWORD value) {
    return calls.set_option(handle, option, &value, sizeof value) != FALSE;
}

// A step that talks to the host failed: the Windows error form, as a NetworkError.
[[noreturn]] void throw_network_error(std::string_view context, DWORD code) {
    throw NetworkError(windows_error_message(context, code));
}

}  // namespace

HttpHandle::HttpHandle(HttpHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), calls_(other.calls_), cancel_(other.cancel_) {}

HttpHandle& HttpHandle::operator=(HttpHandle&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        calls_ = other.calls_;
        cancel_ = other.cancel_;
    }
    return *this;
}

void HttpHandle::close() noexcept {
    HINTERNET handle = std::exchange(handle_, nullptr);
    if (handle == nullptr) return;
    const DWORD last_error = GetLastError();
    // untrack answers false when a stop has closed the handle already.
    if (cancel_ == nullptr || cancel_->untrack(handle)) calls_->close_handle(handle);
    SetLastError(last_error);
}

HttpResponse::HttpResponse(HttpHandle connection, HttpHandle request, Cancel& cancel, const WinHttpCalls& calls,
                           std::uint32_t status) noexcept
    : connection_(std::move(connection)),
      request_(std::move(request)),
      cancel_(&cancel),
      calls_(&calls),
      status_(status) {}

std::uint32_t HttpResponse::read_some(char* buffer, std::uint32_t capacity) {
    cancel_->check();
    DWORD got = 0;
    if (!calls_->read_data(request_.get(), buffer, capacity, &got)) {
        cancel_->check();  // a stop closes the handle under a blocked read
        throw NetworkError("Kết nối tải dữ liệu bị ngắt. Vui lòng thử lại.");
    }
    return got;
}

std::string HttpResponse::read_all(std::uint64_t limit) {
    std::string body;
    std::vector<char> piece(read_all_piece);
    for (;;) {
        const std::uint32_t got = read_some(piece.data(), read_all_piece);
        if (got == 0) return body;
        require(got <= limit && body.size() <= limit - got, "Dữ liệu hosting vượt giới hạn cho phép.");
        body.append(piece.data(), got);
    }
}

std::wstring HttpResponse::header(std::wstring_view name) const {
    const std::wstring query(name);  // the query reads the name up to its terminating zero
    DWORD size = 0;
    if (!calls_->query_headers(request_.get(), WINHTTP_QUERY_CUSTOM, query.c_str(), WINHTTP_NO_OUTPUT_BUFFER, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        const DWORD code = GetLastError();
        if (code == ERROR_WINHTTP_HEADER_NOT_FOUND) return {};
        cancel_->check();  // a stop that closed the handle is no absent header
    }
    if (size == 0) return {};
    std::wstring value(size / 2 + 1, L'\0');
    DWORD capacity = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (!calls_->query_headers(request_.get(), WINHTTP_QUERY_CUSTOM, query.c_str(), value.data(), &capacity,
                               WINHTTP_NO_HEADER_INDEX)) {
        const DWORD code = GetLastError();
        cancel_->check();
        throw_windows_error("Không đọc được header HTTP", code);
    }
    value.resize(std::wcslen(value.c_str()));
    return value;
}

Network::Network(std::wstring manifest_url, Cancel& cancel, const WinHttpCalls& calls) : calls_(&calls) {
    session_ = HttpHandle(
        calls.open(user_agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0),
        calls);
    if (!session_) {
        const DWORD code = GetLastError();
        throw_windows_error(connect_failure, code);
    }
    manifest_url_ = std::move(manifest_url);
    cancel_ = &cancel;
    manifest_parts_ = crack_url(manifest_url_);
    // Older Windows refuse TLS 1.3 in the mask; TLS 1.2 alone is the floor, never less.
    if (!set_dword_option(calls, session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, tls_1_2_and_1_3) &&
        !set_dword_option(calls, session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, tls_1_2)) {
        throw std::runtime_error("Windows không hỗ trợ kết nối TLS 1.2.");
    }
}

std::unique_ptr<HttpResponse> Network::request(std::wstring_view url, std::wstring_view method,
                                               std::wstring_view headers, std::int32_t timeout_ms) {
    require_same_host(url, manifest_parts_);
    cancel_->check();
    const UrlParts parts = crack_url(url);
    HttpHandle connection(calls_->connect(session_.get(), parts.host.c_str(), parts.port, 0), *calls_);
    if (!connection) {
        const DWORD code = GetLastError();
        throw_network_error(connect_failure, code);
    }
    HttpHandle request = open_request(connection, method, parts);
    configure(request, timeout_ms);
    send(request, headers);
    const std::uint32_t status = read_status(request);
    return std::make_unique<HttpResponse>(std::move(connection), std::move(request), *cancel_, *calls_, status);
}

HttpHandle Network::open_request(const HttpHandle& connection, std::wstring_view method,
                                 const UrlParts& parts) const {
    const std::wstring verb(method);
    HttpHandle request(
        calls_->open_request(connection.get(), verb.c_str(), parts.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES, parts.https ? WINHTTP_FLAG_SECURE : 0),
        *calls_, cancel_);
    if (!request) {
        const DWORD code = GetLastError();
        throw_network_error(connect_failure, code);
    }
    // Owned before it is tracked: when track closes it for a pending stop, untrack
    // then answers false and the owner leaves it alone. A stop closes it through
    // the same table as its owner would.
    cancel_->track(request.get(), calls_->close_handle);
    cancel_->check();
    return request;
}

void Network::configure(const HttpHandle& request, std::int32_t timeout_ms) const {
    if (!set_dword_option(*calls_, request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                          no_cookies_redirects_or_authentication)) {
        cancel_->check();  // a stop closed the handle under us
        throw NetworkError("Không cấu hình được kết nối tải an toàn.");
    }
    const int timeout = timeout_ms;
    if (!calls_->set_timeouts(request.get(), std::min(timeout, 3000), std::min(timeout, 5000), timeout, timeout)) {
        cancel_->check();
        throw NetworkError("Không cấu hình được thời gian chờ hosting.");
    }
}

void Network::send(const HttpHandle& request, std::wstring_view headers) const {
    std::wstring lines = no_cache_line;
    lines += headers;
    if (!calls_->send_request(request.get(), lines.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !calls_->receive_response(request.get(), nullptr)) {
        const DWORD code = GetLastError();
        cancel_->check();  // a stop closed the handle under us
        throw_network_error("Không kết nối được hosting", code);
    }
}

std::uint32_t Network::read_status(const HttpHandle& request) const {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!calls_->query_headers(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD code = GetLastError();
        cancel_->check();
        throw_network_error("Không đọc được mã HTTP", code);
    }
    return status;
}

}  // namespace qorn
