#include "core/tree_removal.hpp"

#include "core/files.hpp"
#include "core/folder_listing.hpp"
#include "core/text.hpp"

namespace qorn {
namespace {

void refuse_link_attribute(DWORD attributes, const std::filesystem::path& path) {
    require((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
            "Không chấp nhận liên kết thư mục/file: " + path_text(path));
}

void delete_listed_file(const std::filesystem::path& path, DWORD listed_attributes) {
    if (DeleteFileW(path.c_str())) return;
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED && (listed_attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        SetFileAttributesW(path.c_str(), listed_attributes & ~FILE_ATTRIBUTE_READONLY)) {
        if (DeleteFileW(path.c_str())) return;
        code = GetLastError();
    }
    if (!is_absent_error(code)) throw_windows_error("Không xóa được file", code);
}

// Opens a folder itself (never a link's target) without delete sharing: while the
// handle lives nobody can move it or put a link in its place. With delete access
// the handle can delete it; without, others may still list it.
UniqueHandle pin_folder(const std::filesystem::path& path, DWORD access) {
    UniqueHandle folder(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        const DWORD code = GetLastError();
        throw_windows_error("Không mở được thư mục " + path_text(path), code);
    }
    // Judged once pinned, by handle (Windows) and by path (Wine answers only that).
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(folder.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        refuse_link_attribute(tag.FileAttributes, path);
    }
    refuse_link(path);
    require(file_info(path).is_directory, "Cần thư mục nhưng hiện là file: " + path_text(path));
    return folder;
}

// The system refuses this while the folder holds anything.
void delete_on_close(HANDLE handle, const std::filesystem::path& path) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không xóa được thư mục " + path_text(path), code);
    }
}

}  // namespace

TreeRemoval::TreeRemoval(const std::filesystem::path& folder, bool files_too,
                         const std::function<void(const std::filesystem::path&)>& seen) {
    walk(folder, files_too, seen);
}

void TreeRemoval::walk(const std::filesystem::path& path, bool files_too,
                       const std::function<void(const std::filesystem::path&)>& seen) {
    folders_.push_back({path, pin_folder(path, FILE_LIST_DIRECTORY | DELETE), {}});
    std::vector<std::pair<std::wstring, DWORD>> entries;
    list_folder(folders_.back().handle.get(), path, {}, [&](const ListedEntry& entry) {
        entries.emplace_back(entry.name, entry.attributes);
    });
    const size_t at = folders_.size() - 1;  // the vector grows while the folders below are walked
    for (auto& [name, attributes] : entries) {
        const std::filesystem::path child = path / name;
        refuse_link_attribute(attributes, child);
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        require(folder || files_too, "Cần thư mục trống nhưng có file: " + path_text(child));
        if (seen) seen(child);
        if (folder) {
            walk(child, files_too, seen);
        } else {
            folders_[at].files.emplace_back(std::move(name), attributes);
        }
    }
}

void TreeRemoval::remove() {
    while (!folders_.empty()) {
        Folder& folder = folders_.back();
        for (const auto& [name, attributes] : folder.files) delete_listed_file(folder.path / name, attributes);
        delete_on_close(folder.handle.get(), folder.path);
        folders_.pop_back();  // closing the handle deletes the folder
    }
}

void remove_tree(const std::filesystem::path& folder) {
    const FileInfo info = file_info(folder);
    if (!info.exists) return;
    if (!info.is_directory) return delete_file(folder);
    TreeRemoval(folder, true).remove();
}

void remove_folders(const std::filesystem::path& folder) {
    if (!file_info(folder).exists) return;
    TreeRemoval(folder, false).remove();
}

bool remove_empty_folder(const std::filesystem::path& folder) noexcept {
    try {
        const UniqueHandle pinned = pin_folder(folder, DELETE);
        delete_on_close(pinned.get(), folder);  // refused for a folder that is not empty
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace qorn
