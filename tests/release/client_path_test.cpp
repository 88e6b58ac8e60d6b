#include "release/client_path.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;

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
    test::TempFolder root;
    EXPECT_EQ(client_path(root.path(), "Data/nhân vật/a.bmd", false), root / L"Data" / L"nhân vật" / L"a.bmd");
    EXPECT_EQ(failure_of([&] { client_path(root.path(), "Updater.exe", false); }),
              "Đường dẫn dành riêng cho launcher.");

    std::filesystem::create_directories(root / L"real");
    if (!test::make_folder_link(root / L"Data", root / L"real")) GTEST_SKIP() << "no folder links here";
    EXPECT_EQ(failure_of([&] { client_path(root.path(), "Data/a.bmd", false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(root / L"Data"));
    EXPECT_EQ(failure_of([&] { client_path(root / L"Data", "a.bmd", false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(root / L"Data"));
    EXPECT_NO_THROW(client_path(root.path(), "Other/a.bmd", false));
}

}  // namespace
}  // namespace qorn
