// Signed release statements: api/release.json beside the manifest says which
// manifest the holder of a release key vouches for, with a sequence number that
// grows with every signature and a time after which it no longer counts. Plain
// values; the functions are stateless and safe on any thread.
#pragma once

#include "core/signature.hpp"
#include "release/manifest.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qorn {

inline constexpr std::size_t release_statement_limit = 16384;

struct ReleaseStatement {
    std::string release_id;
    std::string manifest_sha256;
    std::uint64_t sequence = 0;
    std::string expires;              // "YYYY-MM-DDTHH:MM:SSZ", as signed
    std::uint64_t expires_ticks = 0;  // the same instant in 100 ns units since 0001-01-01 UTC
};

// The manifest URL with its last path segment replaced by "release.json" (its query kept).
std::wstring release_statement_url(std::wstring_view manifest_url);

// Reads the envelope {"statement":"<base64 of the statement's JSON>","signature":
// "<base64 of r‖s>"} and checks, in this order, the first failure ending it: the
// envelope and the statement are well-formed JSON of the expected members and
// types; the signature verifies over the statement's exact bytes with one of the
// keys; the release id, digest and expiry time follow their rules. Expiry and
// sequence are left to the caller (below), which decides the order of messages.
ReleaseStatement read_release_statement(std::string_view envelope, std::span<const EcdsaPublicKey> keys);
// The same with the keys of this build.
ReleaseStatement read_release_statement(std::string_view envelope);

// "YYYY-MM-DDTHH:MM:SSZ" as ticks; anything else fails.
std::uint64_t parse_utc_time(std::string_view text);
std::uint64_t utc_now_ticks();

// Fails once `now_ticks` has reached the statement's expiry time.
void require_not_expired(const ReleaseStatement& statement, std::uint64_t now_ticks);
// Fails for a sequence below the one this client folder accepted last (a host
// that serves an older signed release); the same sequence passes.
void require_not_older(const ReleaseStatement& statement, std::uint64_t accepted_sequence);
// Fails unless the statement names this manifest (release id and digest of its text).
void require_statement_of(const ReleaseStatement& statement, const Manifest& manifest);

}  // namespace qorn
