// The start-up of Updater.exe: splits the command line, runs exactly one mode and
// turns an escaped failure into the JSON error line (plus a message box for a
// start without arguments) and exit code 1. Runs on the process's first thread.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

using Arguments = std::vector<std::wstring>;

// The run modes of a build. A mode left empty is not part of the build: asking
// for it fails with a clear message instead of pretending to run.
struct RunModes {
    // Runs a whole hand-off process (its exit code) or strips the flag options
    // from the list in place and answers nothing.
    std::function<std::optional<int>(Arguments&)> handle_launcher_arguments;
    std::function<int()> self_test;
    // "--sync", client folder, manifest URL[, "--full"].
    std::function<int(const Arguments&)> sync;
    std::function<void()> refresh_shortcut;
    std::function<int(const Arguments&)> run_window;
};

// The modes compiled into this build of Updater.exe.
RunModes built_in_modes();

// Steps after the split: at most one mode runs.
int run_modes(Arguments arguments, const RunModes& modes);

// Splits the command line and runs the modes under the last-resort handler.
int run_entry(const wchar_t* command_line, const RunModes& modes);

// Prints {"error":message}, shows the message box for an argument-less start, answers 1.
int report_failure(const std::string& message, bool started_without_arguments);

}  // namespace qorn
