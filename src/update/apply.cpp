#include "update/apply.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "core/tree_removal.hpp"
#include "release/client_path.hpp"
#include "update/journal.hpp"
#include "update/make_way.hpp"

// Durability. A recovery trusts only the journal, so each step reaches the disk
// before the next one depends on it:
// 1. Staged files were flushed when they were written (download, extraction): a file
//    moved into the client folder brings bytes that are already on disk.
// 2. journal.json, not committed, is written and flushed before the first client file
//    changes; it names every path the transaction may touch.
// 3. Each original goes into transaction/backup before the staged file takes its path.
//    Normally it is moved aside: a rename, so its bytes stay where they are and there
//    is nothing to flush. Renames are metadata that the file system logs in order, so
//    a crash never keeps a later change to the folder and loses the move aside: a
//    roll-back finds every original at its path or at its backup. Where the move is
//    refused (another volume, say) the original is copied and the copy flushed first.
// 4. installed.json and then the committed journal are written and flushed once every
//    operation is done; from then on a recovery keeps the new release and tidies up.
// Roll-backs copy each backup back (flushed), so backup-last keeps the originals.

namespace qorn {
namespace {

constexpr std::uint64_t apply_space_margin = 67108864;

void tidy_up(const State& state, const ProgressCallback& progress, Stage cleanup_stage);
// What a replaced file's backup carries for a roll-back to put back (a read-only
// file must come back read-only).
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

std::filesystem::path backup_path(const State& state, const std::string& path) {
    return client_path(state.file("transaction/backup"), path, false);
}

void set_attributes(const std::filesystem::path& path, DWORD attributes) {
    if (!SetFileAttributesW(path.c_str(), attributes)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không đặt được thuộc tính file " + file_name_text(path), code);
    }
}

// Reports of one apply: every step counts once, in items.
class Steps {
public:
    Steps(const ProgressCallback& progress, std::uint64_t total) : report_(progress), total_(total) {}

    void report(const wchar_t* text, const std::string& detail) const {
        if (report_.active()) report_.items(Stage::applying, text, to_wide(detail), done_, total_, true);
    }

    void done(const wchar_t* text, const std::string& detail) {
        ++done_;
        report(text, detail);
    }

private:
    Reporter report_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
};

// The operations in journal order (removals first, so that what they free can take
// new entries), and the disk space their backups need.
struct Plan {
    std::vector<JournalOperation> operations;
    std::uint64_t need = apply_space_margin;
};

Plan plan_operations(const State& state, const Manifest* installed, const Manifest& release,
                     const std::vector<ClientFile>& files) {
    Plan plan;
    const auto add = [&](const std::string& path, bool had_original, bool remove, std::uint64_t size) {
        plan.operations.push_back({path, had_original, remove});
        if (had_original) plan.need = add_size(plan.need, size);
    };
    RemovedKeys removed;
    if (installed != nullptr) {
        for (const ClientFile& file : files_dropped_by(release, *installed)) {
            const FileInfo info = file_info(client_path(state.root(), file.path, false));
            // Something else standing there now is not the installed file and stays.
            add(file.path, info.exists && !info.is_directory, true, info.size);
            removed.insert(file.key);
        }
    }
    Way way(state, removed);
    for (const ClientFile& file : files) {
        const FileInfo info = file_info(client_path(state.root(), file.path, false));
        const bool folder_makes_way = way.require_for(file, info);
        add(file.path, info.exists && !folder_makes_way, false, info.size);
    }
    return plan;
}

// The copy that stands in when the original cannot be moved aside: flushed, under its
// final name only when whole.
void copy_aside(const State& state, const JournalOperation& op, const std::filesystem::path& target,
                const std::filesystem::path& backup, const Cancel& cancel, const Steps& steps) {
    const std::filesystem::path copy = state.file("transaction/copy.tmp");
    const DWORD attributes = GetFileAttributesW(target.c_str());
    qorn::copy_file(target, copy, [&](std::uint64_t) {
        cancel.check();
        steps.report(L"Đang sao lưu file trước khi thay thế…", op.path);
    });
    move_replace(copy, backup);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kept_attributes) != 0) {
        set_attributes(backup, attributes & kept_attributes);
    }
    // Only now that the backup holds it: Windows refuses to replace or delete a read-only file.
    make_writable(target);
}

