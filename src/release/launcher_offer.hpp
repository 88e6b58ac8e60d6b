// Offers of newer launcher builds in a manifest: the version text, the list
// format, and the typed offer that every reader and writer of a list goes
// through (the manifest, offer.json, ready.json). Stateless; safe on any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qorn {

inline constexpr std::uint64_t launcher_size_limit = 67108864;  // 64 MiB

struct LauncherOffer {
    std::string runtime;  // "win-x64" or "win-x86"
    std::string version;  // "a.b.c.d" as offered
    std::uint64_t size = 0;
    std::string sha256;
    std::string url;  // UTF-8, on the manifest's host
};

// "a.b.c.d", each part 0..65535, as a·2^48 + b·2^32 + c·2^16 + d (the layout of
// an executable's file version, so the two compare directly).
std::uint64_t parse_launcher_version(std::string_view text);

// The reader of one offer: every rule but the list's, against the manifest URL.
LauncherOffer validate_launcher(const nlohmann::json& entry, std::wstring_view manifest_url);
// The reader of a list: at most two offers, one per runtime, each valid.
std::vector<LauncherOffer> validate_launchers(const nlohmann::json& list, std::wstring_view manifest_url);

// The writers: keys ascending; unknown keys of the host's entries are not kept.
nlohmann::json launcher_offer_json(const LauncherOffer& offer);
nlohmann::json launcher_offers_json(const std::vector<LauncherOffer>& offers);

}  // namespace qorn
