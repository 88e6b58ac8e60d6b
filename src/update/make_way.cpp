#include "update/make_way.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "core/tree_removal.hpp"
#include "release/client_path.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qorn {
namespace {

// Every folder on the way to each entry, by case key, with the spelling of the
// first entry that named it; views of the release's texts, which outlive them.
using Folders = std::unordered_map<std::wstring_view, std::string_view>;

void add_folders_of(Folders& folders, std::string_view path, std::wstring_view key) {
    size_t text_slash = path.find('/');
    size_t key_slash = key.find(L'/');
    // Case keys keep every "/" where it was, so both walks meet the same folders.
    while (text_slash != std::string::npos && key_slash != std::wstring::npos) {
        folders.emplace(key.substr(0, key_slash), path.substr(0, text_slash));
        text_slash = path.find('/', text_slash + 1);
        key_slash = key.find(L'/', key_slash + 1);
    }
}

// `directory_keys` holds the case keys of the release's directories, which the views point into.
Folders folders_of(const Manifest& release, std::vector<std::wstring>& directory_keys) {
    Folders folders;
    for (const ClientFile& file : release.files) add_folders_of(folders, file.path, file.key);
    directory_keys.reserve(release.directories.size());
    for (const std::string& directory : release.directories) {
        const std::wstring& key = directory_keys.emplace_back(case_key(to_wide(directory)));
        folders.emplace(key, directory);
        add_folders_of(folders, directory, key);
    }
    return folders;
}

// The first file below a folder that the transaction does not remove (links refused).
std::optional<std::string> foreign_file(const std::filesystem::path& folder, const std::string& client_folder,
                                        const RemovedKeys& removed) {
    WIN32_FIND_DATAW entry{};
    UniqueFind listing(FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                        nullptr, 0));
    if (!listing) return std::nullopt;
    do {
        const std::wstring_view name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::filesystem::path child = folder / entry.cFileName;
        require((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
                "Không chấp nhận liên kết thư mục/file: " + path_text(child));
        const std::string client_child = client_folder + "/" + to_utf8(name);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (std::optional<std::string> found = foreign_file(child, client_child, removed)) return found;
        } else if (removed.count(case_key(to_wide(client_child))) == 0) {
            return client_child;
        }
    } while (FindNextFileW(listing.get(), &entry));
    return std::nullopt;
}

}  // namespace

bool Way::require_for(const ClientFile& file, const FileInfo& found) {
    size_t slash = file.path.find('/');
    size_t key_slash = file.key.find(L'/');
    for (; slash != std::string::npos; slash = file.path.find('/', slash + 1), key_slash = file.key.find(L'/', key_slash + 1)) {
        std::wstring key = file.key.substr(0, key_slash);
        if (!folders_judged_.insert(key).second) continue;
        const std::string folder = file.path.substr(0, slash);
        const FileInfo info = file_info(client_path(state_.root(), folder, false));
        require(!info.exists || info.is_directory || removed_.count(key) != 0,
                "Không thể tạo thư mục " + folder + " cho " + file.path +
                    ": ở đó đang có một file không thuộc bản cài đặt.");
    }
    if (!found.is_directory) return false;
    const std::filesystem::path target = client_path(state_.root(), file.path, false);
    const std::optional<std::string> foreign = foreign_file(target, file.path, removed_);
    require(!foreign, "Không thể thay thư mục bằng file: " + file.path + " (thư mục còn chứa " +
                          foreign.value_or("") + ", không thuộc bản cài đặt).");
    return true;
}

void remove_emptied_folders(const State& state, const Manifest& installed, const Manifest& release) noexcept {
    try {
        std::vector<std::wstring> kept_keys;
        std::vector<std::wstring> installed_keys;
        const Folders kept = folders_of(release, kept_keys);
        std::multimap<size_t, std::string, std::greater<>> stale;  // deepest first
        for (const auto& [key, path] : folders_of(installed, installed_keys)) {
            if (kept.count(key) == 0) stale.emplace(std::count(key.begin(), key.end(), L'/'), std::string(path));
        }
        for (const auto& [depth, path] : stale) {
            try {
                remove_empty_folder(client_path(state.root(), path, false));
            } catch (const std::exception&) {
                // A link on the way: such a folder is not ours to remove.
            }
        }
    } catch (...) {
        // Empty folders cost nothing; the update has been committed already.
    }
}

}  // namespace qorn
