// Release identifiers and the URLs the launcher may contact: https only (plain
// http for loopback hosts), no credentials, no fragment, one host per release.
// Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qorn {

struct UrlParts {
    std::wstring host;  // as written, letter case unchanged
    std::wstring path;  // path plus query; "/" when the URL has neither
    std::uint16_t port = 0;
    bool https = false;
};

void require_release_id(std::string_view id);
UrlParts crack_url(std::wstring_view url);
// Same scheme, same host by case key, same port; path and query are not compared.
void require_same_host(std::wstring_view url, std::wstring_view manifest_url);
// The same against a manifest URL cracked once, for callers that check many URLs.
void require_same_host(std::wstring_view url, const UrlParts& manifest);

// The update host compiled into this build, and its manifest URL.
std::wstring update_host();
std::wstring default_manifest_url();

}  // namespace qorn
