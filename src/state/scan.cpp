#include "state/scan.hpp"

#include "core/files.hpp"
#include "core/folder_listing.hpp"
#include "core/parallel.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "state/records.hpp"

#include <mutex>
#include <optional>

namespace qorn {
namespace {


constexpr std::uint64_t walk_report_interval = 256;

// The release's view of the folder: one node per path segment, by case key.
struct Node {
    bool file = false;
    bool folder = false;
    std::map<std::wstring, Node> children;
};

void add_path(Node& root, const std::wstring& key, bool as_file) {
    Node* node = &root;
    size_t start = 0;
    for (;;) {
        const size_t slash = key.find(L'/', start);
        node = &node->children[key.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start)];
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    (as_file ? node->file : node->folder) = true;
}

Node expected_tree(const std::vector<ClientFile>& files, const std::vector<std::string>* directories,
                   const Cancel& cancel) {
    Node expected;
    for (const ClientFile& file : files) {
        cancel.check();
        require_client_path(file.path, false);
        add_path(expected, file.key, true);
    }
    if (directories != nullptr) {
        for (const std::string& directory : *directories) add_path(expected, case_key(to_wide(directory)), false);
    }
    return expected;
}

// A folder with one wanted entry is listed through a pattern that only its case
// variants can match: under Wine a listing costs a file-status call for every entry
// it returns, and most folders an update touches hold one changed file among a
// hundred. Only ASCII letters are left to the listing's own case-insensitive match;
// every other unit, and the last one, matches any unit, so the pattern returns the
// same entries or more, never fewer (each is then judged by its case key).
std::wstring listing_pattern(const std::wstring& key) {
    std::wstring pattern = key;
    for (wchar_t& c : pattern) {
        if (c >= 0x80) c = L'?';
    }
    pattern.back() = L'?';
    return pattern;
}

class Walk {
public:
    Walk(Inventory& inventory, const Cancel& cancel, const Reporter& report, Stage stage)
        : inventory_(inventory), cancel_(cancel), report_(report), stage_(stage) {}

