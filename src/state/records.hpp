// The records of a client folder: the installed manifest, the verified-release
// record that lets a start skip the scan, and the hash cache. No in-process lock:
// callers hold the update lock of the folder.
#pragma once

#include "core/cancel.hpp"
#include "release/manifest.hpp"
#include "state/state.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace qorn {

struct VerifiedRecord {
    nlohmann::json record;  // the parsed record, whatever its validity
    bool valid = false;
};

// Absent when there is no installed.json; read and parse failures are not caught.
std::optional<Manifest> read_installed(const State& state, std::wstring_view manifest_url);

// A record that cannot be read or breaks a rule is simply not valid; only failures
// to locate or inspect the state files themselves are passed on.
VerifiedRecord read_verified(const State& state);
void write_verified(const State& state, const Manifest& installed);
void delete_verified(const State& state);

// An empty object when the cache is missing, not JSON or not an object.
nlohmann::json read_hash_cache(const State& state);
void write_hash_cache(const State& state, const nlohmann::json& cache);
void delete_hash_cache(const State& state);

// Rebuilds the verified record without hashing when the hash cache covers exactly
// the installed release.
VerifiedRecord verify_from_hash_cache(const State& state, std::wstring_view manifest_url, const Cancel& cancel);

// The check before the game starts: a valid record and a Main.exe of the recorded size.
void check_ready(const State& state);

}  // namespace qorn
