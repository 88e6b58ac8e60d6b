// The WinHTTP functions the network code calls, as one table of pointers, so that
// tests can watch or refuse single calls while everything else stays real.
// Tables are plain constant data; share them freely between threads.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "core/unique_handle.hpp"

namespace qorn {

struct WinHttpCalls {
    decltype(&::WinHttpOpen) open;
    decltype(&::WinHttpSetOption) set_option;
    decltype(&::WinHttpConnect) connect;
    decltype(&::WinHttpOpenRequest) open_request;
    decltype(&::WinHttpSetTimeouts) set_timeouts;
    decltype(&::WinHttpSendRequest) send_request;
    decltype(&::WinHttpReceiveResponse) receive_response;
    decltype(&::WinHttpQueryHeaders) query_headers;
    decltype(&::WinHttpReadData) read_data;
    decltype(&::WinHttpCloseHandle) close_handle;
};

// The system's own functions.
const WinHttpCalls& system_winhttp();

// A plain owner of a WinHTTP handle, for code that calls WinHTTP directly (the
// network itself owns its handles through HttpHandle, which also knows the Cancel).
struct InternetTraits {
    using type = HINTERNET;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueInternet = UniqueAny<InternetTraits>;

}  // namespace qorn
