// The progress report every long operation hands to its caller, the pipeline
// steps it names, and the one reporter that builds the reports. Plain values,
// copied freely; callbacks are called on the reporting thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qorn {

// The pipeline step a report belongs to. The numbers are part of the head-less
// interface (printed by --sync) and the window maps them to its progress bar.
enum class Stage : std::uint32_t {
    asking_host = 0,  // the host's release; waiting for the game to end
    checking = 1,     // the client folder before an update
    downloading = 2,  // client data, or a new launcher
    extracting = 3,   // packages
    verifying = 4,    // staged data before installing, or a new launcher
    applying = 5,     // backing up and replacing; the report of a run that hands over
    rechecking = 6,   // the client after changes; adopting a folder that matches
    cleaning = 7,     // temporary installation data
    recovering = 8,   // an interrupted update
    ready = 9,        // the client can be played
};

inline constexpr std::uint32_t stage_number(Stage stage) { return static_cast<std::uint32_t>(stage); }

struct Progress {
    Stage stage = Stage::asking_host;
    std::wstring text;
    std::wstring detail;
    std::uint64_t done = 0;
    std::uint64_t total = 0;  // 0: no amount known
    std::uint64_t files_done = 0;
    std::uint64_t files_total = 0;
    std::uint64_t extra = 0;  // bytes received from the network in this run
    bool in_bytes = false;
};

// An empty callback is never called: every report goes through a Reporter.
using ProgressCallback = std::function<void(const Progress&)>;
// Byte counts done so far (hashing, copying).
using ByteCallback = std::function<void(std::uint64_t)>;

// Amounts of a report in bytes, with file counts shown when files_total is not 0.
struct ByteAmounts {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    std::uint64_t files_done = 0;
    std::uint64_t files_total = 0;
    std::uint64_t extra = 0;
};

// Builds every report and hands it to the callback, unless the callback is empty;
// callers test active() before building a detail that costs a conversion.
class Reporter {
public:
    explicit Reporter(const ProgressCallback& callback) noexcept : callback_(callback) {}

    bool active() const noexcept { return static_cast<bool>(callback_); }

    // A status line without amounts.
    void note(Stage stage, std::wstring text, std::wstring detail = {}) const {
        bytes(stage, std::move(text), std::move(detail), {});
    }
    void bytes(Stage stage, std::wstring text, std::wstring detail, const ByteAmounts& amounts) const {
        if (!callback_) return;
        Progress report{stage,           std::move(text),     std::move(detail), amounts.done, amounts.total,
                        amounts.files_done, amounts.files_total, amounts.extra,     true};
        callback_(report);
    }
    // Amounts counted in items; files = true repeats them as the file counts.
    void items(Stage stage, std::wstring text, std::wstring detail, std::uint64_t done, std::uint64_t total,
               bool files) const {
        if (!callback_) return;
        Progress report{stage, std::move(text), std::move(detail), done, total, files ? done : 0, files ? total : 0,
                        0,     false};
        callback_(report);
    }

private:
    const ProgressCallback& callback_;
};

}  // namespace qorn
