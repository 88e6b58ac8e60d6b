#include "release/manifest.hpp"

#include "core/files.hpp"
#include "core/json_text.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/manifest_reader.hpp"
#include "release/urls.hpp"

#include <algorithm>
#include <exception>
#include <future>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace qorn {
namespace {

using nlohmann::json;
using Keys = std::set<std::wstring>;
// File keys (views of the keys in the manifest's file list) with their position in
// it, so packages can mark files as listed.
using FileKeys = std::unordered_map<std::wstring_view, size_t>;

constexpr std::uint64_t size_top = 0x7fffffffffffffffULL;
constexpr size_t parallel_digest_size = 1048576;

// The empty array when the member is absent; the library's type error when it is no array.
const json::array_t& optional_array(const json& document, const char* key) {
    static const json::array_t empty;
    const auto member = document.find(key);
    return member == document.end() ? empty : member->get_ref<const json::array_t&>();
}

// Only the integer 1 is schema 1: not true, 1.7, or a number that wraps to 1.
bool is_schema_one(const json& document) {
    const auto schema = document.find("schemaVersion");
    return schema != document.end() && schema->is_number_integer() && *schema == json(1);
}

void require_pc_shape(const json& document, const ManifestReader& reader) {
    require(is_schema_one(document) && reader.files_is_array() && reader.file_count() != 0 &&
                reader.file_count() <= manifest_file_limit,
            "Manifest không đúng định dạng PC.");
}

// The rules that join entries, in document order; an entry that broke a rule of its
// own is where the reader stopped.
void check_files(const Manifest& manifest, const ManifestReader& reader, FileKeys& file_keys) {
    std::uint64_t total = 0;
    file_keys.reserve(manifest.files.size());
    for (size_t i = 0; i < manifest.files.size(); ++i) {
        const ClientFile& file = manifest.files[i];
        require(file_keys.emplace(file.key, i).second, "Manifest chứa file trùng tên.");
        require(file.size <= size_top - total, "Tổng dung lượng client vượt giới hạn.");
        total += file.size;
    }
    if (reader.entry_failure()) std::rethrow_exception(reader.entry_failure());
    require(file_keys.count(game_executable_key()) != 0, "Bản phát hành phải có Main.exe.");
}

void read_directories(Manifest& manifest, const json& document, const FileKeys& file_keys, Keys& folder_keys) {
    for (const json& entry : optional_array(document, "directories")) {
        auto directory = entry.get<std::string>();
        require_client_path(directory, false);
        std::wstring key = case_key(to_wide(directory));
        require(file_keys.count(key) == 0 && folder_keys.insert(std::move(key)).second,
                "Thư mục trùng với file/thư mục khác.");
        manifest.directories.push_back(std::move(directory));
    }
}

// No file may stand where another entry needs a folder on its way.
void require_no_file_on_the_way(std::wstring_view key, const FileKeys& file_keys) {
    for (size_t slash = key.find(L'/'); slash != std::wstring::npos; slash = key.find(L'/', slash + 1)) {
        require(file_keys.count(key.substr(0, slash)) == 0, "Đường dẫn thư mục trùng với file.");
    }
}

void require_folders_on_the_way(const FileKeys& file_keys, const Keys& folder_keys) {
    for (const auto& [key, index] : file_keys) require_no_file_on_the_way(key, file_keys);
    for (const std::wstring& key : folder_keys) require_no_file_on_the_way(key, file_keys);
}

void read_packages(Manifest& manifest, const json& document, const UrlParts& manifest_url,
                   const FileKeys& file_keys) {
    std::uint64_t total = 0;
    std::set<std::string> digests;
    std::vector<bool> listed(file_keys.size(), false);
    size_t listed_count = 0;
    for (const json& entry : optional_array(document, "packages")) {
        Package package;
        package.url = to_wide(entry.at("url").get<std::string>());
        package.size = read_size(entry);
        package.sha256 = entry.at("sha256").get<std::string>();
        package.files = entry.at("files").get<std::vector<std::string>>();
        require_same_host(package.url, manifest_url);
        require_sha256(package.sha256);
        total = add_size(total, package.size);
        require(package.size != 0 && !package.files.empty() && digests.insert(package.sha256).second,
                "Gói cài mới không hợp lệ.");
        for (const std::string& name : package.files) {
            const auto file = file_keys.find(case_key(to_wide(name)));
            require(file != file_keys.end() && !listed[file->second], "Gói ZIP chứa danh sách file sai/trùng.");
            listed[file->second] = true;
            ++listed_count;
        }
        manifest.packages.push_back(std::move(package));
    }
    require(manifest.packages.empty() || listed_count == file_keys.size(), "Gói cài mới chưa chứa đủ file.");
}

}  // namespace

