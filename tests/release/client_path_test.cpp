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
    const std::string unsafe = "Đường dẫn không an toàn: ";
    const std::string character = "Tên file không hợp lệ trên Windows: ";
    const std::string device = "Tên file dành riêng của Windows: ";
    const std::string launcher = "Đường dẫn dành riêng cho launcher.";
    const std::string length = "Đường dẫn rỗng hoặc quá dài.";
    const std::string emoji = "\xF0\x9F\x8E\xAE";  // two UTF-16 code units
    const std::string at_limit = std::string(228, 'a') + emoji;  // 230 units
    const std::pair<std::string, std::string> cases[] = {
        {"../Main.exe", unsafe + "../Main.exe"},
        {"Data//a", unsafe + "Data//a"},
        {"Data/a.", unsafe + "Data/a."},
        {"Data/a ", unsafe + "Data/a "},
        {"a\\b", character + "a\\b"},
        {"Data/a\tb", character + "Data/a\tb"},
        {"A/NUL", device + "A/NUL"},
        {"COM¹.txt", device + "COM¹.txt"},
        {"Nul.tar.gz", device + "Nul.tar.gz"},
        {"lpt9", device + "lpt9"},
        {".qorn-launcher/a", launcher},
        {"UPDATER.exe/x", launcher},
        {"qornupdatetool.EXE", launcher},
        // the earlier segment decides, and within a segment the earlier test
        {"../CON", unsafe + "../CON"},
        {"CON/a:b", device + "CON/a:b"},
        {"a:b/CON.", character + "a:b/CON."},
        {"", length},
        {"a" + at_limit, length},
        {"Data/\xC3", "Chuỗi UTF-8 không hợp lệ."},
        {at_limit, "(no failure)"},
    };
    for (const auto& [path, message] : cases) EXPECT_EQ(refusal(path), message) << path;
    for (const char* path : {"Data/nhân vật/a.bmd", "COM10", "CONSOLE", "NULL", "LPT", "Data/Updater.exe",
                             "Data/.qorn-launcher", ".hidden", "a..b", "xCON"}) {
        EXPECT_EQ(refusal(path), "(no failure)") << path;
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
