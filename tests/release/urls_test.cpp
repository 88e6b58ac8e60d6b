#include "release/urls.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;

std::string url_refusal(const std::wstring& url) {
    return failure_of([&] { crack_url(url); });
}

TEST(Urls, LoopbackHttpAndHttpsAreTheOnlySchemes) {
    const UrlParts local = crack_url(L"http://127.0.0.1:54321/api/manifest?x=1");
    EXPECT_EQ(local.host, L"127.0.0.1");
    EXPECT_EQ(local.path, L"/api/manifest?x=1");
    EXPECT_EQ(local.port, 54321);
    EXPECT_FALSE(local.https);
    for (const wchar_t* url : {L"http://LocalHost/a", L"http://localhost:8080/"}) {
        EXPECT_EQ(url_refusal(url), "(no failure)") << to_utf8(url);
    }
    // Wine's WinHttpCrackUrl cuts a bracketed IPv6 host to "[", so only Windows can show this one.
    if (!test::running_under_wine()) {
        EXPECT_EQ(url_refusal(L"http://[::1]:8080/a"), "(no failure)");
    }
    const UrlParts bare = crack_url(L"https://" + update_host());
    EXPECT_EQ(bare.path, L"/");
    EXPECT_EQ(bare.port, 443);
    EXPECT_TRUE(bare.https);
    EXPECT_EQ(bare.host, update_host());

    EXPECT_EQ(url_refusal(L"http://example.com/a"), "Hosting phải sử dụng HTTPS.");
    EXPECT_EQ(url_refusal(L"http://127.0.0.2/a"), "Hosting phải sử dụng HTTPS.");
    EXPECT_EQ(url_refusal(L"ftp://127.0.0.1/a"), "URL không hợp lệ.");
    EXPECT_EQ(url_refusal(L"/files/abc"), "URL không hợp lệ.");
    EXPECT_EQ(url_refusal(L"https://user:pass@" + update_host() + L"/a"),
              "URL tải không được chứa thông tin đăng nhập.");
    EXPECT_EQ(url_refusal(L"https://user@" + update_host() + L"/a"), "URL tải không được chứa thông tin đăng nhập.");
    EXPECT_EQ(url_refusal(L"https://" + update_host() + L"/a#top"), "URL tải chứa fragment không hợp lệ.");
    EXPECT_EQ(url_refusal(L"not a url#frag"), "URL tải chứa fragment không hợp lệ.");
}

TEST(Urls, SameHostComparesSchemeHostCaseAndPort) {
    const std::wstring manifest = default_manifest_url();
    EXPECT_EQ(manifest, L"https://" + update_host() + L"/api/manifest");
    std::wstring upper_host = update_host();
    for (wchar_t& c : upper_host) c = static_cast<wchar_t>(towupper(c));
    const std::string other = "URL tải phải cùng hosting cập nhật.";
    auto same = [&](const std::wstring& url) { return failure_of([&] { require_same_host(url, manifest); }); };
    EXPECT_EQ(same(L"https://" + upper_host + L"/files/a?b"), "(no failure)");
    EXPECT_EQ(same(L"https://" + update_host() + L":443/files/a"), "(no failure)");
    EXPECT_EQ(same(L"https://" + update_host() + L":8443/files/a"), other);
    EXPECT_EQ(same(L"https://cdn.example.net/files/a"), other);
    EXPECT_EQ(failure_of([] { require_same_host(L"http://127.0.0.1:80/a", L"http://localhost/a"); }), other);
    EXPECT_EQ(failure_of([] { require_same_host(L"http://127.0.0.1/a", L"http://127.0.0.1:80/b"); }),
              "(no failure)");
    EXPECT_EQ(same(L"http://" + update_host() + L"/a"), "Hosting phải sử dụng HTTPS.");
}

TEST(ReleaseId, Boundaries) {
    for (const std::string& id : {std::string("r1"), std::string("1.2.3"), std::string("r-1.2_3"), std::string("r1."),
                                  std::string(80, 'a'), std::string("A")}) {
        EXPECT_EQ(failure_of([&] { require_release_id(id); }), "(no failure)") << id;
    }
    for (const std::string& id : {std::string(81, 'a'), std::string("-r1"), std::string("_r1"), std::string(".r1"),
                                 std::string("r..1"), std::string("r 1"), std::string(), std::string("r1/2"),
                                 std::string("bản1"), std::string("r1\0", 3)}) {
        EXPECT_EQ(failure_of([&] { require_release_id(id); }), "Mã phiên bản không hợp lệ.") << id;
    }
}

}  // namespace
}  // namespace qorn
