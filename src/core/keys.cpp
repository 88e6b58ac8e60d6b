#include "core/keys.hpp"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace qorn {
namespace {

// "\\?\UNC\server\share" becomes "\\server\share"; "\\?\C:\x" becomes "C:\x".
std::wstring without_long_prefix(std::wstring_view path) {
    constexpr std::wstring_view unc_prefix = L"\\\\?\\UNC\\";
    constexpr std::wstring_view long_prefix = L"\\\\?\\";
    if (path.starts_with(unc_prefix)) return L"\\\\" + std::wstring(path.substr(unc_prefix.size()));
    if (path.starts_with(long_prefix)) path.remove_prefix(long_prefix.size());
    return std::wstring(path);
}

// The full path name Windows gives; the path itself when Windows has none for it.
std::wstring full_path_name(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

// Length of "C:" or "\\server\share" at the start of a path (0 for neither).
size_t root_length(std::wstring_view path) {
    if (path.starts_with(L"\\\\")) {
        const size_t server_end = path.find(L'\\', 2);
        if (server_end == std::wstring_view::npos) return path.size();
        const size_t share_end = path.find(L'\\', server_end + 1);
        return share_end == std::wstring_view::npos ? path.size() : share_end;
    }
    return path.size() >= 2 && path[1] == L':' ? 2 : 0;
}

// Single separators, no "." elements, and no element that a ".." takes back.
std::wstring normal_form(std::wstring_view path) {
    const size_t root = root_length(path);
    std::vector<std::wstring_view> elements;
    for (size_t start = root; start < path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) end = path.size();
        const std::wstring_view element = path.substr(start, end - start);
        if (element == L"..") {
            if (!elements.empty()) elements.pop_back();
        } else if (!element.empty() && element != L".") {
            elements.push_back(element);
        }
        start = end + 1;
    }
    std::wstring normal(path.substr(0, root));
    for (std::wstring_view element : elements) {
        normal += L'\\';
        normal += element;
    }
    return normal;
}

}  // namespace

std::wstring case_key(std::wstring_view text) {
    if (text.empty()) return {};
    std::wstring key(text.size(), L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()), key.data(),
                  static_cast<int>(key.size()), nullptr, nullptr, 0);
    return key;
}

std::wstring path_key(const std::filesystem::path& folder) {
    std::wstring text = folder.native();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    // The prefix goes first, and Windows itself makes the path absolute: MinGW's
    // std::filesystem::absolute and lexically_normal take "\\?\C:\x" and
    // "\\server\share" for paths on the current drive.
    text = normal_form(full_path_name(without_long_prefix(text)));
    while (!text.empty() && text.back() == L'\\') text.pop_back();
    return case_key(text);
}

}  // namespace qorn
