// The bounded parallel loop: min(n, 4) short-lived threads take indexes from one
// atomic counter; the first failure stops the others and is rethrown once every
// thread has been joined. The body runs on the worker threads, concurrently.
#pragma once

#include "core/cancel.hpp"
#include "core/unique_handle.hpp"

#include <cstddef>
#include <functional>

namespace qorn {

inline constexpr size_t parallel_threads = 4;

// How a worker thread is started; tests replace it to make a start fail.
using StartThread = UniqueHandle (*)(unsigned(__stdcall* entry)(void*), void* argument);
UniqueHandle start_thread(unsigned(__stdcall* entry)(void*), void* argument);

void run_parallel(size_t count, const Cancel& cancel, const std::function<void(size_t)>& body,
                  StartThread start = start_thread);

}  // namespace qorn
