#include "release/launcher_offer.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;

const std::wstring manifest_url = L"https://update.example.vn/api/manifest";

json offer(const std::string& runtime = "win-x64") {
    return {{"runtime", runtime},
            {"version", "2.0.8.0"},
            {"size", 1000},
            {"sha256", std::string(64, 'a')},
            {"url", "https://update.example.vn/launchers/a.exe"}};
}

TEST(LauncherVersion, FourPartsEachSixteenBits) {
    EXPECT_GT(parse_launcher_version("2.0.10.0"), parse_launcher_version("2.0.9.65535"));
    EXPECT_EQ(parse_launcher_version("65535.65535.65535.65535"), ~0ULL);
    EXPECT_EQ(parse_launcher_version("2.0.8.0"), (2ULL << 48) | (8ULL << 16));
    EXPECT_EQ(parse_launcher_version("0002.0.0.01"), (2ULL << 48) | 1);
    for (const char* text : {"2.0.8", "2.0.8.0.0", "", "1.2.3.4."}) {
        EXPECT_EQ(failure_of([&] { parse_launcher_version(text); }), "Phiên bản Updater phải có bốn phần.") << text;
    }
    for (const char* text : {"-1.0.0.0", "65536.0.0.0", "1..2.3", "1.2.x.4", "1.2.3. 4", "+1.0.0.0",
                             "1.2.3.99999999999999999999"}) {
        EXPECT_EQ(failure_of([&] { parse_launcher_version(text); }), "Phiên bản Updater không hợp lệ.") << text;
    }
}

TEST(LauncherList, RefusalsAndAValidList) {
    EXPECT_NO_THROW(validate_launchers(json::array(), manifest_url));
    EXPECT_NO_THROW(validate_launchers(json::array({offer(), offer("win-x86")}), manifest_url));

    auto refused = [&](const json& list) { return failure_of([&] { validate_launchers(list, manifest_url); }); };
    EXPECT_EQ(refused(json::array({offer(), offer("win-x86"), offer("win-x64")})), "Danh sách Updater không hợp lệ.");
    EXPECT_EQ(refused(json::object()), "Danh sách Updater không hợp lệ.");
    EXPECT_EQ(refused(json::array({offer("arm64")})), "Kiến trúc Updater sai hoặc trùng.");
    EXPECT_EQ(refused(json::array({offer(), offer()})), "Kiến trúc Updater sai hoặc trùng.");

    json entry = offer();
    for (const json& size : {json(0), json(67108865), json(-5), json(1.0), json("3")}) {
        entry["size"] = size;
        EXPECT_EQ(refused(json::array({entry})), "Kích thước Updater không hợp lệ.") << size;
    }
    entry["size"] = 67108864;
    EXPECT_EQ(refused(json::array({entry})), "(no failure)");
    entry["sha256"] = std::string(64, 'A');
    EXPECT_EQ(refused(json::array({entry})), "SHA-256 không hợp lệ.");
    entry = offer();
    entry["url"] = "https://elsewhere.example.vn/a.exe";
    EXPECT_EQ(refused(json::array({entry})), "URL tải phải cùng hosting cập nhật.");
    entry["url"] = "http://update.example.vn/a.exe";
    EXPECT_EQ(refused(json::array({entry})), "Hosting phải sử dụng HTTPS.");
    entry = offer();
    entry.erase("sha256");
    EXPECT_THROW(validate_launchers(json::array({entry}), manifest_url), json::out_of_range);
    entry = offer();
    entry["version"] = 2;
    EXPECT_THROW(validate_launchers(json::array({entry}), manifest_url), json::type_error);
}

}  // namespace
}  // namespace qorn
