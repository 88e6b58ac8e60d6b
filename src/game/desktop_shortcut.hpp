// The desktop shortcut QORN.lnk to Updater.exe: made once, atomically, and never
// touched again, whatever a file of that name holds (the player may have made or
// changed it). Nothing about it can stop the launcher: a failure goes only to the
// debugger output. Runs on the start-up thread before the window exists.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>

namespace qorn {

// The system calls a refresh makes, so that tests can give it a desktop of their
// own and read what it reports.
struct ShortcutCalls {
    decltype(&::SHGetKnownFolderPath) known_folder;
    decltype(&::OutputDebugStringA) debug_output;
    decltype(&::OutputDebugStringW) debug_output_wide;
};
const ShortcutCalls& system_shortcut_calls();

// Makes the Desktop's QORN.lnk point to Updater.exe in the launcher's folder when
// the Desktop has no QORN.lnk. Never throws.
void refresh_desktop_shortcut(const ShortcutCalls& calls = system_shortcut_calls()) noexcept;

// True when it made folder\QORN.lnk to `target`; false when something of that name
// already stood there (or appeared meanwhile). Throws English texts otherwise.
bool ensure_desktop_shortcut(const std::filesystem::path& folder, const std::filesystem::path& target);

}  // namespace qorn
