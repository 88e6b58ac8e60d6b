// Owners for COM: interface pointers, memory the COM task allocator handed out,
// and one thread's COM initialisation, which is undone only by the call that made
// it. All on the UniqueAny template; each owner belongs to the thread that made it.
#pragma once

#include "core/unique_handle.hpp"

#include <objbase.h>

namespace qorn {

template <typename Interface>
struct ComTraits {
    using type = Interface*;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type p) noexcept { return p != nullptr; }
    static void close(type p) noexcept { p->Release(); }
};
template <typename Interface>
using ComPtr = UniqueAny<ComTraits<Interface>>;

using UniqueTaskMemory = UniqueAny<ReleasedBy<void*, &::CoTaskMemFree>>;

// Holds "this call initialised COM on this thread"; releasing it uninitialises.
struct ComInitTraits {
    using type = bool;
    static type invalid() noexcept { return false; }
    static bool is_valid(type initialised) noexcept { return initialised; }
    static void close(type) noexcept { ::CoUninitialize(); }
};
using ComInitialisation = UniqueAny<ComInitTraits>;

// CoInitializeEx with the flags; `result` gets its answer. Owns an uninitialisation
// only when the answer was S_OK or S_FALSE (an apartment of another mode, or a
// failure, leaves nothing to undo).
inline ComInitialisation initialise_com(DWORD flags, HRESULT& result) noexcept {
    result = ::CoInitializeEx(nullptr, flags);
    return ComInitialisation(result == S_OK || result == S_FALSE);
}

}  // namespace qorn
