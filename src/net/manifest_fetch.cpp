#include "net/manifest_fetch.hpp"

#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/release_statement.hpp"

#include <algorithm>
#include <string>

namespace qorn {
namespace {

constexpr std::int32_t question_timeout_ms = 5000;
constexpr std::int32_t manifest_timeout_ms = 45000;
constexpr std::uint32_t prefix_piece = 4096;
constexpr size_t prefix_limit = 65536;

// "W/" and one pair of surrounding double quotes are dropped.
std::wstring bare_entity_tag(std::wstring tag) {
    if (tag.starts_with(L"W/")) tag.erase(0, 2);
    if (tag.size() >= 2 && tag.front() == L'"' && tag.back() == L'"') tag = tag.substr(1, tag.size() - 2);
    return tag;
}

// A host without HEAD: read the manifest's start until its release id shows.
bool prefix_names_release(Network& network, const std::string& release_id) {
    const auto response = network.request(network.manifest_url(), L"GET", L"", question_timeout_ms);
    if (response->status() != 200) throw NetworkError("Hosting chưa sẵn sàng.");
    std::string text;
    char piece[prefix_piece];
    while (text.size() < prefix_limit) {
        const auto capacity = static_cast<std::uint32_t>(std::min<size_t>(prefix_piece, prefix_limit - text.size()));
        const std::uint32_t got = response->read_some(piece, capacity);
        if (got == 0) return false;
        text.append(piece, got);
        if (const auto found = prefix_release(text)) return *found == release_id;
    }
    return false;
}

}  // namespace

bool release_is_current(Network& network, const std::string& release_id, const std::string& digest) {
    // The digest goes into a header line: only a well-formed one may.
    require_sha256(digest);
    {
        const auto head = network.request(network.manifest_url(), L"HEAD",
                                          L"If-None-Match: \"" + to_wide(digest) + L"\"\r\n", question_timeout_ms);
        const std::uint32_t status = head->status();
        if (status == 304) return true;
        if (status != 200 && status != 405 && status != 501) {
            throw NetworkError("Hosting trả lỗi HTTP " + std::to_string(status));
        }
        if (status == 200) {
            const std::wstring release = head->header(L"X-QORN-Release");
            const std::wstring tag = head->header(L"ETag");
            if (!release.empty() && !tag.empty()) {
                const std::string host_release = to_utf8(release);
                const std::string host_digest = to_utf8(bare_entity_tag(tag));
                require_release_id(host_release);
                require_sha256(host_digest);
                return host_release == release_id && host_digest == digest;
            }
        }
    }
    return prefix_names_release(network, release_id);
}

std::string fetch_manifest_text(Network& network) {
    const auto response = network.request(network.manifest_url(), L"GET", L"", manifest_timeout_ms);
    if (response->status() != 200) {
        throw NetworkError("Không tải được manifest, HTTP " + std::to_string(response->status()));
    }
    return response->read_all(manifest_text_limit);
}

Manifest fetch_manifest(Network& network) { return parse_manifest(fetch_manifest_text(network), network.manifest_url()); }

std::optional<std::string> fetch_release_statement(Network& network) {
    const auto response =
        network.request(release_statement_url(network.manifest_url()), L"GET", L"", question_timeout_ms);
    const std::uint32_t status = response->status();
    if (status == 404) return std::nullopt;
    if (status != 200) throw NetworkError("Hosting trả lỗi HTTP " + std::to_string(status));
    // One byte past the limit is enough for the reader to refuse the statement as too large.
    std::string text;
    char piece[prefix_piece];
    while (text.size() <= release_statement_limit) {
        const std::uint32_t got = response->read_some(piece, prefix_piece);
        if (got == 0) break;
        text.append(piece, got);
    }
    return text;
}

}  // namespace qorn
