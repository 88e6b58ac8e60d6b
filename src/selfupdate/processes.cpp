#include "selfupdate/processes.hpp"

#include "core/text.hpp"

namespace qorn {
namespace {

constexpr DWORD query_and_wait = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

}  // namespace

std::uint64_t creation_time(HANDLE process, const ProcessCalls& calls) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!calls.times(process, &created, &exited, &kernel, &user)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không đọc được thời điểm tạo tiến trình", code);
    }
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

ProcessIdentity this_process(const ProcessCalls& calls) {
    return {calls.own_id(), creation_time(GetCurrentProcess(), calls)};
}

bool process_alive(const ProcessIdentity& process, const ProcessCalls& calls) {
    if (process.pid == 0) return false;
    const UniqueHandle handle(calls.open(query_and_wait, FALSE, process.pid));
    return handle && calls.wait(handle.get(), 0) == WAIT_TIMEOUT && creation_time(handle.get(), calls) == process.created;
}

std::wstring quote_argument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped with one more.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');  // doubled before the closing quote
    return quoted + L"\"";
}

UniqueHandle start_process(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                           const std::filesystem::path& working_folder, bool shown) {
    std::wstring command = quote_argument(program.wstring());
    for (const std::wstring& argument : arguments) command += L" " + quote_argument(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = shown ? SW_SHOWNORMAL : SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        working_folder.c_str(), &startup, &started)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không khởi động được bước thay launcher", code);
    }
    return take_process(started);
}

}  // namespace qorn
