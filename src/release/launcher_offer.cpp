#include "release/launcher_offer.hpp"

#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/urls.hpp"

#include <set>
#include <string>

namespace qorn {
namespace {

std::uint64_t parse_part(std::string_view part) {
    require(!part.empty(), "Phiên bản Updater không hợp lệ.");
    std::uint64_t value = 0;
    for (char c : part) {
        require(c >= '0' && c <= '9', "Phiên bản Updater không hợp lệ.");
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        require(value <= 65535, "Phiên bản Updater không hợp lệ.");
    }
    return value;
}

std::uint64_t read_launcher_size(const nlohmann::json& size) {
    bool valid = false;
    std::uint64_t value = 0;
    if (size.is_number_unsigned()) {
        value = size.get<std::uint64_t>();
        valid = value > 0 && value <= launcher_size_limit;
    } else if (size.is_number_integer()) {
        const auto signed_value = size.get<std::int64_t>();
        valid = signed_value > 0 && signed_value <= static_cast<std::int64_t>(launcher_size_limit);
        value = static_cast<std::uint64_t>(signed_value);
    }
    require(valid, "Kích thước Updater không hợp lệ.");
    return value;
}

}  // namespace

std::uint64_t parse_launcher_version(std::string_view text) {
    size_t dots = 0;
    for (char c : text) dots += c == '.' ? 1 : 0;
    require(dots == 3, "Phiên bản Updater phải có bốn phần.");
    std::uint64_t version = 0;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = text.find('.', start);
        version = (version << 16) + parse_part(text.substr(start, dot == std::string_view::npos ? text.npos : dot - start));
        start = dot + 1;
    }
    return version;
}

LauncherOffer validate_launcher(const nlohmann::json& entry, std::wstring_view manifest_url) {
    LauncherOffer offer;
    offer.runtime = entry.at("runtime").get<std::string>();
    require(offer.runtime == "win-x64" || offer.runtime == "win-x86", "Kiến trúc Updater sai hoặc trùng.");
    offer.version = entry.at("version").get<std::string>();
    parse_launcher_version(offer.version);
    offer.size = read_launcher_size(entry.at("size"));
    offer.sha256 = entry.at("sha256").get<std::string>();
    require_sha256(offer.sha256);
    offer.url = entry.at("url").get<std::string>();
    require_same_host(to_wide(offer.url), manifest_url);
    return offer;
}

std::vector<LauncherOffer> validate_launchers(const nlohmann::json& list, std::wstring_view manifest_url) {
    require(list.is_array() && list.size() <= 2, "Danh sách Updater không hợp lệ.");
    std::vector<LauncherOffer> offers;
    std::set<std::string> runtimes;
    for (const nlohmann::json& entry : list) {
        // The runtime's own test comes first, as for a single offer, then the list's.
        const auto runtime = entry.at("runtime").get<std::string>();
        require((runtime == "win-x64" || runtime == "win-x86") && runtimes.insert(runtime).second,
                "Kiến trúc Updater sai hoặc trùng.");
        offers.push_back(validate_launcher(entry, manifest_url));
    }
    return offers;
}

nlohmann::json launcher_offer_json(const LauncherOffer& offer) {
    return {{"runtime", offer.runtime},
            {"sha256", offer.sha256},
            {"size", offer.size},
            {"url", offer.url},
            {"version", offer.version}};
}

nlohmann::json launcher_offers_json(const std::vector<LauncherOffer>& offers) {
    nlohmann::json list = nlohmann::json::array();
    for (const LauncherOffer& offer : offers) list.push_back(launcher_offer_json(offer));
    return list;
}

}  // namespace qorn
