#include "update/apply.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"


namespace qorn {
namespace {

using nlohmann::json;

constexpr Stage apply_stage = 5;
constexpr Stage recovery_stage = 8;
constexpr std::uint64_t apply_space_margin = 67108864;

std::filesystem::path backup_path(const State& state, const std::string& path) {
    return client_path(state.file("transaction/backup"), path, false);
}

// Reports of one apply: every step counts once, in items.
class Steps {
public:
    Steps(const ProgressCallback& progress, std::uint64_t total) : progress_(progress), total_(total) {}

    void report(const std::wstring& text, const std::string& detail) const {
        if (!progress_) return;
        Progress report;
        report.stage = apply_stage;
        report.text = text;
        report.detail = to_wide(detail);
        report.done = report.files_done = done_;
        report.total = report.files_total = total_;
        progress_(report);
    }

    void done(const std::wstring& text, const std::string& detail) {
        ++done_;
        report(text, detail);
    }

private:
    const ProgressCallback& progress_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

json operation(const State& state, const std::string& path, bool remove) {
    const FileInfo info = file_info(client_path(state.root(), path, false));
    require(!info.is_directory, "Không thể thay thư mục bằng file: " + path);
    return {{"path", path}, {"hadOriginal", info.exists}, {"remove", remove}};
}

json plan_operations(const State& state, const std::optional<Manifest>& installed, const Manifest& release,
                     const std::vector<ClientFile>& files) {
    json operations = json::array();
    if (installed) {
        for (const ClientFile& file : files_dropped_by(release, *installed)) {
            operations.push_back(operation(state, file.path, true));
        }
    }
    for (const ClientFile& file : files) operations.push_back(operation(state, file.path, false));
    return operations;
}

void require_space_for_backups(const State& state, const json& operations) {
    std::uint64_t need = apply_space_margin;
    for (const json& op : operations) {
        need = add_size(need, file_info(client_path(state.root(), op["path"].get<std::string>(), false)).size);
    }
    require_disk_space(state.root(), need);
}

void carry_out(const State& state, const json& op, const Cancel& cancel, Steps& steps) {
    const auto path = op["path"].get<std::string>();
    const std::filesystem::path target = client_path(state.root(), path, false);
    if (op["hadOriginal"].get<bool>()) {
        const std::filesystem::path backup = backup_path(state, path);
        std::filesystem::create_directories(backup.parent_path());
        const std::filesystem::path copy = state.file("transaction/copy.tmp");
        qorn::copy_file(target, copy, [&](std::uint64_t) {
            cancel.check();
            steps.report(L"Đang sao lưu file trước khi thay thế…", path);
        });
        move_replace(copy, backup);
    }
    if (op["remove"].get<bool>()) {
        delete_file(target);
    } else {
        std::filesystem::create_directories(target.parent_path());
        move_replace(staging_path(state, path), target);
    }
}

void update_hash_cache(const State& state, const json& operations, const std::vector<ClientFile>& files,
                       const json* staged) {
    json cache = read_hash_cache(state);
    for (const json& op : operations) cache.erase(op["path"].get<std::string>());
    if (staged != nullptr) {
        for (const ClientFile& file : files) {
            const auto entry = staged->find(file.path);
            if (entry == staged->end() || !entry->is_object()) continue;
            const FileInfo info = file_info(client_path(state.root(), file.path, false));
            const json size = entry->value("size", json(-1));
            const json ticks = entry->value("modifiedTicks", json(nullptr));
            if (info.exists && info.size == file.size && size.is_number_integer() && size == json(file.size) &&
                ticks.is_number_integer() && ticks == json(info.modified_ticks) &&
                entry->value("sha256", std::string()) == file.sha256) {
                cache[file.path] = *entry;
            }
        }
    }
    write_hash_cache(state, cache);
}

void apply_journalled(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
                      const std::wstring& manifest_url, const Cancel& cancel, const ProgressCallback& progress,
                      const json* staged, bool& committed) {
    recover_transaction(state, manifest_url, progress, recovery_stage);
    std::optional<Manifest> installed;
    try {
        installed = read_installed(state, manifest_url);
    } catch (const std::exception&) {
        // An unreadable installed record counts as none: nothing of it is removed.
    }
    json journal = {{"previous", installed ? installed->json : json(nullptr)},
                    {"operations", plan_operations(state, installed, release, files)},
                    {"committed", false}};
    require_space_for_backups(state, journal["operations"]);
    delete_verified(state);
    write_json_file(state.file("journal.json"), journal);

    Steps steps(progress, journal["operations"].size() + release.directories.size() + 2);
    for (const json& op : journal["operations"]) {
        cancel.check();
        steps.report(L"Sao lưu và áp dụng file cập nhật…", op["path"].get<std::string>());
        carry_out(state, op, cancel, steps);
        steps.done(L"Đã áp dụng file cập nhật", op["path"].get<std::string>());
    }
    for (const std::string& directory : release.directories) {
        cancel.check();
        std::filesystem::create_directories(client_path(state.root(), directory, false));
        steps.done(L"Chuẩn bị thư mục game…", directory);
    }
    write_file_atomic(state.file("installed.json"), release.text);
    steps.done(L"Lưu thông tin phiên bản…", "");
    update_hash_cache(state, journal["operations"], files, staged);
    journal["committed"] = true;
    write_json_file(state.file("journal.json"), journal);
    committed = true;
    recover_transaction(state, manifest_url, progress, apply_stage);
    steps.done(L"Đã hoàn tất thay file", "");
}

void roll_back(const State& state, const json& operations, const ProgressCallback& progress) {
    const std::uint64_t total = operations.size();
    std::uint64_t handled = 0;
    for (auto op = operations.rbegin(); op != operations.rend(); ++op, ++handled) {
        const auto path = (*op).at("path").get<std::string>();
        const std::filesystem::path target = client_path(state.root(), path, false);
        const std::filesystem::path backup = backup_path(state, path);
        if (progress) {
            Progress report;
            report.stage = recovery_stage;
            report.text = L"Đang phục hồi client bị gián đoạn…";
            report.detail = to_wide(path);
            report.done = report.files_done = handled;
            report.total = report.files_total = total;
            progress(report);
        }
        if ((*op).at("hadOriginal").get<bool>()) {
            if (!file_info(backup).exists) continue;  // the original was never touched
            const std::filesystem::path restore = state.file("transaction/restore.tmp");
            qorn::copy_file(backup, restore);
            std::filesystem::create_directories(target.parent_path());
            move_replace(restore, target);
        } else if (!(*op).at("remove").get<bool>()) {
            delete_file(target);  // a file this transaction created
        }
    }
}

void restore_installed(const State& state, const json& previous, const std::wstring& manifest_url) {
    if (previous.is_null()) {
        delete_file(state.file("installed.json"));
    } else {
        write_file_atomic(state.file("installed.json"), manifest_from_json(previous, manifest_url).text);
    }
    delete_hash_cache(state);
}

}  // namespace

void apply(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
           const std::wstring& manifest_url, const Cancel& cancel, const ProgressCallback& progress,
           const json* staged) {
    bool committed = false;
    try {
        apply_journalled(state, release, files, manifest_url, cancel, progress, staged, committed);
    } catch (...) {
        if (!committed) {
            try {
                recover_transaction(state, manifest_url, progress, recovery_stage);
            } catch (...) {
                // The journal stays and the next start rolls back again; the first failure is what counts.
            }
        }
        throw;
    }
}

void recover_transaction(const State& state, const std::wstring& manifest_url, const ProgressCallback& progress,
                         Stage cleanup_stage) {
    const std::filesystem::path journal_path = state.file("journal.json");
    if (!file_info(journal_path).exists) return;
    const json journal = read_json_file(journal_path);
    const auto operations = journal.find("operations");
    require(journal.is_object() && operations != journal.end() && operations->is_array() &&
                operations->size() <= journal_operation_limit,
            "Nhật ký phục hồi không hợp lệ.");
    delete_verified(state);
    if (!journal.value("committed", false)) {
        roll_back(state, *operations, progress);
        restore_installed(state, journal.value("previous", json(nullptr)), manifest_url);
    }
    const std::filesystem::path backups = state.file("transaction/backup");
    if (file_info(backups).exists) {
        clean_temporary(state, "backup-last", progress, cleanup_stage);
        move_replace(backups, state.file("backup-last"));
    }
    delete_file(journal_path);
    clean_temporary(state, "transaction", progress, cleanup_stage);
}

}  // namespace qorn
