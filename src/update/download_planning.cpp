#include "update/download_planning.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/download.hpp"
#include "release/client_path.hpp"
#include "state/parallel.hpp"
#include "state/records.hpp"
#include "update/zip_package.hpp"

#include <map>
#include <mutex>

namespace qorn {
namespace {

using nlohmann::json;

constexpr Stage download_stage = 2;
constexpr Stage verify_stage = 4;
constexpr std::uint64_t download_space_margin = 67108864;

std::wstring key_of(const std::string& path) { return case_key(to_wide(path)); }

bool use_packages(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files) {
    return files.size() == manifest.files.size() && !manifest.packages.empty() &&
           !file_info(client_path(state.root(), "Main.exe", false)).exists;
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
            items.push_back({to_wide(file.path), file.url, staging_path(state, file.path), file.size, file.sha256});
        }
    }
    return items;
}

// The files the apply transaction will back up: those fetched, and those the
// installed release has and the new one drops.
std::vector<ClientFile> files_to_back_up(const State& state, const Manifest& manifest,
                                         const std::vector<ClientFile>& files, const std::wstring& manifest_url) {
    std::vector<ClientFile> result = files;
    std::optional<Manifest> installed;
    try {
        installed = read_installed(state, manifest_url);
    } catch (const std::exception&) {
        return result;  // no valid installed record: nothing of it is removed
    }
    if (!installed) return result;
    const std::vector<ClientFile> dropped = files_dropped_by(manifest, *installed);
    result.insert(result.end(), dropped.begin(), dropped.end());
    return result;
}

}  // namespace

DownloadPlan plan_downloads(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                            const std::wstring& manifest_url, const Inventory* inventory, const Cancel& cancel) {
    const bool packages = use_packages(state, manifest, files);
    std::uint64_t need = download_space_margin;
    std::uint64_t total = 0;
    const Inventory staged = inventory_of(state.file("staging"), files, cancel);
    for (const ClientFile& file : files) {
        total = add_size(total, file.size);
        need = add_size(need, file.size - std::min(staged.find(key_of(file.path)).size, file.size));
    }
    if (packages) {
        total = 0;
        for (const Package& package : manifest.packages) {
            total = add_size(total, package.size);
            need = add_size(need, package.size - std::min(file_info(package_file(state, package)).size, package.size));
        }
    }
    // The scan's inventory serves when it covers the list; otherwise the client is measured.
    const std::vector<ClientFile> backups = files_to_back_up(state, manifest, files, manifest_url);
    const bool scanned = inventory != nullptr && backups.size() == files.size();
    const Inventory measured = scanned ? Inventory{} : inventory_of(state.root(), backups, cancel);
    const Inventory& client = scanned ? *inventory : measured;
    for (const ClientFile& file : backups) need = add_size(need, client.find(key_of(file.path)).size);
    return {packages, total, need};
}

namespace {

// The counters of the download workers; every report is made under the lock.
class Transfers {
public:
    Transfers(const std::vector<Item>& items, std::uint64_t total, const ProgressCallback& progress)
        : items_(items), slots_(items.size(), 0), total_(total), progress_(progress) {}

    void on_disk(size_t index, std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        sum_ += bytes - slots_[index];
        slots_[index] = bytes;
        if (!progress_) return;
        Progress report;
        report.stage = download_stage;
        report.text = L"Tải và xác thực dữ liệu client…";
        report.detail = items_[index].label;
        report.done = sum_;
        report.total = total_;
        report.files_done = finished_;
        report.files_total = items_.size();
        report.extra = received_;
        report.in_bytes = true;
        progress_(report);
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
    const ProgressCallback& progress_;
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
        sizes[key_of(file.path)] = file.size;
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
        for (const std::string& name : package.files) bytes_before += sizes[key_of(name)];
        files_before += package.files.size();
    }
}

Progress verify_report(const ClientFile& file, std::uint64_t done, std::uint64_t total, std::uint64_t files_done,
                       std::uint64_t files_total) {
    Progress report;
    report.stage = verify_stage;
    report.text = L"Kiểm tra dữ liệu trước khi cài…";
    report.detail = to_wide(file.path);
    report.done = done;
    report.total = total;
    report.files_done = files_done;
    report.files_total = files_total;
    report.in_bytes = true;
    return report;
}

void verify_staged(const State& state, const std::vector<ClientFile>& files, const Cancel& cancel,
                   const ProgressCallback& progress, json* staged) {
    if (staged != nullptr) *staged = json::object();
    std::uint64_t total = 0;
    for (const ClientFile& file : files) total = add_size(total, file.size);
    std::uint64_t verified = 0;
    std::uint64_t count = 0;
    for (const ClientFile& file : files) {
        if (progress) progress(verify_report(file, verified, total, count, files.size()));
        const std::filesystem::path path = staging_path(state, file.path);
        const FileInfo info = file_info(path);
        const bool matches = file_matches(path, file.size, file.sha256, cancel, [&](std::uint64_t hashed) {
            if (progress) progress(verify_report(file, verified + hashed, total, count, files.size()));
        });
        require(matches, "File tải về/giải nén sai SHA-256: " + file.path);
        if (staged != nullptr) {
            (*staged)[file.path] = {{"size", info.size}, {"modifiedTicks", info.modified_ticks}, {"sha256", file.sha256}};
        }
        verified += file.size;
        ++count;
        if (progress) progress(verify_report(file, verified, total, count, files.size()));
    }
}

}  // namespace

void download_files(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                    Network& network, const Cancel& cancel, const ProgressCallback& progress,
                    const Inventory* inventory, json* staged) {
    const DownloadPlan plan = plan_downloads(state, manifest, files, network.manifest_url(), inventory, cancel);
    require_disk_space(state.root(), plan.need);
    if (progress) {
        Progress report;
        report.stage = download_stage;
        report.text = L"Chuẩn bị tải và xác thực dữ liệu…";
        report.total = plan.total;
        report.in_bytes = true;
        progress(report);
    }
    const std::vector<Item> items = plan_items(state, manifest, files, plan.packages);
    Transfers transfers(items, plan.total, progress);
    run_parallel(items.size(), cancel, [&](size_t i) {
        const Item& item = items[i];
        download_file(network, item.url, item.destination, item.size, item.sha256,
                      [&](std::uint64_t bytes) { transfers.on_disk(i, bytes); },
                      [&](std::uint64_t bytes) { transfers.received(bytes); });
        transfers.finished(i);
    });
    if (plan.packages) extract_packages(state, manifest, cancel, progress);
    verify_staged(state, files, cancel, progress, staged);
}

}  // namespace qorn
