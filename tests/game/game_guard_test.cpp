// The guard against a simulated process list and clock (exact, instant), then once
// against real processes: the fake game copied as Main.exe guarding its own folder.
#include "game/game_guard.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

namespace qorn {
namespace {

using test::failure_of;
using test::starts_with;

const std::wstring waiting_text = L"Chờ Main bàn giao cho launcher hoặc kết thúc…";
constexpr ULONGLONG forever = ~0ULL;

std::string running_message(const std::string& name, DWORD pid, const std::wstring& image) {
    return name + " (PID " + std::to_string(pid) +
           ") vẫn đang chạy trong thư mục game. Hãy đóng game rồi bấm Thử lại.\n"
           "Đường dẫn: " +
           to_utf8(image);
}

TEST(PathKey, IgnoresCaseSeparatorsDotsAndLongPathPrefixes) {
    const std::wstring key = path_key(L"C:\\Game\\Client");
    EXPECT_EQ(key, L"C:\\GAME\\CLIENT");
    for (const wchar_t* same : {L"\\\\?\\C:\\Game\\Client\\", L"c:/game/client/", L"C:\\Game\\.\\Data\\..\\Client\\\\",
                                L"C:\\Game//Client", L"c:\\game\\client\\main.exe\\.."}) {
        EXPECT_EQ(path_key(same), key) << to_utf8(same);
    }
    EXPECT_NE(path_key(L"C:\\Game\\Client\\Data"), key);
    EXPECT_NE(path_key(L"C:\\Game\\Client2"), key);
    EXPECT_EQ(path_key(L"\\\\?\\UNC\\server\\share\\Game\\"), L"\\\\SERVER\\SHARE\\GAME");
    EXPECT_EQ(path_key(L"\\\\server\\share\\game"), L"\\\\SERVER\\SHARE\\GAME");
}

// ---- Simulated processes -------------------------------------------------

struct FakeProcess {
    DWORD pid;
    std::wstring name;
    std::wstring image;
    ULONGLONG ends_at = forever;  // on the simulated clock
    bool opens = true;
    bool image_readable = true;
};

// The process list, processes and clock the guard sees. Process handles are real
// (events), so that the guard's owners close real handles and leaks show.
struct FakeSystem {
    std::vector<FakeProcess> processes;
    ULONGLONG now = 50000;
    DWORD own_pid = 4242;
    std::optional<DWORD> snapshot_error;
    std::optional<DWORD> first_error;
    std::function<void(ULONGLONG)> after_wait;

