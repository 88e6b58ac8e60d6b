#include "game/desktop_shortcut.hpp"

#include "core/com.hpp"
#include "core/files.hpp"
#include "core/launcher_folder.hpp"
#include "core/text.hpp"

#include <shobjidl.h>

#include <stdexcept>
#include <string>

namespace qorn {
namespace {

constexpr HRESULT other_apartment_mode = static_cast<HRESULT>(0x80010106);
constexpr wchar_t shortcut_name[] = L"QORN.lnk";

// "context (HRESULT n)", n the unsigned result code.
void require_com(HRESULT result, const char* context) {
    if (FAILED(result)) {
        throw std::runtime_error(std::string(context) + " (HRESULT " +
                                 std::to_string(static_cast<unsigned long>(result)) + ")");
    }
}

// The properties of the link, in their fixed order.
ComPtr<IShellLinkW> make_link(const std::filesystem::path& target) {
    ComPtr<IShellLinkW> link;
    require_com(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(link.put())),
                "Cannot create QORN shell link");
    require_com(link.get()->SetPath(target.c_str()), "Cannot set shortcut target");
    require_com(link.get()->SetWorkingDirectory(target.parent_path().c_str()), "Cannot set shortcut working directory");
    require_com(link.get()->SetIconLocation(target.c_str(), 0), "Cannot set shortcut icon");
    require_com(link.get()->SetDescription(L"QORN.TV - Launcher PC"), "Cannot set shortcut description");
    require_com(link.get()->SetShowCmd(SW_SHOWNORMAL), "Cannot set shortcut window mode");
    return link;
}

std::filesystem::path temporary_name(const std::filesystem::path& folder) {
    GUID guid{};
    require_com(CoCreateGuid(&guid), "Cannot create shortcut temporary name");
    wchar_t text[40];
    require(StringFromGUID2(guid, text, 40) != 0, "Cannot format shortcut temporary name.");
    return folder / (L".QORN-" + std::wstring(text) + L".lnk");
}

// Saves the link aside and moves it into place without replacing anything: false
// when the name was taken meanwhile. The temporary file never outlives the call.
bool install(IPersistFile& file, const std::filesystem::path& temporary, const std::filesystem::path& shortcut) {
    try {
        require_com(file.Save(temporary.c_str(), TRUE), "Cannot save QORN shortcut");
        if (MoveFileExW(temporary.c_str(), shortcut.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
            throw_windows_error("Cannot install QORN shortcut", code);
        }
    } catch (...) {
        DeleteFileW(temporary.c_str());
        throw;
    }
    DeleteFileW(temporary.c_str());
    return false;
}

}  // namespace

const ShortcutCalls& system_shortcut_calls() {
    static constexpr ShortcutCalls calls{&::SHGetKnownFolderPath, &::OutputDebugStringA, &::OutputDebugStringW};
    return calls;
}

bool ensure_desktop_shortcut(const std::filesystem::path& folder, const std::filesystem::path& target) {
    const std::filesystem::path shortcut = folder / shortcut_name;
    if (GetFileAttributesW(shortcut.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        throw_windows_error("Cannot check QORN shortcut", code);
    }
    const std::filesystem::path absolute_target = std::filesystem::absolute(target);
    require(file_info(absolute_target).exists, "Cannot find shortcut target Updater.exe.");
    HRESULT com_result = S_OK;
    const ComInitialisation com = initialise_com(COINIT_APARTMENTTHREADED, com_result);
    if (com_result != other_apartment_mode) require_com(com_result, "Cannot initialize shortcut COM");
    const ComPtr<IShellLinkW> link = make_link(absolute_target);
    ComPtr<IPersistFile> file;
    require_com(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put())),
                "Cannot persist QORN shell link");
    if (!install(*file.get(), temporary_name(folder), shortcut)) return false;
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW | SHCNF_FLUSH | SHCNF_FLUSHNOWAIT, shortcut.c_str(), nullptr);
    return true;
}

void refresh_desktop_shortcut(const ShortcutCalls& calls) noexcept {
    try {
        PWSTR desktop = nullptr;
        const HRESULT found = calls.known_folder(FOLDERID_Desktop, 0, nullptr, &desktop);
        const UniqueTaskMemory owned(desktop);
        require_com(found, "Cannot locate Desktop");
        ensure_desktop_shortcut(desktop, launcher_folder() / L"Updater.exe");
    } catch (const std::exception& failure) {
        calls.debug_output("QORN Desktop shortcut: ");
        calls.debug_output(failure.what());
        calls.debug_output("\n");
    } catch (...) {
        calls.debug_output_wide(L"QORN Desktop shortcut could not be created.\n");
    }
}

}  // namespace qorn
