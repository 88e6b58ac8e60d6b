// Text conversion between UTF-8 and UTF-16, and the one failure style: runtime
// errors with UTF-8 Vietnamese messages, Windows failures worded with the system text.
// Free functions without shared state; safe on any thread.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace qorn {

// Both fail on invalid input instead of replacing characters.
std::string to_utf8(std::wstring_view text);
std::wstring to_wide(std::string_view text);

// The guard for every validation with a fixed message.
void require(bool condition, const std::string& message);

// "context: <system text>" (the system text keeps its trailing CR LF), or
// "context: Windows error <code>" when the system has no text for the code.
std::string windows_error_message(std::string_view context, DWORD code);
[[noreturn]] void throw_windows_error(std::string_view context, DWORD code);

// How messages name files: the last path component, or the whole path.
std::string file_name_text(const std::filesystem::path& path);
std::string path_text(const std::filesystem::path& path);

}  // namespace qorn
