#include "selfcheck/self_test.hpp"

#include "core/text.hpp"
#include "game/game_launch.hpp"
#include "selfcheck/checker.hpp"

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace qorn {
namespace {

const std::wstring game = L"C:\\QORN thử nghiệm\\Client x64\\Main.exe";
const std::wstring folder = L"C:\\QORN thử nghiệm\\Client x64";
const HWND owner = reinterpret_cast<HWND>(0x1234);

// What the substitute calls answer, and what they saw. The calls are plain function
// pointers, so this lives at file scope; the suite runs on one thread.
struct Substitute {
    DWORD direct_error = 0;  // 0: the direct start succeeds
    DWORD shell_error = 0;   // 0: the elevated start succeeds
    bool shell_handle = true;
    int creates = 0, shells = 0;
    std::string broken;  // the first request that broke the contract
    HANDLE process = nullptr, thread = nullptr;
} substitute;

void expect(bool holds, const char* message) {
    if (!holds && substitute.broken.empty()) substitute.broken = message;
}

// A handle of this (live) process, as the started game's.
HANDLE live_process() {
    HANDLE process = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &process, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        expect(false, "Cannot duplicate self-test process handle.");
    }
    return process;
}

BOOL WINAPI create_process(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES process_security,
                           LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment,
                           LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION started) {
    ++substitute.creates;
    expect(application && directory && application == game && directory == folder,
           "Direct launch lost Unicode path or working directory.");
    expect(command && command == L"\"" + game + L"\"", "Direct launch lost EXE quoting.");
    expect(!process_security && !thread_security && !inherit && flags == 0 && !environment,
           "Direct launch inherited handles or changed process options.");
    expect(startup != nullptr && startup->cb == 104, "Invalid startup structure.");
    if (substitute.direct_error != 0) {
        SetLastError(substitute.direct_error);
        return FALSE;
    }
    substitute.thread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    expect(substitute.thread != nullptr, "Cannot create self-test thread handle.");
    started->hThread = substitute.thread;
    started->hProcess = substitute.process = live_process();
    return TRUE;
}

BOOL WINAPI shell_execute(SHELLEXECUTEINFOW* request) {
    ++substitute.shells;
    expect(request->cbSize == 112 && request->hwnd == owner, "Elevation lost its owner window or structure size.");
    expect(request->lpFile && request->lpVerb && request->lpFile == game && std::wstring(request->lpVerb) == L"runas",
           "Elevation must target the exact Main.exe with runas.");
    expect(request->lpDirectory && request->lpDirectory == folder && request->lpParameters == nullptr,
           "Elevation lost working directory or added game arguments.");
    expect(request->fMask == 0x540 && request->nShow == 1, "Elevation must return a process handle and show the game normally.");
    // A failed call may still fill in a handle, which must not leak.
    request->hProcess = substitute.process = substitute.shell_handle ? live_process() : nullptr;
    SetLastError(substitute.shell_error);
    return substitute.shell_error == 0;
}

bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && GetHandleInformation(handle, &flags) != FALSE;
}

}  // namespace

std::uint32_t game_launch_self_test() {
    Checker check("Game launch self-test assertion ");
    const GameLaunchApi api{&create_process, &shell_execute};
    const std::string direct = "Không mở được Main.exe", elevated = "Không mở được Main.exe với quyền quản trị";
    const struct {
        DWORD direct_error, shell_error;
        bool shell_handle;
        std::string outcome;  // "process", "declined" or the failure text
        int shells;
    } cases[] = {
        {0, 0, true, "process", 0},
        {740, 0, true, "process", 1},
        {740, ERROR_CANCELLED, true, "declined", 1},
        {740, 0, false, "Windows không trả về tiến trình", 1},
        {5, 0, true, windows_error_message(direct, 5), 0},
        {2, 0, true, windows_error_message(direct, 2), 0},
        {193, 0, true, windows_error_message(direct, 193), 0},
        {32, 0, true, windows_error_message(direct, 32), 0},
        {740, 5, true, windows_error_message(elevated, 5), 1},
    };
    for (const auto& c : cases) {
        substitute = Substitute{};
        substitute.direct_error = c.direct_error;
        substitute.shell_error = c.shell_error;
        substitute.shell_handle = c.shell_handle;
        std::string outcome;
        bool live = false;
        try {
            const UniqueHandle started = start_game_process(game, folder, owner, api);
            outcome = launch_declined(started) ? "declined" : started.get() == substitute.process ? "process" : "other";
            live = WaitForSingleObject(started.get(), 0) == WAIT_TIMEOUT;
        } catch (const std::exception& failure) {
            outcome = failure.what();
        }
        require(substitute.broken.empty(), substitute.broken);
        check.that(c.outcome.starts_with("Windows") ? outcome.starts_with(c.outcome) : outcome == c.outcome);
        check.that(substitute.creates == 1 && substitute.shells == c.shells);
        check.that(!is_open(substitute.thread));  // closed at once, or never made
        check.that(outcome == "process" ? live : !is_open(substitute.process));  // nothing leaked
    }
    return check.count();
}

}  // namespace qorn
