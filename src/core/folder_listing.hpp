// Lists a folder through a handle the caller holds open, so the entries are exactly
// those of the folder that was opened, whatever has since happened to its path.
// Stateless; different handles may be listed on different threads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace qorn {

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
    std::uint64_t size = 0;
    std::uint64_t modified_ticks = 0;  // as FileInfo counts them
};

// Every entry of the folder open as `folder` (with FILE_LIST_DIRECTORY) but "." and
// "..", or those that `mask` matches (its '?' stands for exactly one unit; letters
// match either case). Windows keeps the first mask a handle was listed with, so a
// handle is listed once. `path` only names the folder in a failure.
void list_folder(HANDLE folder, const std::filesystem::path& path, const std::wstring& mask,
                 const std::function<void(const ListedEntry&)>& visit);

}  // namespace qorn