    void walk(const std::filesystem::path& path, const std::wstring& key, const Node& node) {
        cancel_.check();
        if (node.children.empty()) return;
        const HANDLE folder = open_folder(path);
        if (folder == nullptr) return;
        ++inventory_.folders_read;
        report_.bytes(stage_, L"Đọc thông tin thư mục client…", key, {.files_done = inventory_.files_seen});
        const std::wstring mask = node.children.size() == 1 ? listing_pattern(node.children.begin()->first) : L"";
        list_folder(folder, path, mask, [&](const ListedEntry& entry) { listed(path, key, node, entry); });
    }

private:
    // Holds the folder open without delete sharing; null when it does not exist.
    HANDLE open_folder(const std::filesystem::path& path) {
        UniqueHandle handle(CreateFileW(path.c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!handle) {
            const DWORD code = GetLastError();
            if (is_absent_error(code)) return nullptr;
            throw_windows_error("Không mở được thư mục để kiểm tra client", code);
        }
        // Only the attributes: under Wine the whole record asks for the volume's serial,
        // which costs ten times the opening.
        FILE_ATTRIBUTE_TAG_INFO information{};
        if (!GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &information, sizeof information)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không đọc được thuộc tính thư mục client", code);
        }
        require((information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
                "Không chấp nhận liên kết thư mục: " + path_text(path));
        require((information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, "Cần thư mục client, không phải file.");
        inventory_.folder_handles.push_back(std::move(handle));
        return inventory_.folder_handles.back().get();
    }

    void listed(const std::filesystem::path& folder, const std::wstring& folder_key, const Node& node,
                const ListedEntry& entry) {
        cancel_.check();
        const std::wstring name_key = case_key(entry.name);
        const auto child = node.children.find(name_key);
        if (child == node.children.end()) return;  // not named by the release (nor "." and "..")
        const std::wstring key = folder_key.empty() ? name_key : folder_key + L"/" + name_key;
        const std::filesystem::path path = folder / entry.name;
        require((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
                "Không chấp nhận liên kết thư mục/file: " + path_text(path));
        InventoryEntry found;
        found.exists = true;
        found.is_directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        found.size = entry.size;
        found.modified_ticks = entry.modified_ticks;
        require(inventory_.entries.emplace(key, found).second, "Client chứa tên file trùng trên Windows.");
        const Node& wanted = child->second;
        // A folder where the release wants a file, or a file where it wants a folder,
        // does not match; what lies below such a file counts as missing. Whether the
        // entry may make way is the transaction's question.
        if (found.is_directory) {
            if (wanted.file) {
                inventory_.fits = false;
            } else {
                walk(path, key, wanted);
            }
            return;
        }
        if (wanted.folder || !wanted.children.empty()) {
            inventory_.fits = false;
            return;
        }
        const std::uint64_t seen = ++inventory_.files_seen;
        if (seen % walk_report_interval == 0) {
            report_.bytes(stage_, L"Đã đọc thông tin " + std::to_wstring(seen) + L" file…", key, {.files_done = seen});
        }
    }

    Inventory& inventory_;
    const Cancel& cancel_;
    const Reporter& report_;
    Stage stage_;
};

// Serialises every report of the per-file checks; bytes done reach the byte total.
// A member of the cache vouches for a file only when it was written for exactly
// this size, time and digest.
bool cache_vouches(const HashCache& cache, const ClientFile& file, const InventoryEntry& found) {
    const auto member = cache.find(file.path);
    return member != cache.end() && member->second.size == found.size &&
           member->second.modified_ticks == found.modified_ticks && member->second.sha256 == file.sha256;
}

bool file_matches_release(const State& state, const ClientFile& file, const InventoryEntry& found, bool full,
                          const HashCache& cache, const Cancel& cancel, const ByteCallback& hashed) {
    if (!found.exists || found.is_directory || found.size != file.size) return false;
    if (!full && cache_vouches(cache, file, found)) return true;
    return sha256_file(state.root() / std::filesystem::path(to_wide(file.path)), cancel, hashed) == file.sha256;
}

// Brings the cache to what this scan found of the list: no member for a file of it
// unless the file matched (the members of other files stay in a restricted scan, none
// do in a scan of the whole release). Answers whether the file must be written: in a
// restricted scan only for a member added or changed, as one it dropped still tells
// the truth about the file's exact size, time and digest, and an update's transaction
// writes the cache anyway.
bool update_cache(HashCache& cache, bool restricted, const std::vector<ClientFile>& list,
                  const std::vector<char>* matches, const Inventory& found) {
    bool changed = false;
    if (!restricted) {
        HashCache next;
        for (size_t i = 0; matches != nullptr && i < list.size(); ++i) {
            const InventoryEntry entry = found.find(list[i].key);
            if ((*matches)[i]) next[list[i].path] = {entry.size, entry.modified_ticks, list[i].sha256};
        }
        changed = next != cache;
        cache = std::move(next);
        return changed;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        if (matches != nullptr && (*matches)[i]) {
            const InventoryEntry entry = found.find(list[i].key);
            CacheEntry member{entry.size, entry.modified_ticks, list[i].sha256};
            const auto [place, added] = cache.try_emplace(list[i].path, member);
            if (!added && place->second != member) {
                place->second = member;
                changed = true;
            }
            changed = changed || added;
        } else {
            cache.erase(list[i].path);
        }
    }
    return changed;
}

// The new cache goes to disk; a cache in memory that may differ from the file is
// emptied, so that it vouches for nothing.
void save_cache(const State& state, HashCache& cache) {
    try {
        write_hash_cache(state, cache);
    } catch (...) {
        cache.clear();
        throw;
    }
}

}  // namespace

Inventory inventory_of(const std::filesystem::path& folder, const std::vector<ClientFile>& files, const Cancel& cancel) {
    const Node expected = expected_tree(files, nullptr, cancel);
    Inventory found;
    const ProgressCallback no_reports;
    const Reporter silent(no_reports);
    Walk(found, cancel, silent, Stage::checking).walk(folder, L"", expected);
    return found;
}

InventoryEntry Inventory::find(const std::wstring& key) const {
    const auto entry = entries.find(key);
    return entry == entries.end() ? InventoryEntry{} : entry->second;
}

std::vector<ClientFile> scan(const State& state, const Manifest& manifest, bool full,
                             const std::vector<ClientFile>* files, const Cancel& cancel,
                             const ProgressCallback& progress, Stage stage, Inventory* inventory, HashCache* cache) {
    std::optional<HashCache> read;
    HashCache& loaded = cache != nullptr ? *cache : read.emplace(read_hash_cache(state));
    const std::vector<ClientFile>& list = files != nullptr ? *files : manifest.files;
    const Reporter report(progress);
    cancel.check();
    refuse_links_up(state.root(), state.root());

    const Node expected = expected_tree(list, files == nullptr ? &manifest.directories : nullptr, cancel);
    Inventory found;
    Walk(found, cancel, report, stage).walk(state.root(), L"", expected);

    if (found.files_seen == 0) {
        update_cache(loaded, files != nullptr, list, nullptr, found);
        save_cache(state, loaded);
        if (!list.empty()) report.note(stage, L"Chưa có dữ liệu client — chuyển sang tải bộ cài…");
        if (inventory != nullptr) *inventory = std::move(found);
        return list;
    }

    const std::vector<char> matches =
        check_files(list, cancel, report, stage, L"Kiểm tra SHA-256 client…", [&](size_t i, const ByteCallback& hashed) {
            return file_matches_release(state, list[i], found.find(list[i].key), full, loaded, cancel, hashed);
        });

    std::vector<ClientFile> result;
    for (size_t i = 0; i < list.size(); ++i) {
        if (!matches[i]) result.push_back(list[i]);
    }
    // The cache of a large client is tens of megabytes: written only when it must be.
    if (update_cache(loaded, files != nullptr, list, &matches, found)) save_cache(state, loaded);
    if (inventory != nullptr) *inventory = std::move(found);
    return result;
}

namespace {

// Bytes and files done across the workers, reported as one total.
class CheckProgress {
public:
    CheckProgress(const std::vector<ClientFile>& files, const Reporter& report, Stage stage, const wchar_t* text)
        : files_(files), report_(report), stage_(stage), text_(text), reported_(files.size(), 0) {
        for (const ClientFile& file : files) total_ += file.size;
    }

    void file_done() {
        std::lock_guard lock(mutex_);
        ++files_done_;
    }

    void report(size_t index, std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        done_ += bytes - reported_[index];
        reported_[index] = bytes;
        if (!report_.active()) return;
        report_.bytes(stage_, text_, to_wide(files_[index].path), {done_, total_, files_done_, files_.size()});
    }

private:
    const std::vector<ClientFile>& files_;
    const Reporter& report_;
    Stage stage_;
    const wchar_t* text_;
    std::mutex mutex_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::uint64_t files_done_ = 0;
    std::vector<std::uint64_t> reported_;
};

}  // namespace

std::vector<char> check_files(const std::vector<ClientFile>& files, const Cancel& cancel, const Reporter& report,
                              Stage stage, const wchar_t* text,
                              const std::function<bool(size_t, const ByteCallback&)>& check) {
    std::vector<char> matches(files.size(), 0);
    CheckProgress checks(files, report, stage, text);
    run_parallel(files.size(), cancel, [&](size_t i) {
        matches[i] = check(i, [&](std::uint64_t bytes) { checks.report(i, bytes); });
        checks.file_done();
        checks.report(i, files[i].size);
    });
    return matches;
}

}  // namespace qorn
