#include "core/parallel.hpp"

#include <process.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <vector>

namespace qorn {
namespace {

struct Loop {
    size_t count = 0;
    const Cancel* cancel = nullptr;
    const std::function<void(size_t)>* body = nullptr;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_lock;
    std::exception_ptr failure;

    void fail(std::exception_ptr error) {
        stop.store(true);
        std::lock_guard lock(failure_lock);
        if (!failure) failure = std::move(error);
    }

    void work() {
        try {
            while (!stop.load()) {
                cancel->check();
                const size_t index = next.fetch_add(1);
                if (index >= count) return;
                (*body)(index);
            }
        } catch (...) {
            fail(std::current_exception());
        }
    }
};

// Thread entry: nothing escapes into the system as an exception.
unsigned __stdcall worker(void* argument) {
    static_cast<Loop*>(argument)->work();
    return 0;
}

void join_all(std::vector<UniqueHandle>& threads) {
    for (UniqueHandle& thread : threads) WaitForSingleObject(thread.get(), INFINITE);
    threads.clear();
}

}  // namespace

UniqueHandle start_thread(unsigned(__stdcall* entry)(void*), void* argument) {
    return UniqueHandle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, entry, argument, 0, nullptr)));
}

void run_parallel(size_t count, const Cancel& cancel, const std::function<void(size_t)>& body, StartThread start) {
    Loop loop;
    loop.count = count;
    loop.cancel = &cancel;
    loop.body = &body;
    const size_t wanted = std::min(count, parallel_threads);
    std::vector<UniqueHandle> threads;
    threads.reserve(wanted);  // no allocation failure once a thread runs
    for (size_t i = 0; i < wanted; ++i) {
        UniqueHandle thread = start(worker, &loop);
        if (!thread) {
            // The threads already running finish their current item and stop.
            loop.stop.store(true);
            join_all(threads);
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        threads.push_back(std::move(thread));
    }
    join_all(threads);
    if (loop.failure) std::rethrow_exception(loop.failure);
}

}  // namespace qorn
