#include "core/cancel.hpp"

#include <utility>

namespace qorn {

Cancelled::Cancelled() : std::runtime_error("Đã dừng xử lý.") {}

void Cancel::check() const {
    if (stopped_.load()) throw Cancelled();
}

void Cancel::cancel() noexcept {
    stopped_.exchange(true);
    std::map<void*, CloseCall> to_close;
    {
        std::lock_guard lock(mutex_);
        to_close.swap(open_);
    }
    for (const auto& [handle, close] : to_close) close(handle);
}

void Cancel::track(void* handle, CloseCall close) {
    std::lock_guard lock(mutex_);
    if (stopped_.load()) {
        close(handle);
        throw Cancelled();
    }
    open_.emplace(handle, std::move(close));
}

bool Cancel::untrack(void* handle) noexcept {
    std::lock_guard lock(mutex_);
    return open_.erase(handle) > 0;
}

}  // namespace qorn
