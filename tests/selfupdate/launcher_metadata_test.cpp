#include "selfupdate/launcher_metadata.hpp"
#include "core/sha256.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

std::string patched(std::string bytes, size_t at, std::uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    return bytes;
}

// The launcher this build makes (win-x64, 2.0.8.0), altered one field at a time, and
// the offer it must match.
TEST(LauncherImage, OnlyTheOfferedApplicationForThisMachineWithAVersionIsALauncher) {
    test::TempFolder folder;
    const std::filesystem::path file = folder / L"Updater.exe";
    const std::string built = test::read_bytes(QORN_UPDATER_EXE);
    const size_t pe = static_cast<unsigned char>(built[60]) | static_cast<unsigned char>(built[61]) << 8;
    const std::pair<std::string, std::string> cases[] = {
        {patched(built, 0, 'Z', 1), "Updater không phải EXE Windows."},
        {built.substr(0, 63), "Updater không phải EXE Windows."},
        {patched(built, 60, 1048577, 4), "Header Updater không hợp lệ."},
        {patched(built, pe + 3, 1, 1), "Updater sai định dạng PE."},
        {built.substr(0, pe + 25), "Updater sai định dạng PE."},
        {patched(built, pe + 22, 0x2022, 2), "Không dùng DLL làm Updater."},
        {patched(built, pe + 4, 0xAA64, 2), "Kiến trúc Updater không được hỗ trợ."},  // ARM64
        {patched(built, pe + 4, 0x14C, 2), "Kiến trúc Updater không được hỗ trợ."},   // x86 with 64-bit headers
        {test::read_bytes(current_executable_path()), "Updater thiếu thông tin phiên bản."},  // this test program
    };
    for (const auto& [bytes, message] : cases) {
        test::write_bytes(file, bytes);
        EXPECT_EQ(test::failure_of([&] { read_launcher_metadata(file); }), message);
    }
    test::write_bytes(file, built);
    LauncherOffer offer{"win-x64", "2.0.8.0", built.size(), sha256_hex(built), ""};
    const auto verified = [&] { return test::failure_of([&] { verify_launcher_file(file, offer); }); };
    EXPECT_EQ(verified(), "(no failure)");
    offer.runtime = "win-x86";
    EXPECT_EQ(verified(), "Updater tải về sai phiên bản hoặc kiến trúc.");
    offer.sha256 = sha256_hex("other");
    EXPECT_EQ(verified(), "SHA-256 Updater không đúng. Không thay launcher.");
}

}  // namespace
}  // namespace qorn
