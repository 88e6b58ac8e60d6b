#include "release/release_statement.hpp"

#include "core/base64.hpp"
#include "core/files.hpp"
#include "core/json_text.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/release_keys.hpp"
#include "release/urls.hpp"

#include <algorithm>
#include <optional>

namespace qorn {
namespace {

using nlohmann::json;

const char* const malformed = "Thông tin bản phát hành không đúng định dạng.";
const char* const bad_time = "Thời hạn của thông tin bản phát hành không hợp lệ.";

// A JSON object, or nothing for any text that is not one.
std::optional<json> object_of(std::string_view text) {
    try {
        json value = parse_json(text);
        if (value.is_object()) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::string string_member(const json& object, const char* key) {
    const auto member = object.find(key);
    require(member != object.end() && member->is_string(), malformed);
    return member->get<std::string>();
}

std::string base64_member(const json& object, const char* key) {
    std::optional<std::string> bytes = decode_base64(string_member(object, key));
    require(bytes.has_value(), malformed);
    return std::move(*bytes);
}

bool signed_by_one_of(std::span<const EcdsaPublicKey> keys, std::string_view message, std::string_view signature) {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const EcdsaPublicKey& key) { return ecdsa_p256_verify(key, message, signature); });
}

unsigned number_at(std::string_view text, std::size_t at, std::size_t digits) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
        require(text[i] >= '0' && text[i] <= '9', bad_time);
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

bool is_leap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::wstring release_statement_url(std::wstring_view manifest_url) {
    crack_url(manifest_url);
    std::wstring url(manifest_url);
    const std::size_t path_end = std::min(url.find(L'?'), url.size());
    const std::size_t path = url.find(L'/', url.find(L"://") + 3);
    if (path >= path_end) return url.insert(path_end, L"/release.json");
    const std::size_t slash = url.rfind(L'/', path_end - 1);
    return url.replace(slash + 1, path_end - slash - 1, L"release.json");
}

ReleaseStatement read_release_statement(std::string_view envelope, std::span<const EcdsaPublicKey> keys) {
    require(envelope.size() <= release_statement_limit, "Thông tin bản phát hành vượt giới hạn 16 KB.");
    const std::optional<json> outer = object_of(envelope);
    require(outer.has_value(), malformed);
    const std::string text = base64_member(*outer, "statement");
    const std::string signature = base64_member(*outer, "signature");
    const std::optional<json> inner = object_of(text);
    require(inner.has_value(), malformed);
    ReleaseStatement statement;
    statement.release_id = string_member(*inner, "releaseId");
    statement.manifest_sha256 = string_member(*inner, "manifestSha256");
    statement.expires = string_member(*inner, "expires");
    const auto sequence = inner->find("sequence");
    require(sequence != inner->end() && sequence->is_number_unsigned(), malformed);
    statement.sequence = sequence->get<std::uint64_t>();

    require(signed_by_one_of(keys, text, signature), "Chữ ký bản phát hành không hợp lệ.");

    require_release_id(statement.release_id);
    require_sha256(statement.manifest_sha256);
    statement.expires_ticks = parse_utc_time(statement.expires);
    return statement;
}

ReleaseStatement read_release_statement(std::string_view envelope) {
    return read_release_statement(envelope, build_release_keys());
}

std::uint64_t parse_utc_time(std::string_view text) {
    require(text.size() == 20 && text[4] == '-' && text[7] == '-' && text[10] == 'T' && text[13] == ':' &&
                text[16] == ':' && text[19] == 'Z',
            bad_time);
    const unsigned year = number_at(text, 0, 4), month = number_at(text, 5, 2), day = number_at(text, 8, 2);
    const unsigned hour = number_at(text, 11, 2), minute = number_at(text, 14, 2), second = number_at(text, 17, 2);
    static constexpr unsigned month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    require(year >= 1 && month >= 1 && month <= 12 && day >= 1 &&
                day <= month_days[month - 1] + (month == 2 && is_leap(year)) && hour < 24 && minute < 60 &&
                second < 60,
            bad_time);
    const std::uint64_t years = year - 1;
    std::uint64_t days = years * 365 + years / 4 - years / 100 + years / 400 + day - 1;
    for (unsigned m = 1; m < month; ++m) days += month_days[m - 1] + (m == 2 && is_leap(year));
    return ((days * 24 + hour) * 60 + minute) * 60 * 10000000ULL + second * 10000000ULL;
}

std::uint64_t utc_now_ticks() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) + file_time_to_ticks;
}

void require_not_expired(const ReleaseStatement& statement, std::uint64_t now_ticks) {
    // The player's clock is the usual suspect when a statement the host renews in time reads as expired.
    require(now_ticks < statement.expires_ticks,
            "Thông tin bản phát hành đã hết hạn lúc " + statement.expires.substr(0, 10) + " " +
                statement.expires.substr(11, 8) + " UTC. Hãy kiểm tra ngày giờ của máy hoặc thử lại sau.");
}

void require_not_older(const ReleaseStatement& statement, std::uint64_t accepted_sequence) {
    require(statement.sequence >= accepted_sequence,
            "Thông tin bản phát hành cũ hơn bản đã xác nhận trên máy này (số thứ tự " +
                std::to_string(statement.sequence) + ", đã xác nhận " + std::to_string(accepted_sequence) + ").");
}

void require_statement_of(const ReleaseStatement& statement, const Manifest& manifest) {
    require(statement.release_id == manifest.releaseId && statement.manifest_sha256 == manifest.sha256,
            "Manifest không khớp với bản phát hành đã ký.");
}

}  // namespace qorn
