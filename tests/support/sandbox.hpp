// Scoped sandboxes for tests that run against the real OS: a fresh temporary
// folder removed on every way out, and files held open without sharing. Each
// object belongs to the test that made it.
#pragma once

#include "core/unique_handle.hpp"
#include "game/game_guard.hpp"
#include "support/failure.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qorn::test {

class TempFolder {
public:
    TempFolder();
    explicit TempFolder(const std::filesystem::path& parent);  // elsewhere than in the system's temporary folder
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

private:
    std::filesystem::path path_;
};

void write_bytes(const std::filesystem::path& path, std::string_view bytes);
std::string read_bytes(const std::filesystem::path& path);

// Keeps a file open without sharing, as another program would.
struct HeldOpen {
    explicit HeldOpen(const std::filesystem::path& path);
    UniqueHandle handle;
};

// What `body` fails with (as failure_of) while another program holds the file open.
template <typename F>
std::string failure_while_held(const std::filesystem::path& path, F&& body) {
    const HeldOpen held(path);
    return failure_of(body);
}

// A folder symbolic link (Windows shows it as a reparse point); false when the file
// system cannot make one here, so the caller can skip.
bool make_folder_link(const std::filesystem::path& link, const std::filesystem::path& target);
// Copies a file to a sibling whose name differs only in letter case, which Linux
// allows and Windows programs cannot make; false when it could not be made.
bool make_case_twin(const std::filesystem::path& file, const std::wstring& twin_name);

// A simulated process list and clock behind `calls` (exact, instant), the launcher's own id
// 4242. Handles are real events, so that one left open shows. One at a time.
struct FakeProcess {
    DWORD pid;
    std::wstring name;
    std::filesystem::path image;
    ULONGLONG ends_at = ~0ULL;  // on the simulated clock
    bool opens = true, image_readable = true;
};
struct FakeSystem {
    std::vector<FakeProcess> processes;
    ULONGLONG now = 50000;
    DWORD snapshot_error = 0, first_error = 0;
    std::function<void()> after_wait;  // after each wait that moved the clock
    std::map<HANDLE, const FakeProcess*> by_handle;  // every handle made
    size_t next = 0;
    static const ProcessCalls calls;

    FakeSystem();
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;
    HANDLE handle(const FakeProcess* process = nullptr);
    void expect_all_closed() const;
};

}  // namespace qorn::test
