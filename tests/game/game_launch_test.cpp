#include "game/game_launch.hpp"
#include "core/text.hpp"
#include "game/game_settings.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qorn {
namespace {

using test::failure_of;

const std::wstring game = L"C:\\QORN thử nghiệm\\Client x64\\Main.exe";
const std::wstring folder = L"C:\\QORN thử nghiệm\\Client x64";
const HWND owner = reinterpret_cast<HWND>(0x1234);

// What the fake calls answer, and every argument they received.
struct Fake {
    DWORD direct_error = 0;  // 0: the direct start succeeds
    DWORD shell_error = 0;   // 0: the elevated start succeeds
    bool shell_handle = true;
    int creates = 0, shells = 0;
    std::vector<std::string> wrong;  // arguments that broke the contract
    HANDLE process = nullptr, thread = nullptr;
} fake;

void expect(bool holds, const char* what) {
    if (!holds) fake.wrong.push_back(what);
}

BOOL WINAPI fake_create(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES process_security,
                        LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags, LPVOID environment,
                        LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION started) {
    ++fake.creates;
    expect(application == game && directory == folder, "unicode path or working folder");
    expect(command == L"\"" + game + L"\"", "quoting");
    expect(!process_security && !thread_security && !inherit && flags == 0 && !environment, "process options");
    expect(startup != nullptr && startup->cb == 104, "startup structure");
    if (fake.direct_error != 0) {
        SetLastError(fake.direct_error);
        return FALSE;
    }
    started->hProcess = fake.process = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    started->hThread = fake.thread = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return TRUE;
}

BOOL WINAPI fake_shell(SHELLEXECUTEINFOW* request) {
    ++fake.shells;
    expect(request->cbSize == 112 && request->hwnd == owner, "owner window or structure size");
    expect(request->lpFile == game && std::wstring(request->lpVerb) == L"runas", "runas on the exact Main.exe");
    expect(request->lpDirectory == folder && request->lpParameters == nullptr, "working folder or arguments");
    expect(request->fMask == 0x540 && request->nShow == 1, "process handle and normal show");
    // A failed call may still fill in a handle, which must not leak.
    request->hProcess = fake.process = fake.shell_handle ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
    SetLastError(fake.shell_error);
    return fake.shell_error == 0;
}

bool is_open(HANDLE handle) {
    DWORD flags = 0;
    return handle != nullptr && GetHandleInformation(handle, &flags) != FALSE;
}

TEST(GameLaunch, TheContractOfBothStartsAndEveryOutcome) {
    const GameLaunchApi api{&fake_create, &fake_shell};
    const std::string direct = "Không mở được Main.exe", elevated = "Không mở được Main.exe với quyền quản trị";
    const struct {
        DWORD direct_error, shell_error;
        bool shell_handle;
        std::string outcome;
        int shells;
    } cases[] = {
        {0, 0, true, "process", 0},
        {740, 0, true, "process", 1},
        {740, ERROR_CANCELLED, true, "declined", 1},
        {740, 0, false, "Windows không trả về tiến trình Main.exe. Hãy thử Vào Game lại.", 1},
        {5, 0, true, windows_error_message(direct, 5), 0},
        {2, 0, true, windows_error_message(direct, 2), 0},
        {193, 0, true, windows_error_message(direct, 193), 0},
        {32, 0, true, windows_error_message(direct, 32), 0},
        {740, 5, true, windows_error_message(elevated, 5), 1},
    };
    for (const auto& c : cases) {
        fake = Fake{};
        fake.direct_error = c.direct_error;
        fake.shell_error = c.shell_error;
        fake.shell_handle = c.shell_handle;
        std::string outcome;
        try {
            const UniqueHandle started = start_game_process(game, folder, owner, api);
            outcome = launch_declined(started) ? "declined" : started.get() == fake.process ? "process" : "other";
            if (outcome == "process") {
                EXPECT_TRUE(is_open(fake.process)) << c.direct_error;
            }
        } catch (const std::exception& failure) {
            outcome = failure.what();
        }
        EXPECT_EQ(outcome, c.outcome) << c.direct_error << " " << c.shell_error;
        EXPECT_EQ(fake.creates, 1);
        EXPECT_EQ(fake.shells, c.shells);
        EXPECT_EQ(fake.wrong, std::vector<std::string>()) << c.direct_error;
        EXPECT_FALSE(is_open(fake.thread));  // closed at once, or never made
        if (outcome != "process") {
            EXPECT_FALSE(is_open(fake.process)) << "leaked by " << c.outcome;
        }
    }
}

// The game's settings key of the test prefix, put back as it was found (values
// that are not DWORDs are not kept; nothing else writes this key here).
class SettingsScope {
public:
    SettingsScope() {
        for (const wchar_t* name : names) kept.push_back(get(name));
        RegDeleteTreeW(HKEY_CURRENT_USER, key);
    }
    ~SettingsScope() {
        RegDeleteTreeW(HKEY_CURRENT_USER, key);
        for (size_t i = 0; i < kept.size(); ++i) {
            if (kept[i] != missing) set(names[i], kept[i]);
        }
    }
    static void set(const wchar_t* name, DWORD value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_DWORD, &value, sizeof value);
    }
    static DWORD get(const wchar_t* name) {
        DWORD value = missing, size = sizeof value;
        RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
        return value;
    }

