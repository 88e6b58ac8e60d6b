#include "selfupdate/launcher_offers.hpp"

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

void require_launcher_size(const nlohmann::json& size) {
    bool valid = false;
    if (size.is_number_unsigned()) {
        const auto value = size.get<std::uint64_t>();
        valid = value > 0 && value <= launcher_size_limit;
    } else if (size.is_number_integer()) {
        const auto value = size.get<std::int64_t>();
        valid = value > 0 && value <= static_cast<std::int64_t>(launcher_size_limit);
    }
    require(valid, "Kích thước Updater không hợp lệ.");
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

void validate_launchers(const nlohmann::json& list, std::wstring_view manifest_url) {
    require(list.is_array() && list.size() <= 2, "Danh sách Updater không hợp lệ.");
    std::set<std::string> runtimes;
    for (const nlohmann::json& entry : list) {
        const auto runtime = entry.at("runtime").get<std::string>();
        require((runtime == "win-x64" || runtime == "win-x86") && runtimes.insert(runtime).second,
                "Kiến trúc Updater sai hoặc trùng.");
        parse_launcher_version(entry.at("version").get<std::string>());
        require_launcher_size(entry.at("size"));
        require_sha256(entry.at("sha256").get<std::string>());
        require_same_host(to_wide(entry.at("url").get<std::string>()), manifest_url);
    }
}

}  // namespace qorn
