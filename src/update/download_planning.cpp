#include "update/download_planning.hpp"

#include "core/files.hpp"
#include "core/parallel.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/download.hpp"
#include "release/client_path.hpp"
#include "state/scan.hpp"
#include "update/local_copies.hpp"
#include "update/zip_package.hpp"

#include <map>
#include <mutex>
#include <set>

namespace qorn {
namespace {

constexpr std::uint64_t download_space_margin = 67108864;

bool use_packages(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files) {
    return files.size() == manifest.files.size() && !manifest.packages.empty() &&
           !file_info(client_path(state.root(), game_executable, false)).exists;
}

std::filesystem::path package_file(const State& state, const Package& package) {
    return state.file("downloads/" + package.sha256 + ".zip");
}

// One download: a package or a single file.
struct Item {
    std::wstring label;
    std::wstring url;
    std::filesystem::path destination;
    std::uint64_t size = 0;
    std::string sha256;
};

std::vector<Item> plan_items(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                             bool packages) {
    std::vector<Item> items;
    if (packages) {
        for (size_t i = 0; i < manifest.packages.size(); ++i) {
            const Package& package = manifest.packages[i];
            items.push_back({L"Gói cài đặt " + std::to_wstring(i + 1), package.url, package_file(state, package),
                             package.size, package.sha256});
        }
    } else {
        for (const ClientFile& file : files) {
            items.push_back({to_wide(file.path), to_wide(file.url), staging_path(state, file.path), file.size, file.sha256});
        }
    }
    return items;
}

// The files the apply transaction will back up: those fetched, and those the
// installed release has and the new one drops.
std::vector<ClientFile> files_to_back_up(const Manifest& manifest, const std::vector<ClientFile>& files,
                                         const Manifest* installed) {
    std::vector<ClientFile> result = files;
    if (installed == nullptr) return result;
    const std::vector<ClientFile> dropped = files_dropped_by(manifest, *installed);
    result.insert(result.end(), dropped.begin(), dropped.end());
    return result;
}

// What the staging area holds of the files. A stopped run may have left an entry of
// the other kind where this release needs a file or a folder (Data/x as a file, now
// Data/x/...): such an area can never be filled, so it is cleared and measured again.
Inventory measure_staging(const State& state, const std::vector<ClientFile>& files, const Cancel& cancel,
                          const ProgressCallback& progress) {
    Inventory staged = inventory_of(state.file("staging"), files, cancel);
    if (staged.fits) return staged;
    staged = Inventory{};  // its folders are held open until it goes
    clean_temporary(state, "staging", progress, Stage::downloading);
    return inventory_of(state.file("staging"), files, cancel);
}

}  // namespace

DownloadPlan plan_downloads(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                            const Manifest* installed, const Inventory* inventory, const Cancel& cancel,
                            const ProgressCallback& progress) {
    const bool packages = use_packages(state, manifest, files);
    std::uint64_t need = download_space_margin;
    std::uint64_t total = 0;
    const Inventory staged = measure_staging(state, files, cancel, progress);
    for (const ClientFile& file : files) {
        total = add_size(total, file.size);
        need = add_size(need, file.size - std::min(staged.find(file.key).size, file.size));
    }
    if (packages) {
        total = 0;
        for (const Package& package : manifest.packages) {
            total = add_size(total, package.size);
            need = add_size(need, package.size - std::min(file_info(package_file(state, package)).size, package.size));
        }
    }
    // The scan's inventory serves when it covers the list; otherwise the client is measured.
    const std::vector<ClientFile> backups = files_to_back_up(manifest, files, installed);
    const bool scanned = inventory != nullptr && backups.size() == files.size();
    const Inventory measured = scanned ? Inventory{} : inventory_of(state.root(), backups, cancel);
    const Inventory& client = scanned ? *inventory : measured;
    for (const ClientFile& file : backups) {
        const InventoryEntry entry = client.find(file.key);
        if (!entry.is_directory) need = add_size(need, entry.size);
    }
    return {packages, total, need};
}

namespace {

// The counters of the download workers; every report is made under the lock.
class Transfers {
public:
    Transfers(const std::vector<Item>& items, std::uint64_t total, const ProgressCallback& progress)
        : items_(items), slots_(items.size(), 0), total_(total), report_(progress) {}

    void on_disk(size_t index, std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        sum_ += bytes - slots_[index];
        slots_[index] = bytes;
        report_.bytes(Stage::downloading, L"Tải và xác thực dữ liệu client…", items_[index].label,
                      {sum_, total_, finished_, items_.size(), received_});
    }

    void received(std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        received_ += bytes;
    }

