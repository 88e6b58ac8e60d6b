// The progress report every long operation hands to its caller. Plain values,
// copied freely; callbacks are called on the reporting thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qorn {

// The pipeline step a report belongs to (0 asking the host ... 9 ready to play).
using Stage = std::uint32_t;

struct Progress {
    Stage stage = 0;
    std::wstring text;
    std::wstring detail;
    std::uint64_t done = 0;
    std::uint64_t total = 0;  // 0: no amount known
    std::uint64_t files_done = 0;
    std::uint64_t files_total = 0;
    std::uint64_t extra = 0;  // bytes received from the network in this run
    bool in_bytes = false;
};

// An empty callback is never called: every call site tests it first.
using ProgressCallback = std::function<void(const Progress&)>;
// Byte counts done so far (hashing, copying).
using ByteCallback = std::function<void(std::uint64_t)>;

}  // namespace qorn
