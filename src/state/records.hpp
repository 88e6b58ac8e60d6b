// The records of a client folder, each a typed value with one reader and one
// writer: the installed manifest, the verified-release record that lets a start
// skip the scan, the hash cache, and the last release statement accepted. No in-process lock: callers hold the update
// lock of the folder.
#pragma once

#include "core/cancel.hpp"
#include "release/manifest.hpp"
#include "release/release_statement.hpp"
#include "state/state.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qorn {

// The installed release, or nothing when installed.json is missing or does not
// parse or validate against the manifest URL (nothing of it is then trusted). Its
// files carry no download URL: nothing is fetched from an installed release.
// Failures to read the file itself (a link, a sharing violation) are passed on.
std::optional<Manifest> read_installed(const State& state, std::wstring_view manifest_url);

// installed.json read at most once, when first asked for, and handed down: a run
// reads it only on the paths that need it, so the quick path reads none.
class InstalledRelease {
public:
    InstalledRelease(const State& state, std::wstring_view manifest_url) : state_(state), manifest_url_(manifest_url) {}
    // Null when there is no valid installed record.
    const Manifest* get();

private:
    const State& state_;
    std::wstring manifest_url_;
    bool read_ = false;
    std::optional<Manifest> manifest_;
};

// verified-release.json: the release of installed.json was found complete, and
// installed.json has not changed since.
struct VerifiedRelease {
    std::string release_id;
    std::string manifest_sha256;
    std::uint64_t installed_length = 0;
    std::uint64_t installed_ticks = 0;
    std::uint64_t main_size = 0;
};

// Nothing when the record is missing, unreadable, breaks a rule, or a journal
// exists; only failures to locate or inspect the state files are passed on.
std::optional<VerifiedRelease> read_verified(const State& state);
void write_verified(const State& state, const Manifest& installed);
void delete_verified(const State& state);

// One member of the hash cache (and of the staged entries of a download): the
// size and time a file had when it was last found to match the digest.
struct CacheEntry {
    std::uint64_t size = 0;
    std::uint64_t modified_ticks = 0;
    std::string sha256;
    bool operator==(const CacheEntry&) const = default;
};
// By client path, byte for byte (the cache is case-sensitive).
using HashCache = std::map<std::string, CacheEntry>;

// A member exactly as the launcher writes it, or nothing: it is then not trusted.
std::optional<CacheEntry> read_cache_entry(const nlohmann::json& member);
nlohmann::json cache_entry_json(const CacheEntry& entry);

// Members that are not as the launcher writes them are left out; a cache that is
// missing, not JSON or not an object is empty.
HashCache read_hash_cache(const State& state);
void write_hash_cache(const State& state, const HashCache& cache);
void delete_hash_cache(const State& state);

// Rebuilds the verified record without hashing when the hash cache covers exactly
// the installed release (null: there is none).
std::optional<VerifiedRelease> verify_from_hash_cache(const State& state, const Manifest* installed,
                                                      const Cancel& cancel);

// release-statement.json: the signed release statement this folder accepted last.
// Its sequence is the floor below which a host's statement is refused, so that
// nobody answering for the host can bring back an older signed release.
struct AcceptedStatement {
    std::uint64_t sequence = 0;
    std::string release_id;
    std::string manifest_sha256;
};

// Nothing when the record is missing, or is not JSON or not as the launcher writes
// it (that run then has no floor, as after the player deleted the record); a file
// that cannot be read at all is a failure of the run, not a lost floor.
std::optional<AcceptedStatement> read_accepted_statement(const State& state);
void write_accepted_statement(const State& state, const ReleaseStatement& statement);

// The check before the game starts: a valid record and a Main.exe of the recorded size.
void check_ready(const State& state);

}  // namespace qorn
