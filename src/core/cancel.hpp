// Cancellation of one update run: an atomic stop flag plus the open HTTP request
// handles, so that a stop also wakes a worker blocked in the network.
// Thread-safe: cancel() may run on any thread while the worker checks and tracks.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>

namespace qorn {

// The only failure that means the user stopped the run.
class Cancelled : public std::runtime_error {
public:
    Cancelled();
};

class Cancel {
public:
    Cancel() = default;
    Cancel(const Cancel&) = delete;
    Cancel& operator=(const Cancel&) = delete;

    // Throws Cancelled once the run was stopped.
    void check() const;
    bool stopped() const noexcept { return stopped_.load(); }

    // Sets the flag, then closes every tracked request outside the lock.
    void cancel() noexcept;

    // Registers an open request; after a stop the request is closed at once and
    // Cancelled thrown, so nothing is sent for a stopped run.
    void track(HINTERNET request);
    // False when a stop already closed the request: its owner must not close it again.
    bool untrack(HINTERNET request) noexcept;

private:
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::set<HINTERNET> open_;
};

}  // namespace qorn
