// Removes a folder tree in two passes, never following a link: the walk pins every
// folder (open without delete sharing, so none can be moved or swapped for a link)
// and lists it once; the removal then deletes what was listed, through those handles.
// One thread uses a removal; it holds a handle per folder until it is removed or dropped.
#pragma once

#include "core/unique_handle.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qorn {

class TreeRemoval {
public:
    // Walks the folder: each entry is refused when it is a link and otherwise handed
    // to `seen` in walk order, a folder before what it holds. With files_too false,
    // the first file fails with "Cần thư mục trống nhưng có file: " and its path.
    TreeRemoval(const std::filesystem::path& folder, bool files_too,
                const std::function<void(const std::filesystem::path&)>& seen = {});
    // Deletes the listed files and then each folder, the deepest first; a folder that
    // gained an entry since the walk is not deleted, and fails the removal.
    void remove();

private:
    struct Folder {
        std::filesystem::path path;
        UniqueHandle handle;
        std::vector<std::pair<std::wstring, DWORD>> files;  // name, listed attributes
    };
    void walk(const std::filesystem::path& path, bool files_too,
              const std::function<void(const std::filesystem::path&)>& seen);

    std::vector<Folder> folders_;  // in walk order: every folder after the one holding it
};

// A walk and its removal at once. A missing folder is no failure; a file is deleted.
void remove_tree(const std::filesystem::path& folder);
// The same for a tree that may hold only folders: a file stops it before anything is deleted.
void remove_folders(const std::filesystem::path& folder);
// Removes the folder when it is empty and no link; answers whether it did.
// Anything else (absent, not empty, a link, in use) leaves it and answers false.
bool remove_empty_folder(const std::filesystem::path& folder) noexcept;

}  // namespace qorn
