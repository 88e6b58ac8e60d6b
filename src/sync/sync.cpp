#include "sync/sync.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "game/game_guard.hpp"
#include "net/manifest_fetch.hpp"
#include "net/network.hpp"
#include "release/client_path.hpp"
#include "selfupdate/launcher_update.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
#include "sync/release_trust.hpp"
#include "update/apply.hpp"
#include "update/download_planning.hpp"

#include <unordered_map>

namespace qorn {
namespace {

constexpr std::uint64_t adoption_report_interval = 64;

// The single closing report of a run that returns; `refused`: offline because the
// host's release was refused, not because the host was lost.
SyncResult finish(const Reporter& report, SyncResult result, const std::wstring& message, bool refused = false) {
    const Stage stage = result.launcherReady ? Stage::applying : Stage::ready;
    const wchar_t* text = result.launcherReady ? L"Đang khởi động lại Updater mới…"
                          : refused            ? L"Bản phát hành bị từ chối — có thể chơi bản đã xác nhận"
                          : result.offline     ? L"Hosting mất kết nối — có thể chơi bản đã xác nhận"
                                               : L"Sẵn sàng vào game";
    report.bytes(stage, text, message, {.done = 1, .total = 1});
    return result;
}

// A failed clean-up costs only disk space: it is logged and the rest is skipped.
void clean_work_areas(const State& state, const ProgressCallback& progress) {
    try {
        clean_temporary(state, "staging", progress, Stage::cleaning);
        clean_temporary(state, "downloads", progress, Stage::cleaning);
    } catch (const std::exception& failure) {
        write_log(state.root(), failure.what());
    }
}

// The files of the new release that are new or changed against the installed one.
std::vector<ClientFile> changed_files(const Manifest& release, const Manifest& installed) {
    std::unordered_map<std::wstring_view, const ClientFile*> known;
    known.reserve(installed.files.size());
    for (const ClientFile& file : installed.files) known.emplace(file.key, &file);
    std::vector<ClientFile> result;
    for (const ClientFile& file : release.files) {
        const auto old = known.find(file.key);
        if (old == known.end() || old->second->size != file.size || old->second->sha256 != file.sha256) {
            result.push_back(file);
        }
    }
    return result;
}

void adopt(const State& state, const Manifest& manifest, const Inventory& inventory, const Cancel& cancel,
           const ProgressCallback& progress) {
    const Reporter report(progress);
    delete_verified(state);
    const std::uint64_t folders = manifest.directories.size();
    std::uint64_t counted = 0;
    for (const std::string& directory : manifest.directories) {
        cancel.check();
        if (!inventory.find(case_key(to_wide(directory))).exists) {
            std::filesystem::create_directories(client_path(state.root(), directory, false));
        }
        if (++counted % adoption_report_interval == 0 && report.active()) {
            report.items(Stage::rechecking, L"Hoàn tất nhận diện client đã khớp SHA-256…", to_wide(directory), counted,
                         folders, true);
        }
    }
    cancel.check();
    write_state_file(state, "installed.json", manifest.text);
    clean_work_areas(state, progress);
    write_verified(state, manifest);
    check_ready(state);
}

class Run {
public:
    Run(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full, Cancel& cancel,
        const ProgressCallback& progress, bool skip_launcher_update)
        : state_(client_folder), lock_(lock_update(state_)), manifest_url_(manifest_url), full_(full),
          cancel_(cancel), progress_(progress), report_(progress), skip_launcher_update_(skip_launcher_update),
          installed_(state_, manifest_url) {}

    SyncResult run() {
        if (file_info(state_.file("journal.json")).exists) ensure_game_closed(state_.root(), &cancel_, progress_);
        recover_transaction(state_, manifest_url_, progress_, Stage::recovering);
        verified_ = read_verified(state_);
        if (!verified_) verified_ = verify_from_hash_cache(state_, installed_.get(), cancel_);
        Network network(manifest_url_, cancel_);
        report_.note(Stage::asking_host, L"Kiểm tra phiên bản trên hosting…");
        Manifest manifest;
        ReleaseTrust trust(state_);
        try {
            trust.fetch(network);
            if (verified_ && !full_ && is_current(network, trust)) {
                trust.remember();
                return quick_path(network);
            }
            manifest = trust.required() ? trust.accept_manifest(fetch_manifest_text(network), manifest_url_)
                                        : fetch_manifest(network);
        } catch (const NetworkError& failure) {
            return offline(failure, false);
        } catch (const ReleaseRefused& failure) {
            return offline(failure, true);
        }
        trust.remember();
        return update(network, manifest);
    }

private:
    // A build with keys asks the signed statement, which a forged 304 cannot stand in for.
    bool is_current(Network& network, const ReleaseTrust& trust) {
        if (trust.required()) return trust.names(verified_->release_id, verified_->manifest_sha256);
        return release_is_current(network, verified_->release_id, verified_->manifest_sha256);
    }

