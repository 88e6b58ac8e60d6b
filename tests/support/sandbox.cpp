#include "support/sandbox.hpp"
#include "core/files.hpp"
#include "core/tree_removal.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace qorn::test {
namespace {

// Wine's own conversion of a DOS path to the Unix path behind it ("" elsewhere).
std::wstring unix_path(const std::filesystem::path& path) {
    const auto convert = reinterpret_cast<char*(__cdecl*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* text = convert != nullptr ? convert(std::filesystem::absolute(path).c_str()) : nullptr;
    const std::wstring result = text != nullptr ? std::filesystem::path(text).wstring() : L"";
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}

// Starts a Unix program ("/bin/x arguments") and watches up to 5 s for its effect:
// Windows programs cannot make links or case twins under Wine, nor wait for a Unix child.
bool run_unix(std::wstring command, const std::function<bool()>& done) {
    const std::wstring program = L"Z:" + command.substr(0, command.find(L' '));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &process);
    if (!started) return false;
    const UniqueHandle thread(process.hThread), child(process.hProcess);
    for (int round = 0; round < 500; ++round, Sleep(10)) {
        if (done()) return true;
    }
    return false;
}

FakeSystem* fake = nullptr;

BOOL WINAPI next_process(HANDLE, LPPROCESSENTRY32W entry) {
    if (fake->next == fake->processes.size()) return SetLastError(ERROR_NO_MORE_FILES), FALSE;
    entry->th32ProcessID = fake->processes[fake->next].pid;
    wcsncpy(entry->szExeFile, fake->processes[fake->next++].name.c_str(), MAX_PATH - 1);
    return TRUE;
}

}  // namespace

TempFolder::TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}

TempFolder::TempFolder(const std::filesystem::path& parent) {
    // Wine reuses small process ids, so the name also carries the time.
    static std::atomic<unsigned> counter{0};
    do {
        path_ = parent / (L"qorn-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++));
    } while (!CreateDirectoryW(path_.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
    if (GetFileAttributesW(path_.c_str()) == INVALID_FILE_ATTRIBUTES) throw std::runtime_error("test: no temp folder");
}

TempFolder::~TempFolder() {
    try {
        remove_tree(path_);  // refuses a link before it touches anything behind it
    } catch (const std::exception&) {
    }
    // What is left holds links: Unix rm removes links without following them.
    if (GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES) {
        run_unix(L"/bin/rm -rf " + unix_path(path_), [] { return true; });
    }
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush()) {
        throw std::runtime_error("test: cannot write " + path.string());
    }
}

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("test: cannot open " + path.string());
    return std::string(std::istreambuf_iterator<char>(file), {});
}

HeldOpen::HeldOpen(const std::filesystem::path& path)
    : handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr)) {
    if (!handle) throw std::runtime_error("test: cannot hold " + path.string());
}

bool make_folder_link(const std::filesystem::path& link, const std::filesystem::path& target) {
    const std::wstring unix_link = unix_path(link), unix_target = unix_path(target);
    // A Unix folder link shows as a reparse point.
    return !unix_link.empty() && !unix_target.empty() &&
           run_unix(L"/bin/ln -s " + unix_target + L" " + unix_link, [&] {
               const DWORD attributes = GetFileAttributesW(link.c_str());
               return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
           });
}

bool make_case_twin(const std::filesystem::path& file, const std::wstring& twin_name) {
    const std::wstring unix_file = unix_path(file);
    const std::wstring unix_twin = std::filesystem::path(unix_file).parent_path().generic_wstring() + L"/" + twin_name;
    // Wine matches names without regard to case, so wait until the listing shows both.
    return !unix_file.empty() && run_unix(L"/bin/cp " + unix_file + L" " + unix_twin, [&] {
        for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
            if (entry.path().filename() == twin_name) return true;
        }
        return false;
    });
}

FakeSystem::FakeSystem() { fake = this; }

FakeSystem::~FakeSystem() { fake = nullptr; }

void FakeSystem::expect_all_closed() const {
    DWORD flags = 0;
    for (const auto& [handle, process] : by_handle) EXPECT_FALSE(GetHandleInformation(handle, &flags));
}

HANDLE FakeSystem::handle(const FakeProcess* process) {
    const HANDLE made = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return by_handle[made] = process, made;
}

const ProcessCalls FakeSystem::calls{
    [](DWORD, DWORD) { return fake->snapshot_error ? SetLastError(fake->snapshot_error), INVALID_HANDLE_VALUE
                                                   : fake->handle(); },
    [](HANDLE snapshot, LPPROCESSENTRY32W entry) -> BOOL {
        if (entry->dwSize != 568 || fake->first_error) return SetLastError(fake->first_error), FALSE;
        return fake->next = 0, next_process(snapshot, entry);
    },
    next_process,
    [](DWORD access, BOOL inherit, DWORD pid) -> HANDLE {
        for (const FakeProcess& process : fake->processes) {
            if (process.pid == pid && process.opens && access == 0x101000 && !inherit) return fake->handle(&process);
        }
        return SetLastError(ERROR_ACCESS_DENIED), nullptr;
    },
    [](HANDLE handle, DWORD milliseconds) -> DWORD {
        const ULONGLONG ends_at = fake->by_handle.at(handle)->ends_at;
        if (ends_at > fake->now && milliseconds > 0) {
            fake->now = std::min(ends_at, fake->now + milliseconds);
            if (fake->after_wait) fake->after_wait();
        }
        return ends_at <= fake->now ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    },
    [](HANDLE handle, DWORD flags, LPWSTR buffer, PDWORD size) -> BOOL {
        const FakeProcess& process = *fake->by_handle.at(handle);
        const std::wstring image = process.image.wstring();
        if (!process.image_readable || flags != 0 || *size <= image.size()) return FALSE;
        *size = static_cast<DWORD>(image.copy(buffer, image.size()));
        return TRUE;
    },
    [] { return fake->now; },
    [] { return DWORD{4242}; },
    &GetProcessTimes,
};

}  // namespace qorn::test
