#include "core/files.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qorn {
namespace {

using test::failure_of;
using test::read_bytes;
using test::starts_with;
using test::TempFolder;
using test::write_bytes;

TEST(FileInfo, MissingEntriesAndRealTimes) {
    TempFolder folder;
    const FileInfo missing = file_info(folder / L"absent.txt");
    EXPECT_FALSE(missing.exists);
    EXPECT_EQ(missing.size, 0u);
    EXPECT_EQ(missing.modified_ticks, 0u);
    EXPECT_FALSE(file_info(folder / L"no-folder" / L"absent.txt").exists);

    const auto file = folder / L"dữ liệu.bin";
    write_bytes(file, std::string(5000, 'x'));
    {
        UniqueHandle handle(CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME when{};
        when.dwHighDateTime = 0x01D5C036;  // 2020-01-01 00:00 UTC
        when.dwLowDateTime = 0x69050000;
        ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &when));
    }
    const FileInfo info = file_info(file);
    EXPECT_TRUE(info.exists);
    EXPECT_FALSE(info.is_directory);
    EXPECT_EQ(info.size, 5000u);
    EXPECT_EQ(info.modified_ticks, 0x01D5C03669050000ULL + 504911232000000000ULL);
    EXPECT_TRUE(file_info(folder.path()).is_directory);
}

TEST(ReadFileLimited, LimitIsInclusiveAndNeverReadsPartly) {
    TempFolder folder;
    const auto file = folder / L"state.json";
    write_bytes(file, std::string(100, 'a'));
    EXPECT_EQ(read_file_limited(file, 100).size(), 100u);
    EXPECT_EQ(failure_of([&] { read_file_limited(file, 99); }), "File trạng thái sai kích thước.");
    EXPECT_EQ(failure_of([&] { read_file_limited(folder / L"absent", 99); }), "File trạng thái sai kích thước.");
    EXPECT_EQ(failure_of([&] { read_file_limited(folder.path(), 99); }), "File trạng thái sai kích thước.");
    write_bytes(file, "");
    EXPECT_EQ(read_file_limited(file, 0), "");
}

TEST(ReadFileLimited, FileLongerThanItsMeasuredSizeIsRefused) {
    // Wine shows Linux's /proc files with size 0 but content behind them: exactly
    // what a file that grows between measuring and reading looks like.
    const std::filesystem::path growing = L"Z:\\proc\\cpuinfo";
    if (!file_info(growing).exists) GTEST_SKIP() << "needs a file whose content outruns its size";
    EXPECT_EQ(failure_of([&] { read_file_limited(growing, 64); }), "File vượt giới hạn kích thước.");
}

TEST(JsonFiles, StrictParseAndStableText) {
    TempFolder folder;
    const auto file = folder / L"record.json";
    write_json_file(file, nlohmann::json{{"releaseId", "Bản 1"}, {"downloaded", 3}});
    EXPECT_EQ(read_bytes(file), "{\n  \"downloaded\": 3,\n  \"releaseId\": \"B\\u1ea3n 1\"\n}");
    EXPECT_FALSE(file_info(folder / L"record.json.new").exists);
    EXPECT_EQ(read_json_file(file)["releaseId"], "Bản 1");

    write_bytes(file, "{\"a\": 1 /* note */}");
    EXPECT_THROW(read_json_file(file), nlohmann::json::parse_error);
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
    EXPECT_NO_THROW(refuse_link(folder / L"absent"));
    EXPECT_NO_THROW(refuse_links_up(real / L"a.json"));
    // A file symlink is followed by Wine and looks like a plain file; only Windows
    // itself can show file links and junctions as reparse points.
}

TEST(OpenWrite, SecondWriterIsRefusedAndAppendKeepsData) {
    TempFolder folder;
    const auto file = folder / L"nested" / L"part.bin";
    {
        UniqueHandle first = open_write(file, false);
        write_all(first.get(), "abc");
        const std::string failure = failure_of([&] { open_write(file, true); });
        EXPECT_TRUE(starts_with(failure, "Không ghi được file part.bin: ")) << failure;
    }
    {
        UniqueHandle again = open_write(file, true);
        write_all(again.get(), "def");
    }
    EXPECT_EQ(read_bytes(file), "abcdef");
    {
        UniqueHandle cut = open_write(file, false);
    }
    EXPECT_EQ(file_info(file).size, 0u);

    const std::string large(3 * 1048576 + 7, 'z');
    {
        UniqueHandle big = open_write(file, false);
        write_all(big.get(), large);
    }
    EXPECT_EQ(read_bytes(file), large);
}

TEST(CopyMoveDelete, DoCheckUndoCheck) {
    TempFolder folder;
    const auto source = folder / L"Main.exe";
    const std::string body(2 * 131072 + 5, 'm');
    write_bytes(source, body);

    std::vector<std::uint64_t> seen;
    copy_file(source, folder / L"backup" / L"Main.exe", [&](std::uint64_t n) { seen.push_back(n); });
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{131072, 262144, 262149}));
    EXPECT_EQ(read_bytes(folder / L"backup" / L"Main.exe"), body);

    write_bytes(source, "changed");
    move_replace(folder / L"backup" / L"Main.exe", source);
    EXPECT_EQ(read_bytes(source), body);
    EXPECT_FALSE(file_info(folder / L"backup" / L"Main.exe").exists);

    delete_file(source);
    EXPECT_FALSE(file_info(source).exists);
    EXPECT_NO_THROW(delete_file(source));
    EXPECT_NO_THROW(delete_file(folder / L"no-folder" / L"x"));

    write_bytes(source, body);
    std::string failure;
    {
        test::HeldOpen other_program(source);
        failure = failure_of([&] { delete_file(source); });
    }
    EXPECT_TRUE(starts_with(failure, "Không xóa được file: ")) << failure;
    EXPECT_TRUE(file_info(source).exists);
}

TEST(Sizes, DiskSpaceAndOverflowGuards) {
    TempFolder folder;
    EXPECT_NO_THROW(require_disk_space(folder.path(), 1));
    const std::uint64_t need = 1ULL << 62;  // more than any test machine has
    EXPECT_EQ(failure_of([&] { require_disk_space(folder.path(), need); }),
              "Không đủ dung lượng đĩa. Cần thêm khoảng 4398046511104 MB để cập nhật an toàn.");
    const std::string no_volume = failure_of([&] { require_disk_space(L"Q:\\nowhere", 1); });
    EXPECT_TRUE(starts_with(no_volume, "Không kiểm tra được dung lượng đĩa: ")) << no_volume;

    const std::uint64_t top = (1ULL << 63) - 1;
    const std::string overflow = "Tổng dung lượng bản phát hành vượt giới hạn.";
    EXPECT_EQ(add_size(top - 1, 1), top);
    EXPECT_EQ(add_size(0, top), top);
    EXPECT_EQ(failure_of([&] { add_size(top, 1); }), overflow);
    EXPECT_EQ(failure_of([&] { add_size(0, 1ULL << 63); }), overflow);
    EXPECT_EQ(failure_of([&] { add_size(~0ULL, ~0ULL); }), overflow);
}

}  // namespace
}  // namespace qorn
