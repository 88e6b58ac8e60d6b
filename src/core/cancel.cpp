#include "core/cancel.hpp"

namespace qorn {

Cancelled::Cancelled() : std::runtime_error("Đã dừng xử lý.") {}

void Cancel::check() const {
    if (stopped_.load()) throw Cancelled();
}

void Cancel::cancel() noexcept {
    stopped_.exchange(true);
    std::set<HINTERNET> to_close;
    {
        std::lock_guard lock(mutex_);
        to_close.swap(open_);
    }
    for (HINTERNET request : to_close) WinHttpCloseHandle(request);
}

void Cancel::track(HINTERNET request) {
    std::lock_guard lock(mutex_);
    if (stopped_.load()) {
        WinHttpCloseHandle(request);
        throw Cancelled();
    }
    open_.insert(request);
}

bool Cancel::untrack(HINTERNET request) noexcept {
    std::lock_guard lock(mutex_);
    return open_.erase(request) > 0;
}

}  // namespace qorn
