// A WinHTTP call table for tests: every call goes to the real WinHTTP, while the
// table records what the network code asked for and can refuse or interrupt
// chosen calls. One watch is active at a time, on the test's thread of control.
#pragma once

#include "net/winhttp_calls.hpp"

#include <windows.h>
#include <winhttp.h>

#include <array>
#include <functional>
#include <set>
#include <vector>

namespace qorn::test {

// One handle the code opened and how often it was closed. WinHTTP hands out
// the value of a closed handle again, so closes are counted per opening.
struct Opened {
    HINTERNET handle = nullptr;
    int closes = 0;
};

struct WinHttpWatch {
    // What was asked.
    std::vector<DWORD> protocol_masks;
    std::vector<DWORD> disabled_features;
    std::vector<std::array<int, 4>> timeouts;  // resolve, connect, send, receive
    std::vector<Opened> sessions;
    std::vector<Opened> requests;

    // What to do differently.
    std::set<DWORD> refused_protocol_masks;
    std::function<void(HINTERNET)> after_open_request;

    WinHttpWatch();
    ~WinHttpWatch();
    WinHttpWatch(const WinHttpWatch&) = delete;
    WinHttpWatch& operator=(const WinHttpWatch&) = delete;

    const WinHttpCalls& calls() const;
};

// Whether a WinHTTP handle is still open.
bool is_open(HINTERNET handle);

}  // namespace qorn::test
