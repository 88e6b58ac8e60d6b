#include "update/local_copies.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "state/records.hpp"

#include <map>
#include <optional>
#include <utility>

namespace qorn {
namespace {

using Content = std::pair<std::uint64_t, std::string>;  // size, SHA-256

class Sources {
public:
    // Only installed files with a content some file to fetch wants are candidates.
    Sources(const State& state, const std::vector<ClientFile>& files, const Manifest& installed,
            const HashCache& cache, const Cancel& cancel)
        : state_(state), cache_(cache), cancel_(cancel) {
        for (const ClientFile& file : files) candidates_.try_emplace({file.size, file.sha256});
        for (const ClientFile& file : installed.files) {
            const auto wanted = candidates_.find({file.size, file.sha256});
            if (wanted != candidates_.end()) wanted->second.push_back(&file);
        }
    }

    // A client file that holds the content now, or nothing.
    std::optional<std::filesystem::path> find(const ClientFile& wanted) {
        const auto found = candidates_.find({wanted.size, wanted.sha256});
        if (found == candidates_.end()) return std::nullopt;
        for (const ClientFile* candidate : found->second) {
            if (candidate->key == wanted.key) continue;  // the file being replaced itself
            const std::filesystem::path path = client_path(state_.root(), candidate->path, false);
            if (vouched(*candidate, path)) return path;
        }
        return std::nullopt;
    }

private:
    bool vouched(const ClientFile& file, const std::filesystem::path& path) {
        const FileInfo info = file_info(path);
        if (!info.exists || info.is_directory || info.size != file.size) return false;
        const auto member = cache_.find(file.path);
        if (member != cache_.end() && member->second.size == info.size &&
            member->second.modified_ticks == info.modified_ticks && member->second.sha256 == file.sha256) {
            return true;
        }
        return file_matches(path, file.size, file.sha256, cancel_, {});
    }

    const State& state_;
    const HashCache& cache_;
    const Cancel& cancel_;
    std::map<Content, std::vector<const ClientFile*>> candidates_;
};

}  // namespace

std::vector<ClientFile> stage_local_copies(const State& state, const std::vector<ClientFile>& files,
                                           const Manifest& installed, const HashCache& cache, const Cancel& cancel,
                                           const ProgressCallback& progress) {
    const Reporter report(progress);
    Sources sources(state, files, installed, cache, cancel);
    std::vector<ClientFile> copied;
    for (const ClientFile& file : files) {
        cancel.check();
        const std::optional<std::filesystem::path> source = sources.find(file);
        if (!source) continue;
        if (report.active()) {
            report.items(Stage::downloading, L"Sao chép dữ liệu đã có trong client…", to_wide(file.path),
                         copied.size(), files.size(), false);
        }
        const std::filesystem::path staged = staging_path(state, file.path);
        std::filesystem::path partial = staged;
        partial += L".local";
        std::filesystem::create_directories(staged.parent_path());
        copy_file(*source, partial, [&](std::uint64_t) { cancel.check(); });
        move_replace(partial, staged);  // whole or not at all: a download never resumes a copy
        copied.push_back(file);
    }
    return copied;
}

}  // namespace qorn