    void finished(size_t index) {
        {
            std::lock_guard lock(mutex_);
            ++finished_;
        }
        on_disk(index, slots_[index]);
    }

private:
    const std::vector<Item>& items_;
    std::vector<std::uint64_t> slots_;
    std::uint64_t total_;
    Reporter report_;
    std::mutex mutex_;
    std::uint64_t sum_ = 0;
    std::uint64_t finished_ = 0;
    std::uint64_t received_ = 0;
};

void extract_packages(const State& state, const Manifest& manifest, const Cancel& cancel,
                      const ProgressCallback& progress) {
    std::map<std::wstring, std::uint64_t> sizes;
    std::uint64_t files_total_bytes = 0;
    for (const ClientFile& file : manifest.files) {
        sizes[file.key] = file.size;
        files_total_bytes = add_size(files_total_bytes, file.size);
    }
    std::uint64_t bytes_before = 0;
    std::uint64_t files_before = 0;
    for (const Package& package : manifest.packages) {
        const ProgressCallback passed_on = [&](const Progress& report) {
            if (!progress) return;
            Progress shifted = report;
            shifted.done += bytes_before;
            shifted.files_done += files_before;
            shifted.total = files_total_bytes;
            shifted.files_total = manifest.files.size();
            progress(shifted);
        };
        extract_package(package_file(state, package), package, manifest, state, cancel, passed_on);
        for (const std::string& name : package.files) bytes_before += sizes[case_key(to_wide(name))];
        files_before += package.files.size();
    }
}

// The staged files this run's downloads read back from disk and found matching,
// with their information as read just before that check, by case key.
using Vouched = std::map<std::wstring, FileInfo>;

// A file whose size and modification time are still those read just before this run
// read it back and hashed it is not hashed again: every byte of it has been checked
// once from disk, after its flush, and nothing but this run (holding the update lock)
// writes the staging area. Whatever else changes it shows a new time or size and is
// hashed again; a writer able to hide that could as well change the file after any
// second pass. Unpacked files and everything else are hashed here.
bool still_verified(const Vouched& vouched, const ClientFile& file, const FileInfo& now) {
    const auto found = vouched.find(file.key);
    return found != vouched.end() && now.exists && !now.is_directory && now.size == file.size &&
           found->second.size == now.size && found->second.modified_ticks == now.modified_ticks;
}

// Every staged file against the release before the transaction, on the scan's workers;
// the first file in list order that differs is the one named.
void verify_staged(const State& state, const std::vector<ClientFile>& files, const Vouched& vouched,
                   const Cancel& cancel, const ProgressCallback& progress, HashCache* staged) {
    if (staged != nullptr) staged->clear();
    const Reporter report(progress);
    const wchar_t* const text = L"Kiểm tra dữ liệu trước khi cài…";
    std::uint64_t total = 0;
    for (const ClientFile& file : files) total = add_size(total, file.size);
    report.bytes(Stage::verifying, text, {}, {.total = total, .files_total = files.size()});
    std::vector<FileInfo> found(files.size());
    const std::vector<char> matches = check_files(
        files, cancel, report, Stage::verifying, text,
        [&](size_t i, const ByteCallback& hashed) {
            const std::filesystem::path path = staging_path(state, files[i].path);
            found[i] = file_info(path);
            if (still_verified(vouched, files[i], found[i])) {
                if (hashed) hashed(files[i].size);
                return true;
            }
            return file_matches(path, files[i].size, files[i].sha256, cancel, hashed);
        });
    for (size_t i = 0; i < files.size(); ++i) {
        require(matches[i] != 0, "File tải về/giải nén sai SHA-256: " + files[i].path);
        if (staged != nullptr) (*staged)[files[i].path] = {found[i].size, found[i].modified_ticks, files[i].sha256};
    }
}

}  // namespace

void download_files(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                    const Manifest* installed, Network& network, const Cancel& cancel,
                    const ProgressCallback& progress, const Inventory* inventory, HashCache* staged,
                    const HashCache* cache) {
    const DownloadPlan plan = plan_downloads(state, manifest, files, installed, inventory, cancel, progress);
    require_disk_space(state.root(), plan.need);
    std::vector<ClientFile> fetched = files;
    std::uint64_t total = plan.total;
    if (!plan.packages && installed != nullptr) {
        std::set<std::wstring> copied;
        const HashCache read = cache != nullptr ? HashCache{} : read_hash_cache(state);
        for (const ClientFile& file :
             stage_local_copies(state, files, *installed, cache != nullptr ? *cache : read, cancel, progress)) {
            copied.insert(file.key);
            total -= file.size;
        }
        std::erase_if(fetched, [&](const ClientFile& file) { return copied.count(file.key) != 0; });
    }
    Reporter(progress).bytes(Stage::downloading, L"Chuẩn bị tải và xác thực dữ liệu…", {}, {.total = total});
    const std::vector<Item> items = plan_items(state, manifest, fetched, plan.packages);
    Transfers transfers(items, total, progress);
    std::vector<FileInfo> checked(items.size());
    run_parallel(items.size(), cancel, [&](size_t i) {
        const Item& item = items[i];
        checked[i] = download_file(network, item.url, item.destination, item.size, item.sha256,
                                   [&](std::uint64_t bytes) { transfers.on_disk(i, bytes); },
                                   [&](std::uint64_t bytes) { transfers.received(bytes); });
        transfers.finished(i);
    });
    Vouched vouched;
    if (plan.packages) {
        extract_packages(state, manifest, cancel, progress);
    } else {
        for (size_t i = 0; i < fetched.size(); ++i) vouched.emplace(fetched[i].key, checked[i]);
    }
    verify_staged(state, files, vouched, cancel, progress, staged);
}

}  // namespace qorn
