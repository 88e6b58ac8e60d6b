#include "release/manifest.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/manifest_fixture.hpp"
#include "release/urls.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace qorn {
namespace {

using namespace test;
using nlohmann::json;

void two_packages(json& manifest, const std::string& second = "Data/nhân vật/a.bmd") {
    manifest["packages"] = json::array({package_entry({"Main.exe"}), package_entry({second}, "p2")});
}

// Each case changes the valid manifest in one way and names the message the player reads.
TEST(Manifest, EachBrokenRuleHasItsMessage) {
    const std::string not_pc = "Manifest không đúng định dạng PC.";
    const std::string listing = "Gói ZIP chứa danh sách file sai/trùng.";
    const std::string bad_package = "Gói cài mới không hợp lệ.";
    const std::pair<std::function<void(json&)>, std::string> cases[] = {
        {[](json& m) { m.erase("schemaVersion"); }, not_pc},
        {[](json& m) { m["schemaVersion"] = 2; }, not_pc},
        {[](json& m) { m["schemaVersion"] = true; }, not_pc},
        {[](json& m) { m["schemaVersion"] = 1.0; }, not_pc},
        {[](json& m) { m["schemaVersion"] = 4294967297ULL; }, not_pc},  // 2^32 + 1 wraps to 1 as a 32-bit number
        {[](json& m) { m["files"][1]["url"] = std::string(test::host) + "/a\nX-Injected: 1"; }, "URL không hợp lệ."},
        {[](json& m) { m["files"] = json::array(); }, not_pc},
        {[](json& m) { m["releaseId"] = "r..1"; }, "Mã phiên bản không hợp lệ."},
        {[](json& m) { m["files"][0]["size"] = 1.0; }, "Kích thước file không hợp lệ."},
        {[](json& m) { m["files"][0].erase("size"); }, "Kích thước file không hợp lệ."},
        {[](json& m) { m["files"][0]["size"] = 9223372036854775808ULL; }, "Kích thước file vượt giới hạn."},
        {[](json& m) { m["files"] = json::array({file_entry("Main.exe", ~0ULL >> 1), file_entry("b", 1)}); },
         "Tổng dung lượng client vượt giới hạn."},
        {[](json& m) { m["files"].push_back(file_entry("MAIN.exe")); }, "Manifest chứa file trùng tên."},
        {[](json& m) { m["files"][0]["path"] = "Bin/Main.exe"; }, "Bản phát hành phải có Main.exe."},
        {[](json& m) { m["files"].push_back(file_entry("Data")); }, "Đường dẫn thư mục trùng với file."},
        {[](json& m) { m["directories"] = json::array({"Main.exe/sub"}); }, "Đường dẫn thư mục trùng với file."},
        {[](json& m) { m["directories"] = json::array({"Data", "data"}); }, "Thư mục trùng với file/thư mục khác."},
        {[](json& m) { m["directories"] = json::array({"MAIN.EXE"}); }, "Thư mục trùng với file/thư mục khác."},
        {[](json& m) { m["directories"] = json::array({"Updater.exe"}); }, "Đường dẫn dành riêng cho launcher."},
        {[](json& m) { m["files"][1]["path"] = "Data/../x"; }, "Đường dẫn không an toàn: Data/../x"},
        {[](json& m) { m["files"][1]["sha256"] = std::string(64, 'F'); }, "SHA-256 không hợp lệ."},
        {[](json& m) { m["files"][1]["url"] = "http://127.0.0.1:54322/x"; }, "URL tải phải cùng hosting cập nhật."},
        {[](json& m) { m["files"][1]["url"] = "/files/x"; }, "URL không hợp lệ."},
        {[](json& m) { m["launchers"] = json::array({1, 2, 3}); }, "Danh sách Updater không hợp lệ."},
        {[](json& m) { m["packages"] = json::array({package_entry({"Main.exe"})}); }, "Gói cài mới chưa chứa đủ file."},
        {[](json& m) { two_packages(m, "MAIN.EXE"); }, listing},
        {[](json& m) { m["packages"] = json::array({package_entry({"Main.exe", "Data/Trống"})}); }, listing},
        {[](json& m) { two_packages(m); m["packages"][1]["sha256"] = m["packages"][0]["sha256"]; }, bad_package},
        {[](json& m) { m["packages"] = json::array({package_entry(json::array())}); }, bad_package},
        {[](json& m) { two_packages(m); m["packages"][0]["size"] = ~0ULL >> 1; },
         "Tổng dung lượng bản phát hành vượt giới hạn."},
        // accepted: names compared by case key, and one file of the largest size
        {[](json& m) { m["files"][0]["path"] = "main.exe"; }, "(no failure)"},
        {[](json& m) { m["directories"] = json::array({"Data", "DATA/nhân vật", "Trống"}); }, "(no failure)"},
        {[](json& m) { two_packages(m, "DATA/NHÂN VẬT/A.BMD"); }, "(no failure)"},
        {[](json& m) { m["files"] = json::array({file_entry("Main.exe", ~0ULL >> 1)}); }, "(no failure)"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        json document = valid_manifest();
        cases[i].first(document);
        EXPECT_EQ(failure_of([&] { manifest_from_json(document, manifest_url); }), cases[i].second) << "case " << i;
    }
}

// The file list is read entry by entry while the text is parsed; the first broken rule
// must still be the one of the rules' order, and a syntax error anywhere comes first.
TEST(Manifest, FirstBrokenRuleOfTheWholeTextIsTheOneRaised) {
    const std::string main = file_entry("Main.exe").dump();
    const std::string data = file_entry("Data/a.bmd").dump();
    const std::string twin = file_entry("MAIN.EXE").dump();
    const std::string unsafe = file_entry("Data/../x").dump();
    const auto text = [](const std::string& files, const std::string& rest = "") {
        return R"({"schemaVersion":1,"releaseId":"r1","files":)" + files + rest + "}";
    };
    const std::string syntax = "[json.exception.parse_error.101] parse error at line 1, column ";
    const std::pair<std::string, std::string> cases[] = {
        {text("[" + main + "," + twin + "," + unsafe + "]"), "Manifest chứa file trùng tên."},
        {text("[" + main + "," + unsafe + "," + twin + "]"), "Đường dẫn không an toàn: Data/../x"},
        {text("[" + main + "," + unsafe + "]", R"(,"releaseId":"r..1")"), "Mã phiên bản không hợp lệ."},
        {text("[" + unsafe + "]", R"(,"schemaVersion":2)"), "Manifest không đúng định dạng PC."},
        {text("[" + unsafe + "," + data + "]") + " x", syntax},
        {text("[" + main + "," + R"(7,{"path":[}])"), syntax},
        {text("[" + main + ",7]"), "[json.exception.type_error.304] cannot use at() with number"},
        {text("[" + main + R"(,{"path":"Data/b","sha256":"x"}])"), "Kích thước file không hợp lệ."},
        {text("[" + unsafe + "]", R"(,"files":[)" + main + "]"), "(no failure)"},  // the last "files" counts
        {text("[" + main + "]", R"(,"files":[])"), "Manifest không đúng định dạng PC."},
        {text("[" + main + "]", R"(,"files":{"0":)" + main + "}"), "Manifest không đúng định dạng PC."},
        {text(R"({"files":[]})", R"(,"x":{"files":[)" + main + "]}"), "Manifest không đúng định dạng PC."},
        {text("[" + main + "," + data + "]", R"(,"x":{"files":7})"), "(no failure)"},
    };
    for (const auto& [manifest, expected] : cases) {
        const std::string failure = failure_of([&] { parse_manifest(manifest, manifest_url); });
        EXPECT_EQ(failure.substr(0, expected.size()), expected) << manifest;
    }
    const Manifest read = parse_manifest(text("[" + main + "," + data + "]", R"(,"x":{"files":7})"), manifest_url);
    ASSERT_EQ(read.files.size(), 2u);
    EXPECT_EQ(read.files[1].path, "Data/a.bmd");
    EXPECT_EQ(read.files[1].key, L"DATA/A.BMD");
    EXPECT_EQ(read.files[1].url, host + "/files/" + sha256_hex("abc"));
}

TEST(Manifest, NestingDeeperThanAnyRealManifestIsRefusedBeforeItIsParsed) {
    // An unknown member nested deeply enough to overflow the library's recursive
    // writer (which the journal write uses) or its copy and comparison.
    const auto nested = [](size_t depth) {
        std::string text = valid_manifest().dump();
        text.insert(text.size() - 1, ",\"x\":" + std::string(depth, '[') + std::string(depth, ']'));
        return text;
    };
    EXPECT_EQ(failure_of([&] { parse_manifest(nested(20000), manifest_url); }), "Manifest không đúng định dạng PC.");
    EXPECT_EQ(failure_of([&] { parse_manifest(nested(256), manifest_url); }), "Manifest không đúng định dạng PC.");
    EXPECT_EQ(failure_of([&] { parse_manifest(nested(255), manifest_url); }), "(no failure)");  // 256 with the document
    // Brackets inside strings are no nesting.
    std::string quoted = valid_manifest().dump();
    quoted.insert(quoted.size() - 1, ",\"x\":\"" + std::string(20000, '[') + "\\\"{\"");
    EXPECT_EQ(failure_of([&] { parse_manifest(quoted, manifest_url); }), "(no failure)");
}

TEST(Manifest, TextLimitIsInclusive) {
    std::string padded = valid_manifest().dump();
    padded.insert(padded.size() - 1, ",\"pad\":\"\"");
    padded.insert(padded.size() - 2, std::string(manifest_text_limit - padded.size(), ' '));
    EXPECT_EQ(padded.size(), manifest_text_limit);
    EXPECT_EQ(failure_of([&] { parse_manifest(padded, manifest_url); }), "(no failure)");
    EXPECT_EQ(failure_of([&] { parse_manifest(padded + " ", manifest_url); }), "Manifest vượt giới hạn 64 MB.");
}

TEST(Manifest, FilesDroppedByTheNextReleaseAreComparedByCaseKey) {
    json next = valid_manifest();
    next["files"] = json::array({file_entry("MAIN.EXE"), file_entry("Data/new.bmd")});
    const Manifest installed = manifest_from_json(valid_manifest(), manifest_url);
    const std::vector<ClientFile> dropped = files_dropped_by(manifest_from_json(next, manifest_url), installed);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].path, "Data/nhân vật/a.bmd");
}

