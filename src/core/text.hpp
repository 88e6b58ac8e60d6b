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

// "context: <Windows text>" (the text as Windows gives it, with its trailing CR LF),
// or "context: Windows error <code>" when Windows has no text for the code. WinHTTP's
// codes are worded from winhttp.dll's own table, the others from the system's.
std::string windows_error_message(std::string_view context, DWORD code);
// The same, asking the message table of `messages` before the system's (null: the system's only).
std::string windows_error_message(std::string_view context, DWORD code, HMODULE messages);
[[noreturn]] void throw_windows_error(std::string_view context, DWORD code);

// How messages name files: the last path component, or the whole path.
std::string file_name_text(const std::filesystem::path& path);
std::string path_text(const std::filesystem::path& path);

}  // namespace qorn