// Keeps the original as its backup; true when it was moved away from the client path.
bool back_up(const State& state, const JournalOperation& op, const std::filesystem::path& target,
             const Cancel& cancel, const Steps& steps, const ApplyCalls& calls) {
    const std::filesystem::path backup = backup_path(state, op.path);
    std::filesystem::create_directories(backup.parent_path());
    // The file keeps its attributes (read-only among them) on the way.
    if (calls.move_file(target.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    copy_aside(state, op, target, backup, cancel, steps);
    return false;
}

void carry_out(const State& state, const JournalOperation& op, const Cancel& cancel, const Steps& steps,
               const ApplyCalls& calls) {
    const std::filesystem::path target = client_path(state.root(), op.path, false);
    const bool moved = op.had_original && back_up(state, op, target, cancel, steps, calls);
    if (op.remove) {
        if (op.had_original && !moved) delete_file(target);
        return;
    }
    // A folder of removed files that makes way for this file holds only empty folders by now.
    if (file_info(target).is_directory) remove_folders(target);
    std::filesystem::create_directories(target.parent_path());
    move_replace(staging_path(state, op.path), target);
}

// The cache as the file holds it: the run's, or read here.
void update_hash_cache(const State& state, const std::vector<JournalOperation>& operations,
                       const std::vector<ClientFile>& files, const HashCache* staged, HashCache* handed) {
    std::optional<HashCache> read;
    HashCache& cache = handed != nullptr ? *handed : read.emplace(read_hash_cache(state));
    for (const JournalOperation& op : operations) cache.erase(op.path);
    if (staged != nullptr) {
        for (const ClientFile& file : files) {
            const auto entry = staged->find(file.path);
            if (entry == staged->end()) continue;
            const FileInfo info = file_info(client_path(state.root(), file.path, false));
            if (info.exists && !info.is_directory && info.size == file.size && entry->second.size == file.size &&
                entry->second.modified_ticks == info.modified_ticks && entry->second.sha256 == file.sha256) {
                cache[file.path] = entry->second;
            }
        }
    }
    try {
        write_hash_cache(state, cache);
    } catch (...) {
        cache.clear();  // the file may hold either; the roll-back deletes it anyway
        throw;
    }
}

void apply_journalled(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
                      const Manifest* installed, const std::wstring& manifest_url, const Cancel& cancel,
                      const ProgressCallback& progress, const HashCache* staged, HashCache* cache,
                      const ApplyCalls& calls, bool& committed) {
    // A transaction left over from before is finished first; it may rewrite installed.json
    // and delete the hash cache.
    std::optional<Manifest> reread;
    if (recover_transaction(state, manifest_url, progress, Stage::recovering)) {
        reread = read_installed(state, manifest_url);
        installed = reread ? &*reread : nullptr;
        if (cache != nullptr) *cache = read_hash_cache(state);
    }
    const Plan plan = plan_operations(state, installed, release, files);
    const std::vector<JournalOperation>& operations = plan.operations;
    require_disk_space(state.root(), plan.need);
    delete_verified(state);
    write_journal(state, operations, installed, false);

    Steps steps(progress, operations.size() + release.directories.size() + 2);
    for (const JournalOperation& op : operations) {
        cancel.check();
        steps.report(L"Sao lưu và áp dụng file cập nhật…", op.path);
        carry_out(state, op, cancel, steps, calls);
        steps.done(L"Đã áp dụng file cập nhật", op.path);
    }
    for (const std::string& directory : release.directories) {
        cancel.check();
        std::filesystem::create_directories(client_path(state.root(), directory, false));
        steps.done(L"Chuẩn bị thư mục game…", directory);
    }
    write_state_file(state, "installed.json", release.text);
    steps.done(L"Lưu thông tin phiên bản…", "");
    update_hash_cache(state, operations, files, staged, cache);
    write_journal(state, operations, installed, true);
    committed = true;
    tidy_up(state, progress, Stage::applying);  // what a recovery of this journal would do, without reading it
    if (installed != nullptr) remove_emptied_folders(state, *installed, release);
    steps.done(L"Đã hoàn tất thay file", "");
}

void restore(const State& state, const std::filesystem::path& backup, const std::filesystem::path& target) {
    const std::filesystem::path copy = state.file("transaction/restore.tmp");
    qorn::copy_file(backup, copy);
    // A folder the transaction made where the file stood holds nothing of the player's
    // (remove_folders refuses a file); a read-only file of the release cannot be replaced.
    if (file_info(target).is_directory) {
        remove_folders(target);
    } else {
        make_writable(target);
    }
    std::filesystem::create_directories(target.parent_path());
    move_replace(copy, target);
    const DWORD attributes = GetFileAttributesW(backup.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kept_attributes) != 0) {
        set_attributes(target, attributes & kept_attributes);
    }
}

void roll_back(const State& state, const std::vector<JournalOperation>& operations, const ProgressCallback& progress) {
    const Reporter report(progress);
    const std::uint64_t total = operations.size();
    std::uint64_t handled = 0;
    for (auto op = operations.rbegin(); op != operations.rend(); ++op, ++handled) {
        const std::filesystem::path target = client_path(state.root(), op->path, false);
        const std::filesystem::path backup = backup_path(state, op->path);
        if (report.active()) {
            report.items(Stage::recovering, L"Đang phục hồi client bị gián đoạn…", to_wide(op->path), handled, total,
                         true);
        }
        if (op->had_original) {
            if (file_info(backup).exists) restore(state, backup, target);  // else the original was never touched
        } else if (!op->remove) {
            // A file this transaction created; a folder still standing there was never replaced.
            const FileInfo info = file_info(target);
            if (info.exists && !info.is_directory) delete_file(target);
        }
    }
}

// The installed record as it was. A previous release that no longer validates
// (another manifest host, a text grown past the limit when written compactly)
// leaves no record rather than a journal that can never be finished.
void restore_installed(const State& state, const nlohmann::json& previous, const std::wstring& manifest_url) {
    std::optional<Manifest> manifest;
    if (!previous.is_null()) {
        try {
            manifest = manifest_from_json(previous, manifest_url);
        } catch (const std::exception&) {
        }
    }
    if (manifest) {
        write_state_file(state, "installed.json", manifest->text);
    } else {
        delete_file(state.file("installed.json"));
    }
    delete_hash_cache(state);
}

// The end of a transaction that is committed or rolled back: its backups become
// backup-last, its work area and then its journal go.
void tidy_up(const State& state, const ProgressCallback& progress, Stage cleanup_stage) {
    const std::filesystem::path backups = state.file("transaction/backup");
    if (file_info(backups).exists) {
        clean_temporary(state, "backup-last", progress, cleanup_stage);
        move_replace(backups, state.file("backup-last"));
    }
    // The work area goes before the journal: while the journal exists the next run
    // finishes this tidy-up, so a stop in between leaves nothing behind for good.
    clean_temporary(state, "transaction", progress, cleanup_stage);
    delete_file(state.file("journal.json"));
}

}  // namespace

