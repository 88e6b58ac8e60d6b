#include "core/files.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;
using test::read_bytes;
using test::starts_with;
using test::TempFolder;
using test::write_bytes;

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
    std::string failure;
    {
        test::HeldOpen other_program(target);
        failure = failure_of([&] { write_file_atomic(target, "new"); });
    }
    EXPECT_TRUE(starts_with(failure, "Không thay được file. Hãy đóng Main hoặc ứng dụng đang sử dụng file: "))
        << failure;
    EXPECT_EQ(read_bytes(target), "old");
    write_file_atomic(target, "new");  // a leftover ".new" is simply overwritten
    EXPECT_EQ(read_bytes(target), "new");
}

TEST(Links, FolderLinkRefusedOnEveryPath) {
    TempFolder folder;
    const auto real = folder / L"real";
    std::filesystem::create_directories(real);
    const auto link = folder / L"link";
    if (!test::make_folder_link(link, real)) GTEST_SKIP() << "no folder links here";

    EXPECT_EQ(failure_of([&] { write_file_atomic(link / L"state" / L"a.json", "{}"); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(link));
    EXPECT_TRUE(std::filesystem::is_empty(real));
    EXPECT_EQ(failure_of([&] { delete_file(link); }), "Không chấp nhận liên kết thư mục/file: " + path_text(link));
    EXPECT_TRUE(std::filesystem::exists(link));
}

TEST(MoveDelete, HeldFileIsRefusedAndKept) {
    TempFolder folder;
    const auto source = folder / L"nested" / L"download.bin";
    const auto target = folder / L"Main.exe";
    write_bytes(source, "new");
    write_bytes(target, "old");
    move_replace(source, target);
    EXPECT_EQ(read_bytes(target), "new");
    EXPECT_FALSE(file_info(source).exists);
    std::string failure;
    {
        test::HeldOpen other_program(target);
        failure = failure_of([&] { delete_file(target); });
    }
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
