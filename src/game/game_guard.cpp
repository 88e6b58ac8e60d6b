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
    return key == L"MAIN.EXE" || key == L"MAIN_X64.EXE";
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

// "\\?\UNC\server\share" becomes "\\server\share"; "\\?\C:\x" becomes "C:\x".
std::wstring without_long_prefix(std::wstring_view path) {
    constexpr std::wstring_view unc_prefix = L"\\\\?\\UNC\\";
    constexpr std::wstring_view long_prefix = L"\\\\?\\";
    if (path.starts_with(unc_prefix)) return L"\\\\" + std::wstring(path.substr(unc_prefix.size()));
    if (path.starts_with(long_prefix)) path.remove_prefix(long_prefix.size());
    return std::wstring(path);
}

// The full path name Windows gives; the path itself when Windows has none for it.
std::wstring full_path_name(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

// Length of "C:" or "\\server\share" at the start of a path (0 for neither).
size_t root_length(std::wstring_view path) {
    if (path.starts_with(L"\\\\")) {
        const size_t server_end = path.find(L'\\', 2);
        if (server_end == std::wstring_view::npos) return path.size();
        const size_t share_end = path.find(L'\\', server_end + 1);
        return share_end == std::wstring_view::npos ? path.size() : share_end;
    }
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
}

// Single separators, no "." elements, and no element that a ".." takes back.
std::wstring normal_form(std::wstring_view path) {
    const size_t root = root_length(path);
    std::vector<std::wstring_view> elements;
    for (size_t start = root; start < path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) end = path.size();
        const std::wstring_view element = path.substr(start, end - start);
        if (element == L"..") {
            if (!elements.empty()) elements.pop_back();
        } else if (!element.empty() && element != L".") {
            elements.push_back(element);
        }
        start = end + 1;
    }
    std::wstring normal(path.substr(0, root));
    for (std::wstring_view element : elements) {
        normal += L'\\';
        normal += element;
    }
    return normal;
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
        if (!progress) return;
        Progress waiting;
        waiting.stage = 0;
        waiting.text = waiting_text;
        waiting.detail = std::wstring(name_of(image)) + L" · PID " + std::to_wstring(entry.th32ProcessID);
        waiting.in_bytes = true;
        progress(waiting);
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
    };
    return calls;
}

std::wstring path_key(const std::filesystem::path& folder) {
    std::wstring text = folder.native();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    // The prefix goes first, and Windows itself makes the path absolute: MinGW's
    // std::filesystem::absolute and lexically_normal take "\\?\C:\x" and
    // "\\server\share" for paths on the current drive.
    text = normal_form(full_path_name(without_long_prefix(text)));
    while (!text.empty() && text.back() == L'\\') text.pop_back();
    return case_key(text);
}

void ensure_game_closed(const std::filesystem::path& client_folder, const Cancel* cancel,
                        const ProgressCallback& progress, const ProcessCalls& calls) {
    if (cancel != nullptr) cancel->check();
    UniqueHandle snapshot(calls.snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) throw_windows_error("Không kiểm tra được tiến trình game", GetLastError());
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
