// Comparison keys: the one case-insensitive key of names and paths, and the
// comparison form of a folder path. Stateless; safe on any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qorn {

// The one key for every case-insensitive comparison of names: the invariant
// upper-case mapping, same length as the input.
std::wstring case_key(std::wstring_view text);

// The comparison form of a folder path: absolute, normalised, without a long-path
// prefix or trailing separators, upper case. Equal keys mean the same folder.
std::wstring path_key(const std::filesystem::path& folder);

}  // namespace qorn
