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

TEST(ClientPath, RefusedPathsNameTheFirstBrokenRule) {
    const std::string unsafe = "Đường dẫn không an toàn: ";
    const std::string character = "Tên file không hợp lệ trên Windows: ";
    const std::string device = "Tên file dành riêng của Windows: ";
    const std::string launcher = "Đường dẫn dành riêng cho launcher.";
    const std::pair<std::string, std::string> cases[] = {
        {"../Main.exe", unsafe + "../Main.exe"},
        {"Data/../a", unsafe + "Data/../a"},
        {"Data//a", unsafe + "Data//a"},
        {"Data/a.", unsafe + "Data/a."},
        {"Data/a ", unsafe + "Data/a "},
        {"/Main.exe", unsafe + "/Main.exe"},
        {"Main.exe/", unsafe + "Main.exe/"},
        {".", unsafe + "."},
        {"C:/Main.exe", character + "C:/Main.exe"},
        {"a:b", character + "a:b"},
        {"a\\b", character + "a\\b"},
        {"Data/a\tb", character + "Data/a\tb"},
        {"a?*", character + "a?*"},
        {"CON.txt", device + "CON.txt"},
        {"A/NUL", device + "A/NUL"},
        {"COM¹.txt", device + "COM¹.txt"},
        {"con", device + "con"},
        {"Nul.tar.gz", device + "Nul.tar.gz"},
        {"COM0", device + "COM0"},
        {"lpt9", device + "lpt9"},
        {"LPT³.log", device + "LPT³.log"},
        {".qorn-launcher/a", launcher},
        {"Updater.exe", launcher},
        {"UPDATER.exe/x", launcher},
        {"qornupdatetool.EXE", launcher},
        // the earlier segment decides, and within a segment the earlier test
        {"../CON", unsafe + "../CON"},
        {"CON/a:b", device + "CON/a:b"},
        {"a:b/CON.", character + "a:b/CON."},
        {"Updater.exe/a:b", launcher},
        {"", "Đường dẫn rỗng hoặc quá dài."},
        {"Data/\xC3", "Chuỗi UTF-8 không hợp lệ."},
    };
    for (const auto& [path, message] : cases) EXPECT_EQ(refusal(path), message) << path;
}

TEST(ClientPath, AcceptedPathsAndNearMisses) {
    for (const char* path : {"Data/nhân vật/a.bmd", "main.exe", "COM10", "CONSOLE", "COMX", "NULL", "LPT",
                                   "Data/Updater.exe", "Data/.qorn-launcher", ".hidden", "a..b", "CON_x", "xCON"}) {
        EXPECT_EQ(refusal(path), "(no failure)") << path;
    }
    EXPECT_EQ(refusal(".qorn-launcher/a", true), "(no failure)");
    EXPECT_EQ(refusal("Updater.exe", true), "(no failure)");
}

TEST(ClientPath, LengthCountsUtf16CodeUnits) {
    const std::string emoji = "\xF0\x9F\x8E\xAE";  // two UTF-16 code units
    const std::string at_limit = std::string(228, 'a') + emoji;
    EXPECT_EQ(to_wide(at_limit).size(), 230u);
    EXPECT_EQ(refusal(at_limit), "(no failure)");
    EXPECT_EQ(refusal("a" + at_limit), "Đường dẫn rỗng hoặc quá dài.");
    EXPECT_EQ(refusal(std::string(231, 'a')), "Đường dẫn rỗng hoặc quá dài.");
}

TEST(CaseKey, FoldsVietnameseLettersAndKeepsLength) {
    EXPECT_EQ(case_key(L"Main.exe"), case_key(L"MAIN.EXE"));
    EXPECT_EQ(case_key(L"Data/nhân vật/ồ"), L"DATA/NHÂN VẬT/Ồ");
    EXPECT_EQ(case_key(L"straße").size(), 6u);  // never longer than its input
    EXPECT_EQ(case_key(L""), L"");
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
