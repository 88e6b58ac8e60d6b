#include "selfupdate/launcher_metadata.hpp"
#include "selfupdate/launcher_offers.hpp"
#include "core/sha256.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

// A minimal PE image as a linker would lay it out: headers in the first 512
// bytes, then one ".rsrc" section holding a VS_VERSIONINFO, so that every field
// the launcher judges can be set on its own.
struct Image {
    std::uint16_t machine = 0x8664;
    std::uint16_t magic = 0x20B;
    std::uint16_t characteristics = 0x0022;  // executable, large-address aware
    std::string version = "2.0.9.1";         // empty: no version resource
    std::uint32_t file_type = 1;             // VFT_APP
};

void put(std::string& bytes, size_t at, std::uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Resource directory (type 16, id 1, neutral language), its data entry, then the
// version block: header, "VS_VERSION_INFO", padding, VS_FIXEDFILEINFO.
std::string version_section(const Image& image, std::uint32_t section_rva) {
    std::string rsrc(512, '\0');
    put(rsrc, 14, 1, 2), put(rsrc, 16, 16, 4), put(rsrc, 20, 0x80000000u | 24, 4);
    put(rsrc, 38, 1, 2), put(rsrc, 40, 1, 4), put(rsrc, 44, 0x80000000u | 48, 4);
    put(rsrc, 62, 1, 2), put(rsrc, 64, 0, 4), put(rsrc, 68, 72, 4);
    put(rsrc, 72, section_rva + 88, 4), put(rsrc, 76, 92, 4);
    const std::uint64_t version = parse_launcher_version(image.version);
    put(rsrc, 88, 92, 2), put(rsrc, 90, 52, 2);
    const char16_t key[] = u"VS_VERSION_INFO";
    std::memcpy(rsrc.data() + 94, key, sizeof key);
    const auto high = static_cast<std::uint32_t>(version >> 32);
    const auto low = static_cast<std::uint32_t>(version);
    // Signature, structure version, file version, product version, flags mask, flags, OS, type.
    const std::uint32_t fixed[13] = {0xFEEF04BD, 0x10000, high, low, 0, 0, 0x3F, 0, 0x40004, image.file_type};
    std::memcpy(rsrc.data() + 128, fixed, sizeof fixed);
    return rsrc;
}

std::string pe_image(const Image& image) {
    const bool has_version = !image.version.empty();
    const bool pe32_plus = image.magic == 0x20B;
    const size_t directories = 0x58 + (pe32_plus ? 112 : 96);
    std::string bytes(512, '\0');
    bytes[0] = 'M', bytes[1] = 'Z';
    put(bytes, 60, 0x40, 4);
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    put(bytes, 0x44, image.machine, 2), put(bytes, 0x46, has_version ? 1 : 0, 2);
    put(bytes, 0x54, directories + 128 - 0x58, 2), put(bytes, 0x56, image.characteristics, 2);
    put(bytes, 0x58, image.magic, 2);
    put(bytes, 0x58 + (pe32_plus ? 24 : 28), pe32_plus ? 0x140000000 : 0x400000, pe32_plus ? 8 : 4);  // image base
    put(bytes, 0x58 + 32, 0x1000, 4), put(bytes, 0x58 + 36, 0x200, 4);
    put(bytes, 0x58 + 40, 6, 2), put(bytes, 0x58 + 48, 6, 2);
    put(bytes, 0x58 + 56, has_version ? 0x2000 : 0x1000, 4), put(bytes, 0x58 + 60, 0x200, 4);
    put(bytes, 0x58 + 68, 2, 2);  // GUI subsystem
    put(bytes, directories - 4, 16, 4);
    if (!has_version) return bytes;
    put(bytes, directories + 16, 0x1000, 4), put(bytes, directories + 20, 180, 4);
    const size_t section = directories + 128;
    bytes.replace(section, 8, std::string(".rsrc\0\0\0", 8));
    put(bytes, section + 8, 180, 4), put(bytes, section + 12, 0x1000, 4);
    put(bytes, section + 16, 0x200, 4), put(bytes, section + 20, 0x200, 4);
    put(bytes, section + 36, 0x40000040, 4);  // initialised data, readable
    return bytes + version_section(image, 0x1000);
}

json entry_for(const std::string& bytes, const std::string& runtime, const std::string& version) {
    return {{"runtime", runtime},
            {"version", version},
            {"size", bytes.size()},
            {"sha256", sha256_hex(bytes)},
            {"url", "https://update.example.vn/launchers/Updater.exe"}};
}

class LauncherImage : public testing::Test {
protected:
    std::string metadata_failure(const std::string& bytes) {
        write_bytes(folder_ / L"Updater.exe", bytes);
        return failure_of([&] { read_launcher_metadata(folder_ / L"Updater.exe"); });
    }

    TempFolder folder_;
};

TEST_F(LauncherImage, RefusalsComeInTheOrderOfTheChecks) {
    const std::string good = pe_image({});
    std::string bytes = good;
    bytes[0] = 'Z';
    EXPECT_EQ(metadata_failure(bytes), "Updater không phải EXE Windows.");
    EXPECT_EQ(metadata_failure(good.substr(0, 63)), "Updater không phải EXE Windows.");
    for (const std::uint32_t offset : {63u, 1048577u}) {
        bytes = good;
        put(bytes, 60, offset, 4);
        EXPECT_EQ(metadata_failure(bytes), "Header Updater không hợp lệ.") << offset;
    }
    EXPECT_EQ(metadata_failure(good.substr(0, 0x40 + 25)), "Updater sai định dạng PE.");
    bytes = good;
    put(bytes, 60, 1048576, 4);  // inside the limit but past the end of the file
    EXPECT_EQ(metadata_failure(bytes), "Updater sai định dạng PE.");
    bytes = good;
    bytes[0x43] = 1;
    EXPECT_EQ(metadata_failure(bytes), "Updater sai định dạng PE.");

    // The DLL flag is judged before the architecture.
    EXPECT_EQ(metadata_failure(pe_image({.machine = 0xAA64, .characteristics = 0x2022})),
              "Không dùng DLL làm Updater.");
    EXPECT_EQ(metadata_failure(pe_image({.machine = 0xAA64})), "Kiến trúc Updater không được hỗ trợ.");
    EXPECT_EQ(metadata_failure(pe_image({.machine = 0x14C})), "Kiến trúc Updater không được hỗ trợ.");
    EXPECT_EQ(metadata_failure(pe_image({.version = ""})), "Updater thiếu thông tin phiên bản.");
    EXPECT_EQ(metadata_failure(pe_image({.file_type = 2})), "Thông tin phiên bản Updater không hợp lệ.");

    // A real image without a version resource: this test program.
    EXPECT_EQ(metadata_failure(read_bytes(current_executable_path())), "Updater thiếu thông tin phiên bản.");
}

TEST_F(LauncherImage, ArchitectureAndFileVersionOfAcceptedImages) {
    write_bytes(folder_ / L"x64.exe", pe_image({.version = "2.0.10.65535"}));
    LauncherMetadata metadata = read_launcher_metadata(folder_ / L"x64.exe");
    EXPECT_EQ(metadata.runtime, "win-x64");
    EXPECT_EQ(metadata.version, parse_launcher_version("2.0.10.65535"));

    write_bytes(folder_ / L"x86.exe",
                pe_image({.machine = 0x14C, .magic = 0x10B, .characteristics = 0x0102, .version = "1.2.3.4"}));
    metadata = read_launcher_metadata(folder_ / L"x86.exe");
    EXPECT_EQ(metadata.runtime, "win-x86");
    EXPECT_EQ(metadata.version, parse_launcher_version("1.2.3.4"));

    // The launcher this build makes, with the resource its compiler wrote.
    std::filesystem::copy_file(QORN_UPDATER_EXE, folder_ / L"Updater.exe");
    metadata = read_launcher_metadata(folder_ / L"Updater.exe");
    EXPECT_EQ(metadata.runtime, "win-x64");
    EXPECT_EQ(metadata.version, parse_launcher_version("2.0.8.0"));
}

TEST_F(LauncherImage, VerificationWantsTheOfferedBytesArchitectureAndVersion) {
    const std::filesystem::path file = folder_ / L"candidate.exe";
    const std::string x64 = pe_image({});
    write_bytes(file, x64);
    EXPECT_EQ(failure_of([&] { verify_launcher_file(file, entry_for(x64, "win-x64", "2.0.9.1")); }), "(no failure)");

    auto refusal = [&](const json& entry) { return failure_of([&] { verify_launcher_file(file, entry); }); };
    json entry = entry_for(x64, "win-x64", "2.0.9.1");
    entry["sha256"] = sha256_hex("other");
    EXPECT_EQ(refusal(entry), "SHA-256 Updater không đúng. Không thay launcher.");
    EXPECT_EQ(refusal(entry_for(x64, "win-x64", "2.0.9.0")), "Updater tải về sai phiên bản hoặc kiến trúc.");
    EXPECT_EQ(refusal(entry_for(x64, "win-x86", "2.0.9.1")), "Updater tải về sai phiên bản hoặc kiến trúc.");

    const std::string x86 = pe_image({.machine = 0x14C, .magic = 0x10B, .characteristics = 0x0102});
    write_bytes(file, x86);
    EXPECT_EQ(refusal(entry_for(x86, "win-x64", "2.0.9.1")), "Updater tải về sai phiên bản hoặc kiến trúc.");
    const std::string dll = pe_image({.characteristics = 0x2022});
    write_bytes(file, dll);
    EXPECT_EQ(refusal(entry_for(dll, "win-x64", "2.0.9.1")), "Không dùng DLL làm Updater.");
}

// Stands in for GetModuleFileNameW: answers the length it was set to.
DWORD module_length = 0;
DWORD WINAPI fake_module_path(HMODULE, LPWSTR buffer, DWORD capacity) {
    const DWORD length = std::min(module_length, capacity);
    std::fill_n(buffer, length, L'x');
    if (length < capacity) buffer[length] = L'\0';
    return length;
}

TEST(LauncherPaths, RunningExecutableAndLocations) {
    const std::filesystem::path running = current_executable_path();
    EXPECT_TRUE(running.is_absolute() && same_file_path(running, running.parent_path() / L"SELFUPDATE_TESTS.EXE"))
        << running;
    module_length = 32767;
    EXPECT_EQ(current_executable_path(&fake_module_path).native().size(), 32767u);
    for (const DWORD length : {0u, 32768u}) {
        module_length = length;
        EXPECT_EQ(failure_of([] { current_executable_path(&fake_module_path); }),
                  "Không xác định được Updater đang chạy.")
            << length;
    }

    EXPECT_TRUE(same_file_path(L"C:\\Games\\QORN\\Data\\..", L"c:/games/qorn/"));
    EXPECT_TRUE(same_file_path(L"Đồ\\a.exe", std::filesystem::current_path() / L"đồ" / L"A.EXE"));
    EXPECT_FALSE(same_file_path(L"C:\\Games\\QORN", L"C:\\Games\\QORN2"));
}

}  // namespace
}  // namespace qorn
