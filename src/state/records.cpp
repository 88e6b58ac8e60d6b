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

// A string as the library writes it in compact UTF-8 (invalid UTF-8 fails).
void append_json_string(std::string& text, const std::string& value) {
    text += json(value).dump(-1, ' ', false, json::error_handler_t::strict);
}

// Parse events of hash-cache.json straight into the cache: the document of a large
// client's cache would take several times its tens of megabytes of text. A member
// counts when it is an object whose last "size", "modifiedTicks" and "sha256" are an
// unsigned integer, an unsigned integer and a string (as read_cache_entry judges a
// document); the last of two members of one name counts, as in a document. Anything
// that stops the parse (no object at the top, a syntax error, a nesting deeper than
// any JSON the launcher reads) leaves the caller to treat the cache as empty.
class CacheReader {
public:
    explicit CacheReader(HashCache& cache) : cache_(cache) {}

    bool null() { return field(Field::other); }
    bool boolean(bool) { return field(Field::other); }
    bool number_integer(json::number_integer_t) { return field(Field::other); }
    bool number_unsigned(json::number_unsigned_t value) {
        if (depth_ == 2 && name_ == Name::size) size_ = value;
        if (depth_ == 2 && name_ == Name::ticks) ticks_ = value;
        return field(Field::number);
    }
    bool number_float(json::number_float_t, const std::string&) { return field(Field::other); }
    bool string(std::string& value) {
        if (depth_ == 2 && name_ == Name::sha256) sha256_ = std::move(value);
        return field(Field::text);
    }
    bool binary(json::binary_t&) { return field(Field::other); }

    bool start_object(size_t) { return open(true); }
    bool start_array(size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        if (depth_ == 1) {
            path_ = std::move(name);
        } else if (depth_ == 2) {
            name_ = name == "size" ? Name::size : name == "modifiedTicks" ? Name::ticks
                  : name == "sha256" ? Name::sha256 : Name::other;
        }
        return true;
    }

    template <class Exception>
    bool parse_error(size_t, const std::string&, const Exception&) {
        return false;
    }

private:
    enum class Name { size, ticks, sha256, other };
    enum class Field { number, text, other };

    // A value at the top is refused; one at the member level is a member that is no
    // object; one inside a member sets the kind of the field it names.
    bool field(Field kind) {
        if (depth_ == 0) return false;
        if (depth_ == 1) cache_.erase(path_);
        if (depth_ == 2) set_kind(kind);
        return true;
    }

    void set_kind(Field kind) {
        if (name_ == Name::size) size_ok_ = kind == Field::number;
        if (name_ == Name::ticks) ticks_ok_ = kind == Field::number;
        if (name_ == Name::sha256) sha256_ok_ = kind == Field::text;
    }

    bool open(bool object) {
        if (depth_ == 0 && !object) return false;
        if (depth_ == 1) {
            member_is_object_ = object;
            size_ok_ = ticks_ok_ = sha256_ok_ = false;
        }
        if (depth_ == 2) set_kind(Field::other);
        return ++depth_ <= json_depth_limit;
    }

    bool close() {
        if (--depth_ == 1) {
            if (member_is_object_ && size_ok_ && ticks_ok_ && sha256_ok_) {
                cache_[path_] = CacheEntry{size_, ticks_, sha256_};
            } else {
                cache_.erase(path_);
            }
        }
        return true;
    }

    HashCache& cache_;
    size_t depth_ = 0;
    std::string path_;
    Name name_ = Name::other;
    bool member_is_object_ = false;
    bool size_ok_ = false;
    bool ticks_ok_ = false;
    bool sha256_ok_ = false;
    std::uint64_t size_ = 0;
    std::uint64_t ticks_ = 0;
    std::string sha256_;
};

}  // namespace

std::optional<Manifest> read_installed(const State& state, std::wstring_view manifest_url) {
    const std::filesystem::path path = state.file("installed.json");
    const FileInfo info = file_info(path);
    if (!info.exists || info.is_directory || info.size > manifest_text_limit) return std::nullopt;
    std::string text = read_file_limited(path, manifest_text_limit);
    try {
        // Nothing is downloaded from an installed release; its addresses would take a
        // fifth of a large release's memory for as long as the run holds it.
        return parse_manifest(std::move(text), manifest_url, FileUrls::checked_only);
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
    CacheReader reader(cache);
    // Not JSON, deeper than any cache or not an object: counts as empty.
    if (!json::sax_parse(text, &reader, json::input_format_t::json, true, false)) cache.clear();
    return cache;
}

void write_hash_cache(const State& state, const HashCache& cache) {
    // The members written one by one, as the library writes the whole object compactly
    // (keys ascending, as the map holds them), straight to the file: a document of the
    // cache would take several times its text, and the text tens of megabytes.
    write_state_streamed(state, "hash-cache.json", [&](const ByteSink& sink) {
        std::string member;
        char separator = '{';
        for (const auto& [path, entry] : cache) {
            member = separator;
            separator = ',';
            append_json_string(member, path);
            member += ":{\"modifiedTicks\":";
            member += std::to_string(entry.modified_ticks);
            member += ",\"sha256\":";
            append_json_string(member, entry.sha256);
            member += ",\"size\":";
            member += std::to_string(entry.size);
            member += '}';
            sink(member);
        }
        sink(cache.empty() ? "{}" : "}");
    });
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
