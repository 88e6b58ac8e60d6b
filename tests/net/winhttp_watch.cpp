#include "net/winhttp_watch.hpp"

#include <stdexcept>

namespace qorn::test {
namespace {

WinHttpWatch* active = nullptr;

HINTERNET WINAPI open(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    HINTERNET session = WinHttpOpen(agent, access, proxy, bypass, flags);
    if (session != nullptr) active->sessions.push_back({session, 0});
    return session;
}

BOOL WINAPI set_option(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    if (length == sizeof(DWORD)) {
        const DWORD value = *static_cast<const DWORD*>(buffer);
        if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) {
            active->protocol_masks.push_back(value);
            if (active->refused_protocol_masks.contains(value)) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
        }
        if (option == WINHTTP_OPTION_DISABLE_FEATURE) active->disabled_features.push_back(value);
    }
    return WinHttpSetOption(handle, option, buffer, length);
}

HINTERNET WINAPI open_request(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                              LPCWSTR* types, DWORD flags) {
    HINTERNET request = WinHttpOpenRequest(connection, verb, object, version, referrer, types, flags);
    if (request != nullptr) {
        active->requests.push_back({request, 0});
        if (active->after_open_request) active->after_open_request(request);
    }
    return request;
}

BOOL WINAPI set_timeouts(HINTERNET request, int resolve, int connect, int send, int receive) {
    active->timeouts.push_back({resolve, connect, send, receive});
    return WinHttpSetTimeouts(request, resolve, connect, send, receive);
}

// The latest opening of that value, if the handle is one we watch.
void count_close(std::vector<Opened>& opened, HINTERNET handle) {
    for (auto it = opened.rbegin(); it != opened.rend(); ++it) {
        if (it->handle == handle) {
            ++it->closes;
            return;
        }
    }
}

BOOL WINAPI close_handle(HINTERNET handle) {
    count_close(active->sessions, handle);
    count_close(active->requests, handle);
    return WinHttpCloseHandle(handle);
}

const WinHttpCalls watched{
    &open,
    &set_option,
    &WinHttpConnect,
    &open_request,
    &set_timeouts,
    &WinHttpSendRequest,
    &WinHttpReceiveResponse,
    &WinHttpQueryHeaders,
    &WinHttpReadData,
    &close_handle,
};

}  // namespace

WinHttpWatch::WinHttpWatch() {
    if (active != nullptr) throw std::logic_error("test: one WinHTTP watch at a time");
    active = this;
}

WinHttpWatch::~WinHttpWatch() { active = nullptr; }

const WinHttpCalls& WinHttpWatch::calls() const { return watched; }

bool is_open(HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONNECT_TIMEOUT, &value, &size) != FALSE;
}

}  // namespace qorn::test
