#include "selfcheck/self_test.hpp"

#include "core/com.hpp"
#include "core/files.hpp"
#include "core/keys.hpp"
#include "game/desktop_shortcut.hpp"
#include "selfcheck/checker.hpp"

#include <windows.h>
#include <shobjidl.h>

#include <iterator>

namespace qorn {
namespace {

// Target, working folder, icon and show command as the shell reads them back, upper case.
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
    const std::wstring wide = target.wstring();
    if (!running_under_wine()) return case_key(wide);
    std::string ansi(wide.size() * 2, '\0');
    ansi.resize(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), ansi.data(),
                                    static_cast<int>(ansi.size()), nullptr, nullptr));
    std::wstring back(ansi.size(), L'\0');
    back.resize(MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), static_cast<int>(ansi.size()), back.data(),
                                    static_cast<int>(back.size())));
    return case_key(back);
}

std::uint32_t check_shortcut(const std::filesystem::path& folder) {
    Checker check("Desktop shortcut assertion ");
    const std::filesystem::path desktop = folder / L"Desktop thử nghiệm";
    const std::filesystem::path target = folder / L"Game QORN có dấu" / L"Updater.exe";
    const std::filesystem::path other = folder / L"Other client" / L"Updater.exe";
    const std::filesystem::path shortcut = desktop / L"QORN.lnk";
    for (const auto& made : {desktop, target.parent_path(), other.parent_path()}) std::filesystem::create_directories(made);
    write_file_atomic(target, "shortcut test target", folder);
    write_file_atomic(other, "another launcher", folder);

    check.that(ensure_desktop_shortcut(desktop, target));
    check.that(!file_info(shortcut).is_directory);
    check.that(read_link(shortcut) == stored_target(target) + L"|" + case_key(target.parent_path().wstring()) +
                                          L"|" + case_key(target.wstring()) + L",0|1");
    // Another launcher's call, the player's own file, a folder of that name: all left alone.
    const std::string made = read_file_limited(shortcut, 1048576);
    check.that(!ensure_desktop_shortcut(desktop, other));
    check.that(read_file_limited(shortcut, 1048576) == made);
    delete_file(shortcut);
    check.that(ensure_desktop_shortcut(desktop, target));
    delete_file(shortcut);
    write_file_atomic(shortcut, "existing shortcut owned by user", folder);
    check.that(!ensure_desktop_shortcut(desktop, target));
    check.that(read_file_limited(shortcut, 1048576) == "existing shortcut owned by user");
    delete_file(shortcut);
    std::filesystem::create_directories(shortcut);
    check.that(!ensure_desktop_shortcut(desktop, target));
    check.that(std::distance(std::filesystem::directory_iterator(desktop), {}) == 1);  // no temporary file left
    return check.count();
}

}  // namespace

std::uint32_t shortcut_self_test() {
    return in_scratch_folder(L"qorn-shortcut-", "Shortcut self-test folder already exists.",
                             [](const std::filesystem::path& folder) {
                                 HRESULT result = S_OK;
                                 const ComInitialisation com = initialise_com(COINIT_APARTMENTTHREADED, result);
                                 require(SUCCEEDED(result) || result == RPC_E_CHANGED_MODE,
                                         "Cannot initialize shortcut self-test COM.");
                                 return check_shortcut(folder);
                             });
}

}  // namespace qorn
