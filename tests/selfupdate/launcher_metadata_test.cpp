#include "selfupdate/launcher_metadata.hpp"
#include "core/sha256.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;
using test::read_bytes;

std::string patched(std::string bytes, size_t at, std::uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

// The launcher this build makes (win-x64, 2.0.8.0), with its headers altered one field at a time.
TEST(LauncherImage, OnlyAnApplicationForThisMachineWithAVersionIsALauncher) {
    test::TempFolder folder;
    const std::filesystem::path file = folder / L"Updater.exe";
    auto refusal = [&](const std::string& bytes) {
        test::write_bytes(file, bytes);
        return failure_of([&] { read_launcher_metadata(file); });
    };
    const std::string built = read_bytes(QORN_UPDATER_EXE);
    ASSERT_EQ(refusal(built), "(no failure)");
    const size_t pe = static_cast<unsigned char>(built[60]) | static_cast<unsigned char>(built[61]) << 8;

    EXPECT_EQ(refusal(patched(built, 0, 'Z', 1)), "Updater không phải EXE Windows.");
    EXPECT_EQ(refusal(built.substr(0, 63)), "Updater không phải EXE Windows.");
    EXPECT_EQ(refusal(patched(built, 60, 1048577, 4)), "Header Updater không hợp lệ.");
    EXPECT_EQ(refusal(patched(built, pe + 3, 1, 1)), "Updater sai định dạng PE.");
    EXPECT_EQ(refusal(built.substr(0, pe + 25)), "Updater sai định dạng PE.");
    // The DLL flag is judged before the architecture.
    const std::string arm64 = patched(built, pe + 4, 0xAA64, 2);
    EXPECT_EQ(refusal(patched(arm64, pe + 22, 0x2022, 2)), "Không dùng DLL làm Updater.");
    EXPECT_EQ(refusal(arm64), "Kiến trúc Updater không được hỗ trợ.");
    // An x86 machine with 64-bit optional headers.
    EXPECT_EQ(refusal(patched(built, pe + 4, 0x14C, 2)), "Kiến trúc Updater không được hỗ trợ.");
    // A real image without a version resource: this test program.
    EXPECT_EQ(refusal(read_bytes(current_executable_path())), "Updater thiếu thông tin phiên bản.");

    // The candidate must be the offered bytes, architecture and version.
    test::write_bytes(file, built);
    LauncherOffer entry{"win-x64", "2.0.8.0", built.size(), sha256_hex(built), ""};
    auto verified = [&] { return failure_of([&] { verify_launcher_file(file, entry); }); };
    EXPECT_EQ(verified(), "(no failure)");
    entry.runtime = "win-x86";
    EXPECT_EQ(verified(), "Updater tải về sai phiên bản hoặc kiến trúc.");
    entry.sha256 = sha256_hex("other");
    EXPECT_EQ(verified(), "SHA-256 Updater không đúng. Không thay launcher.");
}

}  // namespace
}  // namespace qorn
