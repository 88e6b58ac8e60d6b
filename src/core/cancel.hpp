// Cancellation of one update run: an atomic stop flag plus the open handles a
// worker may block on, each with the close call its owner registered, so that a
// stop also wakes a worker blocked in the network. Thread-safe: cancel() may run
// on any thread while the workers check and track.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

namespace qorn {

// The only failure that means the user stopped the run.
class Cancelled : public std::runtime_error {
public:
    Cancelled();
};

class Cancel {
public:
    // Closes one tracked handle; must not throw.
    using CloseCall = std::function<void(void* handle)>;

    Cancel() = default;
    Cancel(const Cancel&) = delete;
    Cancel& operator=(const Cancel&) = delete;

    // Throws Cancelled once the run was stopped.
    void check() const;
    bool stopped() const noexcept { return stopped_.load(); }

    // Sets the flag, then closes every tracked handle outside the lock.
    void cancel() noexcept;

    // Registers an open handle and how to close it; after a stop the handle is
    // closed at once and Cancelled thrown, so nothing is sent for a stopped run.
    void track(void* handle, CloseCall close);
    // False when a stop already closed the handle: its owner must not close it again.
    bool untrack(void* handle) noexcept;

private:
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::map<void*, CloseCall> open_;
};

}  // namespace qorn
