// Move-only owners of Windows resources: one template over close traits, one
// alias per kind. Each owner closes its resource exactly once; an owner is used
// by one thread at a time.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <utility>

namespace qorn {

template <typename Traits>
class UniqueAny {
public:
    using pointer = typename Traits::type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(pointer value) noexcept : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::is_valid(value_); }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }

    // Closes the old value, keeping the caller's last error: callers read
    // GetLastError after a failed call even when an owner goes out of scope first.
    void reset(pointer value = Traits::invalid()) noexcept {
        const DWORD last_error = GetLastError();
        pointer old = std::exchange(value_, value);
        if (Traits::is_valid(old)) Traits::close(old);
        SetLastError(last_error);
    }

    // For out-parameters: closes the current value and hands out its slot.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

// Traits of a resource whose empty value is zero (a null handle or pointer) and which
// one call releases.
template <typename Resource, auto Release>
struct ReleasedBy {
    using type = Resource;
    static type invalid() noexcept { return type{}; }
    static bool is_valid(type value) noexcept { return value != type{}; }
    static void close(type value) noexcept { Release(value); }
};

struct HandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static bool is_valid(type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct FindTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool is_valid(type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};


inline void close_algorithm(BCRYPT_ALG_HANDLE algorithm) noexcept { ::BCryptCloseAlgorithmProvider(algorithm, 0); }



using UniqueHandle = UniqueAny<HandleTraits>;

// The process of a started program: its thread handle is closed at once, the
// process handle is what the caller keeps.
inline UniqueHandle take_process(PROCESS_INFORMATION& started) noexcept {
    UniqueHandle thread(std::exchange(started.hThread, nullptr));
    return UniqueHandle(std::exchange(started.hProcess, nullptr));
}

using UniqueFind = UniqueAny<FindTraits>;
using UniqueHash = UniqueAny<ReleasedBy<BCRYPT_HASH_HANDLE, &::BCryptDestroyHash>>;
using UniqueAlgorithm = UniqueAny<ReleasedBy<BCRYPT_ALG_HANDLE, &close_algorithm>>;
using UniqueCryptKey = UniqueAny<ReleasedBy<BCRYPT_KEY_HANDLE, &::BCryptDestroyKey>>;
using UniqueKey = UniqueAny<ReleasedBy<HKEY, &::RegCloseKey>>;
// Buffers the system allocates for us with LocalAlloc (argument lists, message texts).
using UniqueLocal = UniqueAny<ReleasedBy<HLOCAL, &::LocalFree>>;

}  // namespace qorn