    static constexpr DWORD missing = 0xDEADBEEF;
    static constexpr const wchar_t* key = L"SOFTWARE\\Webzen\\Mu2\\Config";
    static constexpr const wchar_t* names[] = {L"WindowMode", L"SoundOnOff", L"MusicOnOff"};
    std::vector<DWORD> kept;
};

TEST(GameSettings, DefaultsTheSoundRuleAndWhatIsWritten) {
    const SettingsScope scope;
    EXPECT_TRUE(load_window_mode() && load_sound());  // no key at all
    SettingsScope::set(L"SoundOnOff", 0);
    EXPECT_FALSE(load_sound());
    SettingsScope::set(L"MusicOnOff", 1);
    EXPECT_TRUE(load_sound());
    RegSetKeyValueW(HKEY_CURRENT_USER, SettingsScope::key, L"WindowMode", REG_SZ, L"0", 4);
    EXPECT_TRUE(load_window_mode());  // not a DWORD: the default
    save_sound(false);
    save_window_mode(false);
    EXPECT_EQ(SettingsScope::get(L"SoundOnOff") + SettingsScope::get(L"MusicOnOff") + SettingsScope::get(L"WindowMode"), 0u);
    save_sound(true);
    EXPECT_EQ(SettingsScope::get(L"SoundOnOff") + SettingsScope::get(L"MusicOnOff"), 2u);
}

TEST(GameLaunch, TheRealGameStartsInItsFolderWithoutArguments) {
    const SettingsScope scope;
    const test::TempFolder temporary;
    const std::filesystem::path client = temporary / L"QORN thử nghiệm" / L"Client x64";
    EXPECT_EQ(failure_of([&] { launch_game(client, true, true, nullptr); }), "Chưa có Main.exe. Hãy bấm Kiểm tra lại.");
    test::write_bytes(client / L"Main.exe", test::read_bytes(QORN_FAKE_GAME_EXE));
    const UniqueHandle started = launch_game(client, false, true, nullptr);
    ASSERT_FALSE(launch_declined(started));
    ASSERT_EQ(WaitForSingleObject(started.get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(test::read_bytes(client / L"launched.txt"),
              to_utf8(L"\"" + (client / L"Main.exe").wstring() + L"\"\n" + client.wstring() + L"\n"));
    EXPECT_EQ(SettingsScope::get(L"WindowMode"), 0u);  // saved before the start
}

}  // namespace
}  // namespace qorn
