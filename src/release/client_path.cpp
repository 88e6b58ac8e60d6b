#include "release/client_path.hpp"

#include "core/files.hpp"
#include "core/text.hpp"

#include <windows.h>

#include <array>
#include <vector>

namespace qorn {
namespace {

constexpr size_t longest_path = 230;  // UTF-16 code units

std::vector<std::wstring_view> split_segments(std::wstring_view path) {
    std::vector<std::wstring_view> segments;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find(L'/', start);
        segments.push_back(path.substr(start, slash == std::wstring_view::npos ? std::wstring_view::npos : slash - start));
        if (slash == std::wstring_view::npos) return segments;
        start = slash + 1;
    }
}

bool is_unsafe(std::wstring_view segment) {
    return segment.empty() || segment == L"." || segment == L".." || segment.back() == L'.' || segment.back() == L' ';
}

bool has_forbidden_character(std::wstring_view segment) {
    for (wchar_t c : segment) {
        if (c < 0x20 || std::wstring_view(L"\\:<>\"|?*").find(c) != std::wstring_view::npos) return true;
    }
    return false;
}

bool is_device_name(std::wstring_view segment) {
    const std::wstring_view raw_stem = segment.substr(0, segment.find(L'.'));
    if (raw_stem.size() != 3 && raw_stem.size() != 4) return false;  // no device name has another length
    const std::wstring stem = case_key(raw_stem);
    if (stem == L"CON" || stem == L"NUL" || stem == L"PRN" || stem == L"AUX") return true;
    if (stem.size() != 4 || !(stem.starts_with(L"COM") || stem.starts_with(L"LPT"))) return false;
    const wchar_t digit = stem[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

bool is_launcher_name(std::wstring_view segment) {
    static const std::array<std::wstring_view, 3> names = {L".QORN-LAUNCHER", L"UPDATER.EXE", L"QORNUPDATETOOL.EXE"};
    if (segment.size() != 11 && segment.size() != 14 && segment.size() != 18) return false;
    const std::wstring key = case_key(segment);
    for (std::wstring_view name : names) {
        if (key == name) return true;
    }
    return false;
}

}  // namespace

const std::wstring& game_executable_key() {
    static const std::wstring key = case_key(to_wide(game_executable));
    return key;
}

void require_client_path(std::string_view path, bool allow_launcher_names) {
    const std::wstring wide = to_wide(path);
    require(!wide.empty() && wide.size() <= longest_path, "Đường dẫn rỗng hoặc quá dài.");
    const std::vector<std::wstring_view> segments = split_segments(wide);
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::wstring_view segment = segments[i];
        // Messages are built only on failure: this runs for every file of a large release.
        if (is_unsafe(segment)) require(false, "Đường dẫn không an toàn: " + std::string(path));
        if (has_forbidden_character(segment)) require(false, "Tên file không hợp lệ trên Windows: " + std::string(path));
        if (is_device_name(segment)) require(false, "Tên file dành riêng của Windows: " + std::string(path));
        if (i == 0 && !allow_launcher_names && is_launcher_name(segment)) {
            require(false, "Đường dẫn dành riêng cho launcher.");
        }
    }
}

std::filesystem::path client_path(const std::filesystem::path& root, std::string_view path,
                                  bool allow_launcher_names) {
    require_client_path(path, allow_launcher_names);
    std::filesystem::path joined = std::filesystem::absolute(root);
    refuse_links_up(joined, joined);
    const std::wstring wide = to_wide(path);
    for (std::wstring_view segment : split_segments(wide)) {
        joined /= segment;
        refuse_link(joined);
    }
    return joined;
}

}  // namespace qorn