const ApplyCalls& system_apply_calls() {
    static const ApplyCalls calls{&::MoveFileExW};
    return calls;
}

void apply(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
           const Manifest* installed, const std::wstring& manifest_url, const Cancel& cancel,
           const ProgressCallback& progress, const HashCache* staged, HashCache* cache, const ApplyCalls& calls) {
    bool committed = false;
    try {
        apply_journalled(state, release, files, installed, manifest_url, cancel, progress, staged, cache, calls,
                         committed);
    } catch (...) {
        if (!committed) {
            if (cache != nullptr) cache->clear();  // a roll-back deletes the file
            try {
                recover_transaction(state, manifest_url, progress, Stage::recovering);
            } catch (...) {
                // The journal stays and the next start rolls back again; the first failure is what counts.
            }
        }
        throw;
    }
}

bool recover_transaction(const State& state, const std::wstring& manifest_url, const ProgressCallback& progress,
                         Stage cleanup_stage) {
    const std::optional<Journal> journal = read_journal(state);
    if (!journal) return false;
    delete_verified(state);
    if (!journal->committed) {
        roll_back(state, journal->operations, progress);
        restore_installed(state, journal->previous, manifest_url);
    }
    tidy_up(state, progress, cleanup_stage);
    return true;
}

}  // namespace qorn
