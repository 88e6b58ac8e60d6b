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
using UniqueInternet = UniqueAny<ReleasedBy<HINTERNET, &::WinHttpCloseHandle>>;

}  // namespace qorn
