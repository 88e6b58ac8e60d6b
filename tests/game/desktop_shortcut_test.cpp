#include "game/desktop_shortcut.hpp"
#include "core/com.hpp"
#include "core/files.hpp"
#include "core/keys.hpp"
#include "support/sandbox.hpp"

#include <shobjidl.h>

#include <gtest/gtest.h>

#include <string>

namespace qorn {
namespace {

// Target, working folder, icon and show command read back through the shell, upper case.
std::wstring read_link(const std::filesystem::path& path) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {}, icon[MAX_PATH] = {};
    int index = -1, show = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(link.put()))) &&
        SUCCEEDED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) &&
        SUCCEEDED(file.get()->Load(path.c_str(), STGM_READ))) {
        link.get()->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        link.get()->GetWorkingDirectory(folder, MAX_PATH);
        link.get()->GetIconLocation(icon, MAX_PATH, &index);
        link.get()->GetShowCmd(&show);
    }
    return case_key(std::wstring(target) + L"|" + folder + L"|" + icon + L"," + std::to_wstring(index) + L"|" +
                    std::to_wstring(show));
}

// Wine keeps a link's target only in the ANSI code page (the other fields in full):
// "dấu" comes back as "d?u" there, while Windows keeps every letter.
std::wstring stored_target(const std::filesystem::path& target) {
    if (!running_under_wine()) return case_key(target.wstring());
    const std::wstring wide = target.wstring();
    std::string ansi(wide.size() * 2, '\0');
    ansi.resize(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), ansi.data(),
                                    static_cast<int>(ansi.size()), nullptr, nullptr));
    std::wstring back(ansi.size(), L'\0');
    back.resize(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), static_cast<int>(ansi.size()), back.data(),
                                    static_cast<int>(back.size())));
    return case_key(back);
}

size_t entries_in(const std::filesystem::path& folder) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
}

TEST(DesktopShortcut, MadeOnceAtomicallyAndNothingOfThatNameIsEverTouched) {
    HRESULT result = S_OK;
    const ComInitialisation com = initialise_com(COINIT_APARTMENTTHREADED, result);
    const test::TempFolder temporary;
    const std::filesystem::path desktop = temporary / L"Desktop thử nghiệm";
    const std::filesystem::path target = temporary / L"Game QORN có dấu" / L"Updater.exe";
    const std::filesystem::path shortcut = desktop / L"QORN.lnk";
    std::filesystem::create_directories(desktop);
    test::write_bytes(target, "shortcut test target");

    EXPECT_TRUE(ensure_desktop_shortcut(desktop, target));
    EXPECT_EQ(read_link(shortcut), stored_target(target) + L"|" + case_key(target.parent_path().wstring()) + L"|" +
                                       case_key(target.wstring()) + L",0|1");

    // Another launcher's call, the player's own file, a folder of that name: all left alone.
    const std::string bytes = test::read_bytes(shortcut);
    const std::filesystem::path other = temporary / L"Other client" / L"Updater.exe";
    test::write_bytes(other, "another launcher");
    EXPECT_FALSE(ensure_desktop_shortcut(desktop, other));
    EXPECT_EQ(test::read_bytes(shortcut), bytes);
    delete_file(shortcut);
    write_file_atomic(shortcut, "existing shortcut owned by user");
    EXPECT_FALSE(ensure_desktop_shortcut(desktop, target));
    EXPECT_EQ(test::read_bytes(shortcut), "existing shortcut owned by user");
    delete_file(shortcut);
    std::filesystem::create_directories(shortcut);
    EXPECT_FALSE(ensure_desktop_shortcut(desktop, target));
    EXPECT_EQ(entries_in(desktop), 1u);  // no temporary file left
}

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
