#include "support/sandbox.hpp"

#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace qorn::test {

namespace {

// Wine's own conversion of a DOS path to the Unix path behind it.
std::string unix_path(const std::filesystem::path& path) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    const auto convert =
        reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return {};
    char* text = convert(path.c_str());
    if (text == nullptr) return {};
    std::string result(text);
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}


// Starts a Unix program; Wine does not let us wait for it.
bool start_unix(const std::wstring& program, std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
    return true;
}

// Removes a tree without ever following a link: a link is removed itself, so a
// test can never delete what lies behind it.
void remove_tree(const std::filesystem::path& folder) {
    WIN32_FIND_DATAW entry{};
    UniqueFind search(FindFirstFileW((folder / L"*").c_str(), &entry));
    if (search) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::filesystem::path child = folder / name;
            const bool is_folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            const bool is_link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (is_folder && !is_link) remove_tree(child);
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (is_link) continue;  // Wine's RemoveDirectoryW would delete the link's target
            if (is_folder) {
                RemoveDirectoryW(child.c_str());
            } else {
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search.get(), &entry));
    }
    search.reset();
    RemoveDirectoryW(folder.c_str());
}

// What is left holds links: Unix rm removes links without following them.
void remove_links_left(const std::filesystem::path& folder) {
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    const std::string unix_folder = unix_path(folder);
    if (!unix_folder.empty()) {
        start_unix(L"Z:\\bin\\rm", L"/bin/rm -rf " + std::filesystem::path(unix_folder).wstring());
    }
}

}  // namespace

TempFolder::TempFolder() : TempFolder(std::filesystem::temp_directory_path()) {}

TempFolder::TempFolder(const std::filesystem::path& parent) {
    // Wine reuses small process ids, so the name also carries the time.
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const std::wstring name = L"qorn-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
        path_ = parent / name;
        if (CreateDirectoryW(path_.c_str(), nullptr)) return;
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("test: cannot create a temporary folder");
    }
}

TempFolder::~TempFolder() {
    remove_tree(path_);
    remove_links_left(path_);
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::create_directories(path.parent_path());
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) throw std::runtime_error("test: cannot create " + path.string());
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size())) {
        throw std::runtime_error("test: cannot write " + path.string());
    }
}

std::string read_bytes(const std::filesystem::path& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!file) throw std::runtime_error("test: cannot open " + path.string());
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

HeldOpen::HeldOpen(const std::filesystem::path& path)
    : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr)) {
    if (!handle_) throw std::runtime_error("test: cannot hold " + path.string());
}

CapturedOutput::CapturedOutput() : previous_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    const std::filesystem::path file = folder_ / L"stdout.txt";
    file_.reset(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                            0, nullptr));
    if (!file_) throw std::runtime_error("test: cannot capture output");
    SetStdHandle(STD_OUTPUT_HANDLE, file_.get());
}

CapturedOutput::~CapturedOutput() { SetStdHandle(STD_OUTPUT_HANDLE, previous_); }

std::string CapturedOutput::text() const { return read_bytes(folder_ / L"stdout.txt"); }


bool running_under_wine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

bool make_folder_link(const std::filesystem::path& link, const std::filesystem::path& target) {
    // Windows programs cannot make links under Wine, but Wine starts Unix programs,
    // and a Unix folder link shows as a reparse point.
    const std::string unix_link = unix_path(std::filesystem::absolute(link));
    const std::string unix_target = unix_path(std::filesystem::absolute(target));
    if (unix_link.empty() || unix_target.empty()) return false;
    std::wstring command = L"/bin/ln -s " + std::filesystem::path(unix_target).wstring() + L" " +
                           std::filesystem::path(unix_link).wstring();
    if (!start_unix(L"Z:\\bin\\ln", command)) return false;
    // Wine does not wait for a Unix child: watch for the link instead.
    for (int round = 0; round < 500; ++round) {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
        Sleep(10);
    }
    return false;
}

bool make_case_twin(const std::filesystem::path& file, const std::wstring& twin_name) {
    const std::string unix_file = unix_path(std::filesystem::absolute(file));
    if (unix_file.empty()) return false;
    const std::filesystem::path unix_twin = std::filesystem::path(unix_file).parent_path() / twin_name;
    if (!start_unix(L"Z:\\bin\\cp", L"/bin/cp " + std::filesystem::path(unix_file).wstring() + L" " +
                                            unix_twin.generic_wstring())) {
        return false;
    }
    // Wine matches names without regard to case, so wait until the listing shows both.
    for (int round = 0; round < 500; ++round) {
        WIN32_FIND_DATAW entry{};
        UniqueFind listing(FindFirstFileW((file.parent_path() / L"*").c_str(), &entry));
        if (listing) {
            do {
                if (twin_name == entry.cFileName) return true;
            } while (FindNextFileW(listing.get(), &entry));
        }
        Sleep(10);
    }
    return false;
}

}  // namespace qorn::test