Manifest parse_manifest(std::string text, std::wstring_view manifest_url, FileUrls urls) {
    require(text.size() <= manifest_text_limit, "Manifest vượt giới hạn 64 MB.");
    // The digest of a large text takes as long as a good part of the validation, so
    // it is computed on a second thread meanwhile (the future joins on every way out).
    // A small text is hashed in place: starting a thread costs more than hashing it.
    std::future<std::string> digest;
    if (text.size() >= parallel_digest_size) {
        digest = std::async(std::launch::async, [&text] { return sha256_hex(text); });
    }
    // The library's writer, copy and comparison recurse once per level.
    require(json_depth_within(text), "Manifest không đúng định dạng PC.");
    // Lives only here: nothing after the validation reads the document (see Manifest).
    json document;
    // About the text a file entry takes at least (its digest alone is 64 bytes): the list
    // is made once at about its size rather than grown by doubling, copies and all.
    constexpr size_t shortest_entry = 128;
    ManifestReader reader(document, manifest_url, urls,
                          std::min(text.size() / shortest_entry + 1, manifest_file_limit));
    json::sax_parse(text, &reader, json::input_format_t::json, true, false);
    require_pc_shape(document, reader);
    Manifest manifest;
    manifest.releaseId = document.at("releaseId").get<std::string>();
    require_release_id(manifest.releaseId);
    const auto launchers = document.find("launchers");
    manifest.launchers = validate_launchers(launchers != document.end() ? *launchers : json::array(), manifest_url);

    reader.rethrow_url_failure();
    const UrlParts manifest_parts = crack_url(manifest_url);
    manifest.files = reader.take_files();
    FileKeys file_keys;
    Keys folder_keys;
    check_files(manifest, reader, file_keys);
    read_directories(manifest, document, file_keys, folder_keys);
    require_folders_on_the_way(file_keys, folder_keys);
    read_packages(manifest, document, manifest_parts, file_keys);

    manifest.sha256 = digest.valid() ? digest.get() : sha256_hex(text);
    manifest.text = std::move(text);
    return manifest;
}

Manifest manifest_from_json(const json& value, std::wstring_view manifest_url) {
    return parse_manifest(value.dump(-1, ' ', false, json::error_handler_t::strict), manifest_url);
}

std::vector<ClientFile> files_dropped_by(const Manifest& next, const Manifest& installed) {
    std::unordered_set<std::wstring_view> kept;
    kept.reserve(next.files.size());
    for (const ClientFile& file : next.files) kept.insert(file.key);
    std::vector<ClientFile> dropped;
    for (const ClientFile& file : installed.files) {
        if (!kept.count(file.key)) dropped.push_back(file);
    }
    return dropped;
}

std::optional<std::string> prefix_release(std::string_view text) {
    std::string last_key;
    std::optional<std::string> release;
    std::optional<std::int64_t> schema;
    const json::parser_callback_t watch = [&](int depth, json::parse_event_t event, json& parsed) {
        if (depth != 1) return true;
        if (event == json::parse_event_t::key) {
            last_key = parsed.get<std::string>();
        } else if (event == json::parse_event_t::value) {
            if (last_key == "releaseId" && parsed.is_string()) release = parsed.get<std::string>();
            if (last_key == "schemaVersion" && parsed.is_number_integer()) schema = parsed.get<std::int64_t>();
        }
        return true;
    };
    // An incomplete or malformed text stops the parse quietly; what was seen counts.
    [[maybe_unused]] const json seen = json::parse(text, watch, false, false);
    if (schema != 1 || !release) return std::nullopt;
    require_release_id(*release);
    return release;
}

}  // namespace qorn
