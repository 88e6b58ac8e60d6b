#include "core/files.hpp"
#include "core/text.hpp"
#include "core/tree_removal.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace qorn {
namespace {

using namespace test;

TEST(ReadFileLimited, LimitIsInclusiveAndNeverReadsPartly) {
    TempFolder folder;
    const auto file = folder / L"state.json";
    write_bytes(file, std::string(100, 'a'));
    EXPECT_EQ(read_file_limited(file, 100).size(), 100u);
    EXPECT_EQ(failure_of([&] { read_file_limited(file, 99); }), "File trạng thái sai kích thước.");
    EXPECT_EQ(failure_of([&] { read_file_limited(folder / L"absent", 99); }), "File trạng thái sai kích thước.");
    EXPECT_EQ(failure_of([&] { read_file_limited(folder.path(), 99); }), "File trạng thái sai kích thước.");

    // Wine shows Linux's /proc files with size 0 but content behind them: exactly
    // what a file that grows between measuring and reading looks like.
    const std::filesystem::path growing = L"Z:\\proc\\cpuinfo";
    if (!file_info(growing).exists) GTEST_SKIP() << "needs a file whose content outruns its size";
    EXPECT_EQ(failure_of([&] { read_file_limited(growing, 64); }), "File vượt giới hạn kích thước.");
}

TEST(WriteFileAtomic, HeldTargetStaysIntact) {
    TempFolder folder;
    const auto target = folder / L"installed.json";
    write_bytes(target, "old");
    const std::string failure = test::failure_while_held(target, [&] { write_file_atomic(target, "new"); });
    EXPECT_TRUE(starts_with(failure, "Không thay được file. Hãy đóng Main hoặc ứng dụng đang sử dụng file: "))
        << failure;
    EXPECT_EQ(read_bytes(target), "old");
    write_file_atomic(target, "new");  // a leftover ".new" is simply overwritten
    EXPECT_EQ(read_bytes(target), "new");
}

TEST(Links, FolderLinkRefusedOnEveryPathAndNeverFollowedByARemoval) {
    TempFolder folder;
    const auto real = folder / L"real";
    write_bytes(real / L"save.dat", "keep me");
    const auto link = folder / L"link";
    if (!test::make_folder_link(link, real)) GTEST_SKIP() << "no folder links here";

    EXPECT_EQ(failure_of([&] { write_file_atomic(link / L"state" / L"a.json", "{}"); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(link));
    EXPECT_EQ(failure_of([&] { delete_file(link); }), "Không chấp nhận liên kết thư mục/file: " + path_text(link));

    // A work area with a link made inside it after any walk that looked: the
    // removal refuses it on its own and nothing behind it is touched.
    const auto area = folder / L"staging";
    write_bytes(area / L"Data" / L"a.bmd", "a");
    ASSERT_TRUE(test::make_folder_link(area / L"Data" / L"escape", real));
    EXPECT_EQ(failure_of([&] { remove_tree(area); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(area / L"Data" / L"escape"));
    EXPECT_EQ(read_bytes(real / L"save.dat"), "keep me");
    EXPECT_TRUE(std::filesystem::exists(link));

    // What arrives between the walk and the removal keeps its folder, and the removal fails.
    const std::function<void(const std::filesystem::path&)> arrivals[] = {
        [&](const std::filesystem::path& data) { ASSERT_TRUE(test::make_folder_link(data / L"escape", real)); },
        [&](const std::filesystem::path& data) { write_bytes(data / L"player.txt", "mine"); },
    };
    for (size_t i = 0; i < std::size(arrivals); ++i) {
        const auto later = folder / (L"downloads" + std::to_wstring(i));
        write_bytes(later / L"Data" / L"a.bmd", "a");
        TreeRemoval removal(later, true);
        arrivals[i](later / L"Data");
        EXPECT_TRUE(starts_with(failure_of([&] { removal.remove(); }),
                                "Không xóa được thư mục " + path_text(later / L"Data")));
        EXPECT_FALSE(file_info(later / L"Data" / L"a.bmd").exists);
    }
    EXPECT_EQ(read_bytes(real / L"save.dat"), "keep me");
    EXPECT_EQ(read_bytes(folder / L"downloads1" / L"Data" / L"player.txt"), "mine");
}

TEST(RemoveTree, EmptiesNestedFoldersWithReadOnlyFilesAndFoldersOnlyStopsAtAFile) {
    TempFolder folder;
    const auto area = folder / L"transaction";
    write_bytes(area / L"backup" / L"Dữ liệu" / L"a.bmd", "a");
    write_bytes(area / L"copy.tmp", "c");
    SetFileAttributesW((area / L"backup" / L"Dữ liệu" / L"a.bmd").c_str(), FILE_ATTRIBUTE_READONLY);
    // More entries than one listing call returns.
    const std::wstring long_name(100, L'd');
    for (int i = 0; i < 600; ++i) write_bytes(area / L"many" / (long_name + std::to_wstring(i)), "");
    remove_tree(area);
    EXPECT_FALSE(file_info(area).exists);
    EXPECT_NO_THROW(remove_tree(area));  // already gone

    std::filesystem::create_directories(folder / L"locale" / L"kab" / L"LC_MESSAGES");
    write_bytes(folder / L"locale" / L"kab" / L"player.txt", "mine");
    EXPECT_EQ(failure_of([&] { remove_folders(folder / L"locale"); }),
              "Cần thư mục trống nhưng có file: " + path_text(folder / L"locale" / L"kab" / L"player.txt"));
    EXPECT_EQ(read_bytes(folder / L"locale" / L"kab" / L"player.txt"), "mine");
    EXPECT_TRUE(file_info(folder / L"locale" / L"kab" / L"LC_MESSAGES").exists);  // found before anything went
    EXPECT_FALSE(remove_empty_folder(folder / L"locale" / L"kab"));
    delete_file(folder / L"locale" / L"kab" / L"player.txt");
    remove_folders(folder / L"locale");
    EXPECT_FALSE(file_info(folder / L"locale").exists);
}

TEST(DeleteFile, HeldFileIsRefusedAndKept) {
    TempFolder folder;
    const auto target = folder / L"Main.exe";
    write_bytes(target, "old");
    const std::string failure = test::failure_while_held(target, [&] { delete_file(target); });
    EXPECT_TRUE(starts_with(failure, "Không xóa được file: ")) << failure;
    EXPECT_TRUE(file_info(target).exists);
    delete_file(target);
    EXPECT_FALSE(file_info(target).exists);
    EXPECT_NO_THROW(delete_file(target));
}

TEST(DiskSpace, ShortfallIsNamedInMegabytes) {
    TempFolder folder;
    EXPECT_NO_THROW(require_disk_space(folder.path(), 1));
    EXPECT_EQ(failure_of([&] { require_disk_space(folder.path(), 1ULL << 62); }),
              "Không đủ dung lượng đĩa. Cần thêm khoảng 4398046511104 MB để cập nhật an toàn.");
}

}  // namespace
}  // namespace qorn
