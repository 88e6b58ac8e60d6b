#include "net/host_site.hpp"

#include "core/sha256.hpp"
#include "core/text.hpp"

#include <windows.h>

#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef QORN_SOURCE_DIR
#error "QORN_SOURCE_DIR names the source tree; the build sets it"
#endif

namespace qorn::test {
namespace {

constexpr int server_seconds = 240;  // far beyond one test program's run
constexpr auto start_limit = std::chrono::seconds(20);
constexpr auto log_limit = std::chrono::seconds(5);
constexpr auto poll = std::chrono::milliseconds(20);

void write_then_rename(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::path temporary = path;
    temporary += L".new";
    write_bytes(temporary, bytes);
    if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        throw std::runtime_error("test: cannot replace " + path.string());
    }
}

// Wine runs Unix programs but cannot wait for them: the watchdog script ends the
// server when the stop file appears.
void start_server(const std::filesystem::path& work) {
    const std::wstring script = to_wide(QORN_SOURCE_DIR "/tests/net/serve_site.py");
    std::wstring command =
        L"/usr/bin/python3 " + script + L" " + to_wide(unix_path_of(work)) + L" " + std::to_wstring(server_seconds);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle nothing(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr));
    // Standard handles of our own would keep CTest's output pipe open after we end.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\usr\\bin\\python3", command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        throw std::runtime_error("test: cannot start python3 for the update-host tool");
    }
    UniqueHandle thread(process.hThread);
    UniqueHandle child(process.hProcess);
}

}  // namespace

std::string unix_path_of(const std::filesystem::path& path) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return {};
    char* text = convert(std::filesystem::absolute(path).c_str());
    if (text == nullptr) return {};
    std::string result(text);
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}

HostSite::HostSite() {
    std::filesystem::create_directories(work_ / L"site" / L"files");
    std::filesystem::create_directories(work_ / L"site" / L"api");
    start_server(work_.path());
    const auto deadline = std::chrono::steady_clock::now() + start_limit;
    while (port_ == 0) {
        if (std::filesystem::exists(work_ / L"port")) {
            port_ = std::stoi(read_bytes(work_ / L"port"));
        } else if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("test: the update-host tool did not start: " +
                                     (std::filesystem::exists(work_ / L"server.err") ? read_bytes(work_ / L"server.err")
                                                                                     : std::string("no output")));
        } else {
            std::this_thread::sleep_for(poll);
        }
    }
}

HostSite::~HostSite() {
    write_bytes(work_ / L"stop", "");
    // The watchdog removes the port file once the server has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::filesystem::exists(work_ / L"port") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(poll);
    }
}

std::wstring HostSite::manifest_url() const { return url("/api/manifest"); }

std::wstring HostSite::url(std::string_view path) const {
    return L"http://127.0.0.1:" + std::to_wstring(port_) + to_wide(path);
}

std::string HostSite::add_file(std::string_view bytes) {
    const std::string digest = sha256_hex(bytes);
    write_then_rename(work_ / L"site" / L"files" / to_wide(digest), bytes);
    return "/files/" + digest;
}

void HostSite::set_faults(const nlohmann::json& rules) { write_then_rename(work_ / L"faults.json", rules.dump()); }

std::vector<nlohmann::json> HostSite::log_for(std::string_view path, size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + log_limit;
    for (;;) {
        std::vector<nlohmann::json> entries;
        if (std::filesystem::exists(work_ / L"requests.log")) {
            std::istringstream lines(read_bytes(work_ / L"requests.log"));
            for (std::string line; std::getline(lines, line);) {
                if (line.empty()) continue;
                nlohmann::json entry = nlohmann::json::parse(line);
                if (entry["path"] == path) entries.push_back(std::move(entry));
            }
        }
        if (entries.size() >= count || std::chrono::steady_clock::now() > deadline) return entries;
        std::this_thread::sleep_for(poll);
    }
}

HostSite& shared_host() {
    static HostSite host;
    return host;
}

}  // namespace qorn::test
