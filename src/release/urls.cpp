#include "release/urls.hpp"

#include "core/text.hpp"
#include "core/keys.hpp"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#ifndef QORN_UPDATE_HOST
#error "QORN_UPDATE_HOST names the update host; the build sets it"
#endif

namespace qorn {
namespace {

bool is_letter_or_digit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::wstring component(const wchar_t* text, DWORD length) {
    return text == nullptr ? std::wstring() : std::wstring(text, length);
}

bool is_loopback(std::wstring_view host) {
    const std::wstring key = case_key(host);
    return key == L"LOCALHOST" || key == L"127.0.0.1" || key == L"::1" || key == L"[::1]";
}

void require_same_host_parts(const UrlParts& download, const UrlParts& manifest) {
    require(download.https == manifest.https && download.port == manifest.port &&
                (download.host == manifest.host || case_key(download.host) == case_key(manifest.host)),
            "URL tải phải cùng hosting cập nhật.");
}

}  // namespace

void require_release_id(std::string_view id) {
    bool valid = !id.empty() && id.size() <= 80 && id.find("..") == std::string_view::npos;
    for (size_t i = 0; valid && i < id.size(); ++i) {
        const char c = id[i];
        valid = is_letter_or_digit(c) || (i > 0 && (c == '-' || c == '.' || c == '_'));
    }
    require(valid, "Mã phiên bản không hợp lệ.");
}

UrlParts crack_url(std::wstring_view url) {
    require(url.find(L'#') == std::wstring_view::npos, "URL tải chứa fragment không hợp lệ.");
    // The cracker reads up to a zero, so a URL is checked and stored whole only
    // when it holds no control character at all.
    require(std::none_of(url.begin(), url.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }),
            "URL không hợp lệ.");
    const std::wstring text(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    require(WinHttpCrackUrl(text.c_str(), 0, 0, &parts) != FALSE, "URL không hợp lệ.");
    require(parts.dwUserNameLength == 0 && parts.dwPasswordLength == 0,
            "URL tải không được chứa thông tin đăng nhập.");

    UrlParts result;
    result.host = component(parts.lpszHostName, parts.dwHostNameLength);
    result.path = component(parts.lpszUrlPath, parts.dwUrlPathLength) +
                  component(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (result.path.empty()) result.path = L"/";
    result.port = parts.nPort;
    result.https = parts.nScheme == INTERNET_SCHEME_HTTPS;
    require(result.https || (parts.nScheme == INTERNET_SCHEME_HTTP && is_loopback(result.host)),
            "Hosting phải sử dụng HTTPS.");
    return result;
}

void require_same_host(std::wstring_view url, std::wstring_view manifest_url) {
    const UrlParts download = crack_url(url);
    const UrlParts manifest = crack_url(manifest_url);
    require_same_host_parts(download, manifest);
}

void require_same_host(std::wstring_view url, const UrlParts& manifest) { require_same_host_parts(crack_url(url), manifest); }


std::wstring update_host() { return QORN_UPDATE_HOST; }

std::wstring default_manifest_url() { return L"https://" + update_host() + L"/api/manifest"; }

}  // namespace qorn
