#include "game/desktop_shortcut.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qorn {
namespace {

size_t entries_in(const std::filesystem::path& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

// Making the shortcut and leaving anything of its name alone is a suite of --self-test.

std::string debugger_text;
void WINAPI capture(LPCSTR text) { debugger_text += text; }
void WINAPI capture_wide(LPCWSTR) { debugger_text += "(wide)"; }

// The Desktop a refresh is given: the test's own, in the task memory a refresh frees.
std::filesystem::path test_desktop;
HRESULT WINAPI fake_known_folder(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
    const std::wstring text = test_desktop.wstring();
    *path = static_cast<PWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    std::copy(text.c_str(), text.c_str() + text.size() + 1, *path);
    return S_OK;
}

TEST(DesktopShortcut, ARefreshOnlyReportsToTheDebugger) {
    // The test program's folder has no Updater.exe: nothing is made, the reason is told.
    const test::TempFolder temporary;
    test_desktop = temporary.path();
    const ShortcutCalls calls{&fake_known_folder, &capture, &capture_wide};
    debugger_text.clear();
    refresh_desktop_shortcut(calls);
    EXPECT_EQ(debugger_text, "QORN Desktop shortcut: Cannot find shortcut target Updater.exe.\n");
    EXPECT_EQ(entries_in(temporary.path()), 0u);
}

}  // namespace
}  // namespace qorn