TEST(PrefixRelease, ReadsTheIdFromIncompleteTexts) {
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1\",\"files\":["), "r1");
    EXPECT_EQ(prefix_release("{\"releaseId\":\"r1\",\"schemaVersion\":1"), "r1");
    EXPECT_EQ(prefix_release("{\"releaseId\":\"r1\",\"files\":[{\"path\":\"Main.exe\""), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":2,\"releaseId\":\"r1\""), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"x\":{\"releaseId\":\"nested\"}"), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1\",\"releaseId\":\"r2\",\"files\""), "r2");
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1"), std::nullopt);  // string not complete
    EXPECT_EQ(failure_of([] { prefix_release("{\"schemaVersion\":1,\"releaseId\":\"-r\","); }),
              "Mã phiên bản không hợp lệ.");
}

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

std::string refusal(const std::string& path, bool allow_launcher_names = false) {
    return failure_of([&] { require_client_path(path, allow_launcher_names); });
}

TEST(ClientPath, RefusedPathsNameTheFirstBrokenRuleAndNearMissesPass) {
    const std::string emoji = "\xF0\x9F\x8E\xAE";  // two UTF-16 code units
    const std::string at_limit = std::string(228, 'a') + emoji;  // 230 units
    // Messages ending in ": " go on with the path. The earlier segment decides, and within a segment the earlier test.
    const std::pair<std::string, std::vector<std::string>> refusals[] = {
        {"Đường dẫn không an toàn: ", {"../Main.exe", "Data//a", "Data/a.", "Data/a ", "../CON"}},
        {"Tên file không hợp lệ trên Windows: ", {"a\\b", "Data/a\tb", "a:b/CON."}},
        {"Tên file dành riêng của Windows: ", {"A/NUL", "COM¹.txt", "Nul.tar.gz", "lpt9", "CON/a:b"}},
        {"Đường dẫn dành riêng cho launcher.", {".qorn-launcher/a", "UPDATER.exe/x", "qornupdatetool.EXE"}},
        {"Đường dẫn rỗng hoặc quá dài.", {"", "a" + at_limit}},
        {"Chuỗi UTF-8 không hợp lệ.", {"Data/\xC3"}},
        {"(no failure)", {at_limit, "Data/nhân vật/a.bmd", "COM10", "CONSOLE", "NULL", "LPT", "Data/Updater.exe",
                          "Data/.qorn-launcher", ".hidden", "a..b", "xCON"}},
    };
    for (const auto& [message, paths] : refusals) {
        for (const std::string& path : paths) {
            EXPECT_EQ(refusal(path), message.ends_with(": ") ? message + path : message) << path;
        }
    }
    EXPECT_EQ(refusal(".qorn-launcher/a", true), "(no failure)");
    EXPECT_EQ(refusal("Updater.exe", true), "(no failure)");
}

TEST(ClientPathJoin, JoinsUnderTheRootAndRefusesLinksOnTheWay) {
    TempFolder root;
    EXPECT_EQ(client_path(root.path(), "Data/nhân vật/a.bmd", false), root / L"Data" / L"nhân vật" / L"a.bmd");
    EXPECT_EQ(failure_of([&] { client_path(root.path(), "Updater.exe", false); }),
              "Đường dẫn dành riêng cho launcher.");

    std::filesystem::create_directories(root / L"real");
    if (!make_folder_link(root / L"Data", root / L"real")) GTEST_SKIP() << "no folder links here";
    EXPECT_EQ(failure_of([&] { client_path(root.path(), "Data/a.bmd", false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(root / L"Data"));
    EXPECT_EQ(failure_of([&] { client_path(root / L"Data", "a.bmd", false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(root / L"Data"));
    EXPECT_NO_THROW(client_path(root.path(), "Other/a.bmd", false));
}

}  // namespace
}  // namespace qorn
