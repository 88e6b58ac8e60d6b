#include "state/records.hpp"

#include "core/files.hpp"
#include "core/json_text.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/urls.hpp"

#include <limits>

namespace qorn {
namespace {

using nlohmann::json;

// The longest member either layout of the cache can hold (230 path units written
// as \u escapes, two 20-digit numbers, the digest, keys and indentation), for
// twice the files of a release: between a scan and the transaction the cache
// still holds the installed release's files beside the new one's.
constexpr std::uint64_t cache_member_limit = 1600;
constexpr std::uint64_t hash_cache_limit = 2 * manifest_file_limit * cache_member_limit;

std::optional<std::uint64_t> non_negative_integer(const json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return value.get<std::uint64_t>();
    return std::nullopt;
}

// The record's own rules; the caller has already found installed.json.
std::optional<VerifiedRelease> valid_record(const json& record, const FileInfo& installed) {
    try {
        VerifiedRelease verified;
        verified.release_id = record.at("releaseId").get<std::string>();
        verified.manifest_sha256 = record.at("manifestSha256").get<std::string>();
        require_release_id(verified.release_id);
        require_sha256(verified.manifest_sha256);
        // The lengths compare as numbers (12.0 is 12); the Main.exe size must be an integer.
        verified.installed_length = record.at("installedLength").get<std::uint64_t>();
        verified.installed_ticks = record.at("installedTicks").get<std::uint64_t>();
        const std::optional<std::uint64_t> main_size = non_negative_integer(record.at("mainSize"));
        if (!installed.exists || verified.installed_length != installed.size ||
            verified.installed_ticks != installed.modified_ticks || !main_size) {
            return std::nullopt;
        }
        verified.main_size = *main_size;
        return verified;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<Manifest> read_installed(const State& state, std::wstring_view manifest_url) {
    const std::filesystem::path path = state.file("installed.json");
    const FileInfo info = file_info(path);
    if (!info.exists || info.is_directory || info.size > manifest_text_limit) return std::nullopt;
    std::string text = read_file_limited(path, manifest_text_limit);
    try {
        return parse_manifest(std::move(text), manifest_url);
    } catch (const std::exception&) {
        return std::nullopt;  // a record that does not parse or validate is no record
    }
}

const Manifest* InstalledRelease::get() {
    if (!read_) {
        manifest_ = read_installed(state_, manifest_url_);
        read_ = true;
    }
    return manifest_ ? &*manifest_ : nullptr;
}

std::optional<VerifiedRelease> read_verified(const State& state) {
    const std::filesystem::path journal = state.file("journal.json");
    const std::filesystem::path path = state.file("verified-release.json");
    const std::filesystem::path installed = state.file("installed.json");
    if (file_info(journal).exists || !file_info(path).exists) return std::nullopt;
    json record;
    try {
        record = read_json_file(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return valid_record(record, file_info(installed));
}

void write_verified(const State& state, const Manifest& installed) {
    const FileInfo info = file_info(state.file("installed.json"));
    const ClientFile* main = nullptr;
    for (const ClientFile& file : installed.files) {
        if (file.key == game_executable_key()) {
            main = &file;
            break;
        }
    }
    require(info.exists && main != nullptr, "Thiếu dữ liệu xác nhận client.");
    write_state_json(state, "verified-release.json", json{{"installedLength", info.size},
                                                              {"installedTicks", info.modified_ticks},
                                                              {"mainSize", main->size},
                                                              {"manifestSha256", installed.sha256},
                                                              {"releaseId", installed.releaseId}});
}

void delete_verified(const State& state) { delete_file(state.file("verified-release.json")); }

std::optional<CacheEntry> read_cache_entry(const json& member) {
    if (!member.is_object()) return std::nullopt;
    const auto size = member.find("size");
    const auto ticks = member.find("modifiedTicks");
    const auto sha256 = member.find("sha256");
    if (size == member.end() || ticks == member.end() || sha256 == member.end() || !size->is_number_unsigned() ||
        !ticks->is_number_unsigned() || !sha256->is_string()) {
        return std::nullopt;
    }
    return CacheEntry{size->get<std::uint64_t>(), ticks->get<std::uint64_t>(), sha256->get<std::string>()};
}

json cache_entry_json(const CacheEntry& entry) {
    return {{"modifiedTicks", entry.modified_ticks}, {"sha256", entry.sha256}, {"size", entry.size}};
}

HashCache read_hash_cache(const State& state) {
    const std::filesystem::path path = state.file("hash-cache.json");
    if (!file_info(path).exists) return {};
    const std::string text = read_file_limited(path, hash_cache_limit);
    HashCache cache;
    json members;
    try {
        members = parse_json(text);
    } catch (const std::exception&) {
        return cache;  // not JSON, or deeper than any cache: counts as empty
    }
    if (!members.is_object()) return cache;
    for (const auto& [path_text, member] : members.items()) {
        if (std::optional<CacheEntry> entry = read_cache_entry(member)) cache.emplace(path_text, std::move(*entry));
    }
    return cache;
}

void write_hash_cache(const State& state, const HashCache& cache) {
    json members = json::object();
    for (const auto& [path, entry] : cache) members[path] = cache_entry_json(entry);
    write_state_json(state, "hash-cache.json", members, JsonStyle::compact);
}

void delete_hash_cache(const State& state) { delete_file(state.file("hash-cache.json")); }

std::optional<VerifiedRelease> verify_from_hash_cache(const State& state, const Manifest* installed,
                                                      const Cancel& cancel) {
    if (installed == nullptr) return std::nullopt;
    const HashCache cache = read_hash_cache(state);
    if (cache.size() != installed->files.size()) return std::nullopt;
    for (const ClientFile& file : installed->files) {
        cancel.check();
        const auto member = cache.find(file.path);
        if (member == cache.end() || member->second.size != file.size || member->second.sha256 != file.sha256) {
            return std::nullopt;
        }
    }
    write_verified(state, *installed);
    return read_verified(state);
}

std::optional<AcceptedStatement> read_accepted_statement(const State& state) {
    const std::filesystem::path path = state.file("release-statement.json");
    const FileInfo info = file_info(path);
    if (!info.exists || info.is_directory || info.size > release_statement_limit) return std::nullopt;
    const std::string text = read_file_limited(path, release_statement_limit);
    try {
        const json record = parse_json(text);
        if (!record.at("sequence").is_number_unsigned()) return std::nullopt;
        AcceptedStatement accepted{record.at("sequence").get<std::uint64_t>(), record.at("releaseId").get<std::string>(),
                                   record.at("manifestSha256").get<std::string>()};
        require_release_id(accepted.release_id);
        require_sha256(accepted.manifest_sha256);
        return accepted;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void write_accepted_statement(const State& state, const ReleaseStatement& statement) {
    write_state_json(state, "release-statement.json",
                     json{{"manifestSha256", statement.manifest_sha256},
                          {"releaseId", statement.release_id},
                          {"sequence", statement.sequence}});
}

void check_ready(const State& state) {
    const std::optional<VerifiedRelease> verified = read_verified(state);
    require(verified.has_value(), "Client chưa hoàn chỉnh. Hãy bấm Kiểm tra lại để sửa.");
    const FileInfo main = file_info(client_path(state.root(), game_executable, false));
    require(main.exists && !main.is_directory && main.size == verified->main_size,
            "Main.exe bị thiếu hoặc thay đổi. Hãy bấm Kiểm tra lại.");
}

}  // namespace qorn
