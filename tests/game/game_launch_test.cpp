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

// The start's contract against substitute process calls is a suite of --self-test.

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
