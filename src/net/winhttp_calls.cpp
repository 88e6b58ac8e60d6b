#include "net/winhttp_calls.hpp"

namespace qorn {

const WinHttpCalls& system_winhttp() {
    static constexpr WinHttpCalls calls{
        &::WinHttpOpen,        &::WinHttpSetOption,   &::WinHttpConnect,         &::WinHttpOpenRequest,
        &::WinHttpSetTimeouts, &::WinHttpSendRequest, &::WinHttpReceiveResponse, &::WinHttpQueryHeaders,
        &::WinHttpReadData,    &::WinHttpCloseHandle,
    };
    return calls;
}

}  // namespace qorn
