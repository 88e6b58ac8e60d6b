// Offers of newer launcher builds in a manifest: the version text and the list
// format. Stateless; safe on any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string_view>

namespace qorn {

inline constexpr std::uint64_t launcher_size_limit = 67108864;  // 64 MiB

// "a.b.c.d", each part 0..65535, as a·2^48 + b·2^32 + c·2^16 + d (the layout of
// an executable's file version, so the two compare directly).
std::uint64_t parse_launcher_version(std::string_view text);

// At most two offers, one per runtime ("win-x64", "win-x86"), each on the manifest's host.
void validate_launchers(const nlohmann::json& list, std::wstring_view manifest_url);

}  // namespace qorn