    SyncResult quick_path(Network& network) {
        const LauncherCheck check =
            skip_launcher_update_ ? LauncherCheck{}
                                  : prepare_launcher(state_, nullptr, installed_, network, cancel_, progress_, false);
        if (!check.restart) {
            // A run killed while cleaning up after its commit leaves the work areas behind; the
            // release they were for is installed, so they are only lost disk space.
            clean_work_areas(state_, progress_);
            check_ready(state_);
        }
        return finish(report_, {.releaseId = verified_->release_id, .quick = true, .launcherReady = check.restart},
                      check.message);
    }

    SyncResult update(Network& network, const Manifest& manifest) {
        LauncherCheck check;
        if (skip_launcher_update_) {
            write_offer_record(state_, manifest.launchers);
        } else {
            check = prepare_launcher(state_, &manifest.launchers, installed_, network, cancel_, progress_, full_);
        }
        if (check.restart) {
            return finish(report_, {.releaseId = manifest.releaseId, .launcherReady = true}, check.message);
        }

        const Manifest* installed = installed_.get();
        std::optional<std::vector<ClientFile>> examine;
        if (verified_ && installed != nullptr && !full_) examine = changed_files(manifest, *installed);
        // Read once, handed from the scan to the transaction and the check after it.
        HashCache cache;
        if (full_) {
            delete_verified(state_);
            delete_hash_cache(state_);
        } else {
            cache = read_hash_cache(state_);
        }
        const std::vector<ClientFile>* subset = examine ? &*examine : nullptr;
        Inventory inventory;
        const std::vector<ClientFile> differing =
            scan(state_, manifest, full_, subset, cancel_, progress_, Stage::checking, &inventory, &cache);
        const bool drops_files = installed != nullptr && !files_dropped_by(manifest, *installed).empty();
        if (differing.empty() && !drops_files) {
            adopt(state_, manifest, inventory, cancel_, progress_);
            return finish(report_, {.releaseId = manifest.releaseId}, check.message);
        }

        ensure_game_closed(state_.root(), &cancel_, progress_);
        HashCache staged;
        if (!differing.empty()) {
            download_files(state_, manifest, differing, installed, network, cancel_, progress_, &inventory, &staged,
                           &cache);
        }
        cancel_.check();
        ensure_game_closed(state_.root(), &cancel_, progress_);
        inventory = Inventory{};  // its folders stay open without delete sharing while it lives
        apply(state_, manifest, differing, installed, manifest_url_, cancel_, progress_, &staged, &cache);
        require(scan(state_, manifest, false, subset, cancel_, progress_, Stage::rechecking, nullptr, &cache).empty(),
                "Client thay đổi trong lúc cập nhật. Hãy bấm Kiểm tra lại.");
        cancel_.check();
        clean_work_areas(state_, progress_);
        write_verified(state_, manifest);
        check_ready(state_);
        return finish(report_, {.releaseId = manifest.releaseId, .downloaded = differing.size()}, check.message);
    }

    // The host cannot be asked, or its answer is refused: the verified release plays
    // as it is; without one, a refusal says why nothing can be installed.
    SyncResult offline(const std::runtime_error& failure, bool refused) {
        cancel_.check();  // a network failure caused by a stop is a stop
        write_log(state_.root(), failure.what());
        if (refused && !verified_) throw std::runtime_error(failure.what());
        require(verified_.has_value(), "Không kết nối được hosting. Chưa có client hoàn chỉnh để chạy.");
        check_ready(state_);
        if (full_) {
            const Manifest* installed = installed_.get();
            require(installed != nullptr, "Thiếu manifest của bản đã cài.");
            delete_verified(state_);
            delete_hash_cache(state_);
            require(scan(state_, *installed, true, nullptr, cancel_, progress_, Stage::checking, nullptr).empty(),
                    "Hosting mất kết nối và client thiếu/hỏng file. Vui lòng thử lại.");
            write_verified(state_, *installed);
        }
        return finish(report_, {.releaseId = verified_->release_id, .offline = true, .quick = !full_},
                      refused ? to_wide(failure.what()) : std::wstring(), refused);
    }

    State state_;
    UpdateLock lock_;
    std::wstring manifest_url_;
    bool full_;
    Cancel& cancel_;
    const ProgressCallback& progress_;
    Reporter report_;
    bool skip_launcher_update_;
    InstalledRelease installed_;
    std::optional<VerifiedRelease> verified_;
};

}  // namespace

SyncResult run_sync(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full,
                    Cancel& cancel, const ProgressCallback& progress, bool skip_launcher_update) {
    return Run(client_folder, manifest_url, full, cancel, progress, skip_launcher_update).run();
}

}  // namespace qorn
