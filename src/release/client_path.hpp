// Client paths: the relative "/"-separated UTF-8 paths that releases, packages and
// records name. One strict rule decides which are safe; case keys decide which
// collide on Windows. Stateless; safe on any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qorn {

// The one key for every case-insensitive comparison of names (same length as the input).
std::wstring case_key(std::wstring_view text);

// Throws the message of the first broken rule. Launcher names (".qorn-launcher",
// "Updater.exe", "QornUpdateTool.exe" as the first segment) are allowed only for
// the launcher's own files.
void require_client_path(std::string_view path, bool allow_launcher_names);

// The entry's location under the root, with no link on the root, above it, or on the way.
std::filesystem::path client_path(const std::filesystem::path& root, std::string_view path,
                                  bool allow_launcher_names);

}  // namespace qorn
