#include "state/records.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/urls.hpp"

#include <limits>

namespace qorn {
namespace {

using nlohmann::json;

bool is_non_negative_integer(const json& value) {
    return value.is_number_unsigned() || (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

// The record's own rules; the caller has already found installed.json.
bool record_is_valid(const json& record, const FileInfo& installed) {
    try {
        require_release_id(record.at("releaseId").get<std::string>());
        require_sha256(record.at("manifestSha256").get<std::string>());
        return installed.exists && record.at("installedLength").get<std::uint64_t>() == installed.size &&
               record.at("installedTicks").get<std::uint64_t>() == installed.modified_ticks &&
               is_non_negative_integer(record.at("mainSize"));
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::optional<Manifest> read_installed(const State& state, std::wstring_view manifest_url) {
    const std::filesystem::path path = state.file("installed.json");
    if (!file_info(path).exists) return std::nullopt;
    return parse_manifest(read_file_limited(path, json_file_limit), manifest_url);
}

VerifiedRecord read_verified(const State& state) {
    const std::filesystem::path journal = state.file("journal.json");
    const std::filesystem::path path = state.file("verified-release.json");
    const std::filesystem::path installed = state.file("installed.json");
    if (file_info(journal).exists || !file_info(path).exists) return {};
    VerifiedRecord result;
    try {
        result.record = read_json_file(path);
    } catch (const std::exception&) {
        return {};
    }
    result.valid = record_is_valid(result.record, file_info(installed));
    return result;
}

void write_verified(const State& state, const Manifest& installed) {
    const FileInfo info = file_info(state.file("installed.json"));
    const ClientFile* main = nullptr;
    for (const ClientFile& file : installed.files) {
        if (case_key(to_wide(file.path)) == L"MAIN.EXE") {
            main = &file;
            break;
        }
    }
    require(info.exists && main != nullptr, "Thiếu dữ liệu xác nhận client.");
    write_json_file(state.file("verified-release.json"), json{{"installedLength", info.size},
                                                              {"installedTicks", info.modified_ticks},
                                                              {"mainSize", main->size},
                                                              {"manifestSha256", installed.sha256},
                                                              {"releaseId", installed.releaseId}});
}

void delete_verified(const State& state) { delete_file(state.file("verified-release.json")); }

json read_hash_cache(const State& state) {
    const std::filesystem::path path = state.file("hash-cache.json");
    if (!file_info(path).exists) return json::object();
    json cache = json::parse(read_file_limited(path, json_file_limit), nullptr, false, false);
    return cache.is_object() ? cache : json::object();
}

void write_hash_cache(const State& state, const json& cache) { write_json_file(state.file("hash-cache.json"), cache); }

void delete_hash_cache(const State& state) { delete_file(state.file("hash-cache.json")); }

VerifiedRecord verify_from_hash_cache(const State& state, std::wstring_view manifest_url, const Cancel& cancel) {
    const std::optional<Manifest> installed = read_installed(state, manifest_url);
    if (!installed) return {};
    const json cache = read_hash_cache(state);
    if (cache.size() != installed->files.size()) return {};
    for (const ClientFile& file : installed->files) {
        cancel.check();
        const auto member = cache.find(file.path);
        if (member == cache.end() || !member->is_object()) return {};
        if (member->value("size", std::numeric_limits<std::uint64_t>::max()) != file.size ||
            member->value("sha256", std::string()) != file.sha256) {
            return {};
        }
    }
    write_verified(state, *installed);
    return read_verified(state);
}

void check_ready(const State& state) {
    const VerifiedRecord verified = read_verified(state);
    require(verified.valid, "Client chưa hoàn chỉnh. Hãy bấm Kiểm tra lại để sửa.");
    const FileInfo main = file_info(client_path(state.root(), "Main.exe", false));
    require(main.exists && !main.is_directory && main.size == verified.record.at("mainSize").get<std::uint64_t>(),
            "Main.exe bị thiếu hoặc thay đổi. Hãy bấm Kiểm tra lại.");
}

}  // namespace qorn
