#include "update/sync.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "game/game_guard.hpp"
#include "net/manifest_fetch.hpp"
#include "net/network.hpp"
#include "release/client_path.hpp"
#include "selfupdate/launcher_update.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
#include "update/apply.hpp"
#include "update/download_planning.hpp"


namespace qorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t adoption_report_interval = 64;

void report(const ProgressCallback& progress, Stage stage, std::wstring text, std::wstring detail = {}) {
    if (!progress) return;
    Progress p;
    p.stage = stage;
    p.text = std::move(text);
    p.detail = std::move(detail);
    p.in_bytes = true;
    progress(p);
}

// The single closing report of a run that returns.
SyncResult finish(const ProgressCallback& progress, SyncResult result, const std::wstring& message) {
    if (progress) {
        Progress p;
        p.stage = result.launcherReady ? 5 : 9;
        p.text = result.launcherReady ? L"Đang khởi động lại Updater mới…"
                 : result.offline     ? L"Hosting mất kết nối — có thể chơi bản đã xác nhận"
                                      : L"Sẵn sàng vào game";
        p.detail = message;
        p.done = 1;
        p.total = 1;
        p.in_bytes = true;
        progress(p);
    }
    return result;
}

// A failed clean-up costs only disk space: it is logged and the rest is skipped.
void clean_work_areas(const State& state, const ProgressCallback& progress) {
    try {
        clean_temporary(state, "staging", progress, 7);
        clean_temporary(state, "downloads", progress, 7);
    } catch (const std::exception& failure) {
        write_log(state.root(), failure.what());
    }
}

// The files of the new release that are new or changed against the installed one.
std::vector<ClientFile> changed_files(const Manifest& release, const Manifest& installed) {
    std::map<std::wstring, const ClientFile*> known;
    for (const ClientFile& file : installed.files) known.emplace(case_key(to_wide(file.path)), &file);
    std::vector<ClientFile> result;
    for (const ClientFile& file : release.files) {
        const auto old = known.find(case_key(to_wide(file.path)));
        if (old == known.end() || old->second->size != file.size || old->second->sha256 != file.sha256) {
            result.push_back(file);
        }
    }
    return result;
}

bool has_obsolete_files(const Manifest& release, const std::optional<Manifest>& installed) {
    return installed && !files_dropped_by(release, *installed).empty();
}

void adopt(const State& state, const Manifest& manifest, const Inventory& inventory, const Cancel& cancel,
           const ProgressCallback& progress) {
    delete_verified(state);
    const std::uint64_t folders = manifest.directories.size();
    std::uint64_t counted = 0;
    for (const std::string& directory : manifest.directories) {
        cancel.check();
        if (!inventory.find(case_key(to_wide(directory))).exists) {
            std::filesystem::create_directories(client_path(state.root(), directory, false));
        }
        if (++counted % adoption_report_interval == 0 && progress) {
            Progress p;
            p.stage = 6;
            p.text = L"Hoàn tất nhận diện client đã khớp SHA-256…";
            p.detail = to_wide(directory);
            p.done = p.files_done = counted;
            p.total = p.files_total = folders;
            progress(p);
        }
    }
    cancel.check();
    write_file_atomic(state.file("installed.json"), manifest.text);
    clean_work_areas(state, progress);
    write_verified(state, manifest);
    check_ready(state);
}

class Run {
public:
    Run(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full, Cancel& cancel,
        const ProgressCallback& progress, bool skip_launcher_update)
        : state_(client_folder), lock_(lock_update(state_)), manifest_url_(manifest_url), full_(full),
          cancel_(cancel), progress_(progress), skip_launcher_update_(skip_launcher_update) {}

