// The processes of a launcher hand-over: who a recorded process is (its id and its
// creation time, so a reused id is never taken for it), and starting a program with
// its arguments quoted as the Windows command-line parser reads them back.
// Stateless; any thread.
#pragma once

#include "core/unique_handle.hpp"
#include "game/game_guard.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qorn {

struct ProcessIdentity {
    DWORD pid = 0;
    std::uint64_t created = 0;  // file time of its creation
};

// Fails with "Không đọc được thời điểm tạo tiến trình" and the Windows error.
std::uint64_t creation_time(HANDLE process, const ProcessCalls& calls = system_process_calls());
ProcessIdentity this_process(const ProcessCalls& calls = system_process_calls());
// Opened with query-limited-information and synchronize rights, still running, and
// created when the record says.
bool process_alive(const ProcessIdentity& process, const ProcessCalls& calls = system_process_calls());

// One argument as the command-line parser reads it back: in double quotes, a run of
// backslashes doubled before a quote (which gets one more) and before the closing quote.
std::wstring quote_argument(const std::wstring& argument);

// The program with its arguments, no inherited handles, in the folder, shown or hidden;
// fails with "Không khởi động được bước thay launcher" and the Windows error.
UniqueHandle start_process(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                           const std::filesystem::path& working_folder, bool shown);

}  // namespace qorn
