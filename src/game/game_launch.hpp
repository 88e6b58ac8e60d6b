// Starting the game: an ordinary start of Main.exe from the client folder, and
// only when Windows answers that it needs elevation, the shell's "runas" prompt.
// Process creation is reached only through a GameLaunchApi table, so the whole
// contract can be checked without starting anything. Runs on the window's thread.
#pragma once

#include "core/unique_handle.hpp"

#include <windows.h>
#include <shellapi.h>

#include <filesystem>

namespace qorn {

struct GameLaunchApi {
    decltype(&::CreateProcessW) create_process;
    decltype(&::ShellExecuteExW) shell_execute;
};
const GameLaunchApi& system_game_launch_api();

// The player declined the elevation prompt: nothing was started, nothing failed.
inline bool launch_declined(const UniqueHandle& game) noexcept { return game.get() == INVALID_HANDLE_VALUE; }

// The started game's process, or the declined marker. Throws the launch's Vietnamese messages.
UniqueHandle start_game_process(const std::filesystem::path& game, const std::filesystem::path& working_folder,
                                HWND owner, const GameLaunchApi& api);

// Main.exe of the client folder with the settings saved first (a failed save starts nothing).
UniqueHandle launch_game(const std::filesystem::path& client_folder, bool window_mode, bool sound, HWND owner);

}  // namespace qorn
