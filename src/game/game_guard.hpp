// Refuses to touch a client folder while its game runs: finds Main.exe or
// Main_x64.exe processes whose image lies directly in the folder, waits a short
// grace period for them to end, and fails otherwise. Stateless; runs on its caller's thread.
#pragma once

#include "core/cancel.hpp"
#include "core/keys.hpp"
#include "core/progress.hpp"

#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace qorn {

// The system calls the guard makes, as a table so that tests can stand in for
// the process list, the processes and the clock.
struct ProcessCalls {
    decltype(&::CreateToolhelp32Snapshot) snapshot;
    decltype(&::Process32FirstW) first;
    decltype(&::Process32NextW) next;
    decltype(&::OpenProcess) open;
    decltype(&::WaitForSingleObject) wait;
    decltype(&::QueryFullProcessImageNameW) image_path;
    decltype(&::GetTickCount64) now_ms;
    decltype(&::GetCurrentProcessId) own_id;
    decltype(&::GetProcessTimes) times;  // a process's creation time: with its id, who it is
};

const ProcessCalls& system_process_calls();

// With a Cancel, a game found running gets 3000 ms (counted once per call, from the
// first game found) to end while progress says so; without one, any running game
// fails the call at once. Throws Cancelled when the Cancel is stopped meanwhile.
void ensure_game_closed(const std::filesystem::path& client_folder, const Cancel* cancel,
                        const ProgressCallback& progress, const ProcessCalls& calls = system_process_calls());

}  // namespace qorn