    SyncResult run() {
        if (file_info(state_.file("journal.json")).exists) ensure_game_closed(state_.root(), &cancel_, progress_);
        recover_transaction(state_, manifest_url_, progress_, 8);
        verified_ = read_verified(state_);
        if (!verified_.valid) verified_ = verify_from_hash_cache(state_, manifest_url_, cancel_);
        Network network(manifest_url_, cancel_);
        report(progress_, 0, L"Kiểm tra phiên bản trên hosting…");
        Manifest manifest;
        try {
            if (verified_.valid && !full_) {
                if (release_is_current(network, verified_.record)) return quick_path(network);
            }
            manifest = fetch_manifest(network);
        } catch (const NetworkError& failure) {
            return offline(failure);
        }
        return update(network, manifest);
    }

private:
    SyncResult quick_path(Network& network) {
        const LauncherCheck check =
            skip_launcher_update_ ? LauncherCheck{} : prepare_launcher(state_, nullptr, network, cancel_, progress_, false);
        SyncResult result{verified_.record.at("releaseId").get<std::string>(), 0, false, true, check.restart};
        if (!check.restart) {
            // A run killed while cleaning up after its commit leaves the work areas behind; the
            // release they were for is installed, so they are only lost disk space.
            clean_work_areas(state_, progress_);
            check_ready(state_);
        }
        return finish(progress_, result, check.message);
    }

    SyncResult update(Network& network, const Manifest& manifest) {
        LauncherCheck check;
        if (skip_launcher_update_) {
            write_json_file(state_.file("self-update/offer.json"), manifest.launchers);
        } else {
            check = prepare_launcher(state_, &manifest.launchers, network, cancel_, progress_, full_);
        }
        if (check.restart) return finish(progress_, {manifest.releaseId, 0, false, false, true}, check.message);

        const std::optional<Manifest> installed = read_installed(state_, manifest_url_);
        std::optional<std::vector<ClientFile>> examine;
        if (verified_.valid && installed && !full_) examine = changed_files(manifest, *installed);
        if (full_) {
            delete_verified(state_);
            delete_hash_cache(state_);
        }
        const std::vector<ClientFile>* subset = examine ? &*examine : nullptr;
        Inventory inventory;
        const std::vector<ClientFile> differing =
            scan(state_, manifest, full_, subset, cancel_, progress_, 1, &inventory);
        if (differing.empty() && !has_obsolete_files(manifest, installed)) {
            adopt(state_, manifest, inventory, cancel_, progress_);
            return finish(progress_, {manifest.releaseId, 0, false, false, false}, check.message);
        }

        ensure_game_closed(state_.root(), &cancel_, progress_);
        json staged = json::object();
        if (!differing.empty()) {
            download_files(state_, manifest, differing, network, cancel_, progress_, &inventory, &staged);
        }
        cancel_.check();
        ensure_game_closed(state_.root(), &cancel_, progress_);
        apply(state_, manifest, differing, manifest_url_, cancel_, progress_, &staged);
        require(scan(state_, manifest, false, subset, cancel_, progress_, 6, nullptr).empty(),
                "Client thay đổi trong lúc cập nhật. Hãy bấm Kiểm tra lại.");
        cancel_.check();
        clean_work_areas(state_, progress_);
        write_verified(state_, manifest);
        check_ready(state_);
        return finish(progress_, {manifest.releaseId, differing.size(), false, false, false}, check.message);
    }

    SyncResult offline(const NetworkError& failure) {
        cancel_.check();  // a network failure caused by a stop is a stop
        write_log(state_.root(), failure.what());
        require(verified_.valid, "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy.");
        check_ready(state_);
        if (full_) {
            const std::optional<Manifest> installed = read_installed(state_, manifest_url_);
            require(installed.has_value(), "Thiếu manifest của bản đã cài.");
            delete_verified(state_);
            delete_hash_cache(state_);
            require(scan(state_, *installed, true, nullptr, cancel_, progress_, 1, nullptr).empty(),
                    "Hosting mất kết nối và client thiếu/hỏng file. Vui lòng thử lại.");
            write_verified(state_, *installed);
        }
        return finish(progress_, {verified_.record.at("releaseId").get<std::string>(), 0, true, !full_, false}, {});
    }

    State state_;
    UpdateLock lock_;
    std::wstring manifest_url_;
    bool full_;
    Cancel& cancel_;
    const ProgressCallback& progress_;
    bool skip_launcher_update_;
    VerifiedRecord verified_;
};

}  // namespace

SyncResult run_sync(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full,
                    Cancel& cancel, const ProgressCallback& progress, bool skip_launcher_update) {
    return Run(client_folder, manifest_url, full, cancel, progress, skip_launcher_update).run();
}

}  // namespace qorn
