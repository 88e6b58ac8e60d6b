#include "release/urls.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;

TEST(Urls, OnlyHttpsOrLoopbackHttpWithoutCredentialsOrFragment) {
    EXPECT_EQ(crack_url(L"http://127.0.0.1:54321/api/manifest?x=1").path, L"/api/manifest?x=1");  // with its query
    const std::wstring host = update_host();
    const std::pair<std::wstring, std::string> cases[] = {
        {L"http://LocalHost/a", "(no failure)"},
        {L"http://example.com/a", "Hosting phải sử dụng HTTPS."},
        {L"http://127.0.0.2/a", "Hosting phải sử dụng HTTPS."},
        {L"ftp://127.0.0.1/a", "URL không hợp lệ."},
        {L"/files/abc", "URL không hợp lệ."},
        {L"https://user:pass@" + host + L"/a", "URL tải không được chứa thông tin đăng nhập."},
        {L"https://user@" + host + L"/a", "URL tải không được chứa thông tin đăng nhập."},
        {L"https://" + host + L"/a#top", "URL tải chứa fragment không hợp lệ."},
        // The cracker stops at a zero: a URL is checked and kept whole, or refused.
        {std::wstring(L"https://") + host + L"/a" + std::wstring(1, L'\0') + L"@evil", "URL không hợp lệ."},
        {L"https://" + host + L"/a\r\nX: 1", "URL không hợp lệ."},
        {L"https://" + host + L"/a\x7f", "URL không hợp lệ."},
    };
    for (const auto& [url, message] : cases) EXPECT_EQ(failure_of([&] { crack_url(url); }), message) << to_utf8(url);
}

TEST(Urls, SameHostMeansSameSchemeHostByCaseAndPort) {
    const std::wstring manifest = L"https://" + update_host() + L"/api/manifest";
    std::wstring upper = update_host();
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    const std::pair<std::wstring, bool> cases[] = {
        {L"https://" + upper + L"/files/a?x=1", true},
        {L"https://" + update_host() + L":443/files/a", true},
        {L"https://" + update_host() + L":8443/files/a", false},
        {L"https://cdn." + update_host() + L"/files/a", false},
        {L"http://localhost/files/a", false},
    };
    for (const auto& [url, same] : cases) {
        EXPECT_EQ(failure_of([&] { require_same_host(url, manifest); }) == "(no failure)", same) << to_utf8(url);
    }
    EXPECT_NO_THROW(require_same_host(L"http://LOCALHOST:80/a", L"http://localhost/api/manifest"));
    EXPECT_EQ(failure_of([] { require_same_host(L"http://localhost:443/a", L"https://localhost/api/manifest"); }),
              "URL tải phải cùng hosting cập nhật.");
}

TEST(ReleaseId, Boundaries) {
    for (const std::string& id : {std::string("r-1.2_3"), std::string(80, 'a')}) {
        EXPECT_EQ(failure_of([&] { require_release_id(id); }), "(no failure)") << id;
    }
    for (const std::string& id : {std::string(81, 'a'), std::string("-r1"), std::string(".r1"), std::string("r..1"),
                                  std::string(), std::string("r1/2"), std::string("bản1"), std::string("r1\0", 3)}) {
        EXPECT_EQ(failure_of([&] { require_release_id(id); }), "Mã phiên bản không hợp lệ.") << id;
    }
}

}  // namespace
}  // namespace qorn
