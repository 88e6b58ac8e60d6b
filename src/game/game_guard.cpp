#include "game/game_guard.hpp"

#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "release/client_path.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace qorn {
namespace {

constexpr DWORD query_and_wait = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;  // 0x101000
constexpr DWORD image_path_capacity = 32768;
constexpr ULONGLONG grace_ms = 3000;
constexpr ULONGLONG poll_ms = 100;
constexpr wchar_t waiting_text[] = L"Chờ Main bàn giao cho launcher hoặc kết thúc…";

bool is_game_image(const wchar_t* name) {
    const std::wstring key = case_key(name);
    return key == game_executable_key() || key == L"MAIN_X64.EXE";
}

bool still_running(const ProcessCalls& calls, HANDLE process) { return calls.wait(process, 0) == WAIT_TIMEOUT; }

// The full image path of a live process, or nothing when it cannot be read.
std::optional<std::wstring> image_path_of(const ProcessCalls& calls, HANDLE process) {
    std::wstring path(image_path_capacity, L'\0');
    DWORD length = image_path_capacity;
    if (!calls.image_path(process, 0, path.data(), &length)) return std::nullopt;
    path.resize(std::min<DWORD>(length, image_path_capacity));
    return path;
}

std::string still_running_message(const PROCESSENTRY32W& entry, const std::wstring& image) {
    return to_utf8(entry.szExeFile) + " (PID " + std::to_string(entry.th32ProcessID) +
           ") vẫn đang chạy trong thư mục game. " + "Hãy đóng game rồi bấm Thử lại.\nĐường dẫn: " + to_utf8(image);
}

// The folder part and the file name part of an image path.
std::wstring_view parent_of(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? std::wstring_view() : path.substr(0, slash);
}

std::wstring_view name_of(std::wstring_view path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

// One scan: the folder it guards and the grace deadline its games share.
struct Scan {
    const std::wstring folder_key;
    const Cancel* cancel;
    const ProgressCallback& progress;
    const ProcessCalls& calls;
    std::optional<ULONGLONG> deadline;

    void report(const PROCESSENTRY32W& entry, const std::wstring& image) const {
        Reporter(progress).note(Stage::asking_host, waiting_text,
                                std::wstring(name_of(image)) + L" · PID " + std::to_wstring(entry.th32ProcessID));
    }

    // Gives the game what is left of the grace period to end.
    void wait_for_exit(HANDLE process) {
        if (!deadline) deadline = calls.now_ms() + grace_ms;
        while (still_running(calls, process)) {
            const ULONGLONG now = calls.now_ms();
            if (now >= *deadline) break;
            cancel->check();
            calls.wait(process, static_cast<DWORD>(std::min(poll_ms, *deadline - now)));
        }
        cancel->check();  // a stop during the wait wins over the running game
    }

    void check(const PROCESSENTRY32W& entry) {
        // Processes we may not open (protected, already gone) are not counted.
        UniqueHandle process(calls.open(query_and_wait, FALSE, entry.th32ProcessID));
        if (!process || !still_running(calls, process.get())) return;
        const std::optional<std::wstring> image = image_path_of(calls, process.get());
        if (!image) return;
        // Only an image directly in the folder counts, not one in a sub-folder.
        if (path_key(std::wstring(parent_of(*image))) != folder_key) return;
        if (cancel != nullptr) {
            report(entry, *image);
            wait_for_exit(process.get());
        }
        if (still_running(calls, process.get())) throw std::runtime_error(still_running_message(entry, *image));
    }
};

}  // namespace

const ProcessCalls& system_process_calls() {
    static constexpr ProcessCalls calls{
        &::CreateToolhelp32Snapshot, &::Process32FirstW,
        &::Process32NextW,           &::OpenProcess,
        &::WaitForSingleObject,      &::QueryFullProcessImageNameW,
        &::GetTickCount64,           &::GetCurrentProcessId,
        &::GetProcessTimes,
    };
    return calls;
}

void ensure_game_closed(const std::filesystem::path& client_folder, const Cancel* cancel,
                        const ProgressCallback& progress, const ProcessCalls& calls) {
    if (cancel != nullptr) cancel->check();
    UniqueHandle snapshot(calls.snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        const DWORD code = GetLastError();
        throw_windows_error("Không kiểm tra được tiến trình game", code);
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!calls.first(snapshot.get(), &entry)) {
        const DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES) return;
        throw_windows_error("Không đọc được danh sách tiến trình", code);
    }
    Scan scan{path_key(client_folder), cancel, progress, calls, std::nullopt};
    const DWORD own_id = calls.own_id();
    do {
        if (cancel != nullptr) cancel->check();
        // A launcher that was itself named Main.exe must not wait for itself.
        if (entry.th32ProcessID != own_id && is_game_image(entry.szExeFile)) scan.check(entry);
    } while (calls.next(snapshot.get(), &entry));
}

}  // namespace qorn
