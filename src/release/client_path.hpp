// Client paths: the relative "/"-separated UTF-8 paths that releases, packages and
// records name. One strict rule decides which are safe; case keys decide which
// collide on Windows. Stateless; safe on any thread.
#pragma once

#include "core/keys.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace qorn {

// The game's executable at the top of the client folder, as a client path.
inline constexpr std::string_view game_executable = "Main.exe";
// Its case key, which a release's file list must hold.
const std::wstring& game_executable_key();

// Throws the message of the first broken rule. Launcher names (".qorn-launcher",
// "Updater.exe", "QornUpdateTool.exe" as the first segment) are allowed only for
// the launcher's own files.
void require_client_path(std::string_view path, bool allow_launcher_names);

// The entry's location under the root, with no link on the root, above it, or on the way.
std::filesystem::path client_path(const std::filesystem::path& root, std::string_view path,
                                  bool allow_launcher_names);

}  // namespace qorn