    std::vector<DWORD> opened;
    std::vector<HANDLE> handles;
    std::map<HANDLE, const FakeProcess*> by_handle;
    size_t cursor = 0;
};

FakeSystem* fake = nullptr;

HANDLE real_handle() {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fake->handles.push_back(handle);
    return handle;
}

HANDLE WINAPI fake_snapshot(DWORD, DWORD) {
    if (fake->snapshot_error) {
        SetLastError(*fake->snapshot_error);
        return INVALID_HANDLE_VALUE;
    }
    return real_handle();
}

BOOL WINAPI fake_next(HANDLE, LPPROCESSENTRY32W entry) {
    if (fake->cursor >= fake->processes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const FakeProcess& process = fake->processes[fake->cursor++];
    entry->th32ProcessID = process.pid;
    wcsncpy(entry->szExeFile, process.name.c_str(), MAX_PATH - 1);
    return TRUE;
}

BOOL WINAPI fake_first(HANDLE snapshot, LPPROCESSENTRY32W entry) {
    if (entry->dwSize != 568) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (fake->first_error) {
        SetLastError(*fake->first_error);
        return FALSE;
    }
    fake->cursor = 0;
    return fake_next(snapshot, entry);
}

HANDLE WINAPI fake_open(DWORD access, BOOL inherit, DWORD pid) {
    fake->opened.push_back(pid);
    for (const FakeProcess& process : fake->processes) {
        if (process.pid != pid) continue;
        if (!process.opens || access != 0x101000 || inherit) break;
        HANDLE handle = real_handle();
        fake->by_handle[handle] = &process;
        return handle;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

DWORD WINAPI fake_wait(HANDLE handle, DWORD milliseconds) {
    const FakeProcess& process = *fake->by_handle.at(handle);
    if (process.ends_at > fake->now && milliseconds > 0) {
        fake->now = std::min(process.ends_at, fake->now + milliseconds);
        if (fake->after_wait) fake->after_wait(fake->now);
    }
    return process.ends_at <= fake->now ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI fake_image_path(HANDLE handle, DWORD flags, LPWSTR buffer, PDWORD size) {
    const FakeProcess& process = *fake->by_handle.at(handle);
    if (!process.image_readable || flags != 0 || *size < process.image.size() + 1) return FALSE;
    wcscpy(buffer, process.image.c_str());
    *size = static_cast<DWORD>(process.image.size());
    return TRUE;
}

ULONGLONG WINAPI fake_now() { return fake->now; }
DWORD WINAPI fake_own_pid() { return fake->own_pid; }

const ProcessCalls fake_calls{&fake_snapshot, &fake_first,      &fake_next, &fake_open,
                              &fake_wait,     &fake_image_path, &fake_now,  &fake_own_pid};

class GameGuard : public ::testing::Test {
protected:
    FakeSystem system;
    Cancel cancel;
    std::vector<Progress> reports;
    ProgressCallback report = [this](const Progress& progress) { reports.push_back(progress); };

    void SetUp() override { fake = &system; }
    void TearDown() override {
        for (HANDLE handle : system.handles) {
            DWORD flags = 0;
            EXPECT_FALSE(GetHandleInformation(handle, &flags)) << "a handle was left open";
        }
        fake = nullptr;
    }
    std::string guard(const Cancel* token) {
        return failure_of([&] { ensure_game_closed(L"C:\\Game\\Client", token, report, fake_calls); });
    }
};

TEST_F(GameGuard, AnEmptyOrUnreadableProcessList) {
    EXPECT_EQ(guard(&cancel), "(no failure)");
    system.first_error = ERROR_ACCESS_DENIED;
    EXPECT_TRUE(starts_with(guard(&cancel), "Không đọc được danh sách tiến trình: ")) << guard(&cancel);
    system.snapshot_error = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_TRUE(starts_with(guard(&cancel), "Không kiểm tra được tiến trình game: ")) << guard(&cancel);
}

TEST_F(GameGuard, OnlyLiveGameImagesDirectlyInTheFolderCount) {
    system.processes = {
        {4242, L"Main.exe", L"C:\\Game\\Client\\Main.exe"},  // the launcher itself
        {10, L"notepad.exe", L"C:\\Game\\Client\\notepad.exe"},
        {11, L"Main.exe.bak", L"C:\\Game\\Client\\Main.exe.bak"},
        {12, L"Main.exe", L"C:\\Game\\Client\\Data\\Main.exe"},  // a sub-folder
        {13, L"MAIN_X64.EXE", L"C:\\Game\\Client2\\MAIN_X64.EXE"},
        {14, L"main.exe", L"C:\\Game\\Client\\main.exe", forever, false},  // protected
        {15, L"Main.exe", L"C:\\Game\\Client\\Main.exe", forever, true, false},
        {16, L"Main.exe", L"C:\\Game\\Client\\Main.exe", 0},  // already ended
    };
    EXPECT_EQ(guard(nullptr), "(no failure)");
    EXPECT_EQ(system.opened, (std::vector<DWORD>{12, 13, 14, 15, 16}));

    // Without a Cancel a live game fails the call at once, unreported.
    system.processes.push_back({17, L"main_x64.exe", L"\\\\?\\c:\\game\\CLIENT\\main_x64.exe"});
    const ULONGLONG started = system.now;
    EXPECT_EQ(guard(nullptr), running_message("main_x64.exe", 17, L"\\\\?\\c:\\game\\CLIENT\\main_x64.exe"));
    EXPECT_EQ(system.now, started);
    EXPECT_TRUE(reports.empty());
}

TEST_F(GameGuard, TheGraceIsCountedOnceFromTheFirstGameFound) {
    const ULONGLONG started = system.now;
    system.processes = {
        {41, L"Main.exe", L"C:\\Game\\Client\\Main.exe", started + 2000},
        {42, L"Main_x64.exe", L"C:\\Game\\Client\\Main_x64.exe"},
    };
    EXPECT_EQ(guard(&cancel), running_message("Main_x64.exe", 42, L"C:\\Game\\Client\\Main_x64.exe"));
    EXPECT_EQ(system.now - started, 3000u);  // the second game got only the remaining second
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].stage, Stage::asking_host);
    EXPECT_EQ(reports[0].text, waiting_text);
    EXPECT_EQ(reports[0].detail, L"Main.exe · PID 41");
    EXPECT_TRUE(reports[0].in_bytes);
    EXPECT_EQ(reports[0].done + reports[0].total + reports[0].files_done + reports[0].files_total + reports[0].extra,
              0u);
    EXPECT_EQ(reports[1].detail, L"Main_x64.exe · PID 42");

    // The first game uses up the whole grace: the second is still reported once, then fails.
    reports.clear();
    system.now = started;
    system.processes[0].ends_at = started + 3000;
    EXPECT_EQ(guard(&cancel), running_message("Main_x64.exe", 42, L"C:\\Game\\Client\\Main_x64.exe"));
    EXPECT_EQ(system.now - started, 3000u);
    EXPECT_EQ(reports.size(), 2u);

    // Games that end within the grace let the call go on.
    system.now = started;
    system.processes[1].ends_at = started + 2500;
    EXPECT_EQ(guard(&cancel), "(no failure)");
}

TEST_F(GameGuard, AStopDuringTheGraceEndsTheCallWithCancelled) {
    system.processes = {{51, L"Main.exe", L"C:\\Game\\Client\\Main.exe"}};
    const ULONGLONG started = system.now;
    system.after_wait = [&](ULONGLONG now) {
        if (now - started >= 500) cancel.cancel();
    };
    EXPECT_EQ(guard(&cancel), "Đã dừng xử lý.");
    EXPECT_EQ(system.now - started, 500u);  // the next 100 ms slice saw the stop

    // A stop in the last slice wins over the game that still runs.
    Cancel late;
    system.now = started;
    system.after_wait = [&](ULONGLONG now) {
        if (now - started >= 3000) late.cancel();
    };
    EXPECT_EQ(guard(&late), "Đã dừng xử lý.");
}

// ---- Real processes ------------------------------------------------------

// The fake game copied as Main.exe and run as "Main.exe --guard": the guard on its
// own folder, as a launcher named Main.exe runs it, must not find itself.
TEST(GameGuardWithRealGame, ALauncherNamedMainExeDoesNotWaitForItself) {
    test::TempFolder folder;
    const std::filesystem::path image = folder / L"Main.exe";
    std::filesystem::copy_file(QORN_FAKE_GAME_EXE, image);
    std::wstring command = L"\"" + image.wstring() + L"\" --guard";
    // No console and no standard handles of ours: under Wine a console would
    // come with a conhost that keeps CTest's output pipe open.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle nothing(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing.get();
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                               folder.path().c_str(), &startup, &started));
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    if (WaitForSingleObject(process.get(), 20000) == WAIT_TIMEOUT) TerminateProcess(process.get(), 9);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace qorn
