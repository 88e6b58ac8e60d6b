#include "update/zip_package.hpp"
#include "core/files.hpp"
#include "support/failure.hpp"
#include "update/zip_fixture.hpp"

#include <gtest/gtest.h>

#include <set>

namespace qorn {
namespace {

using test::Bodies;
using test::failure_of;
using test::make_zip;
using test::PackageCase;
using test::tree_of;
using test::ZipBytes;

const std::string not_supported = "Gói ZIP chứa mục không được hỗ trợ.";
const std::string unknown_or_twice = "Gói ZIP chứa file lạ hoặc trùng tên.";
const std::string unsafe_entry = "File trong ZIP có thuộc tính/kích thước không an toàn.";

const Bodies two_files = {{"Main.exe", "main body 12345"}, {"Data/a.bmd", "model"}};

TEST(ZipPackage, HostileNamesMatchNothingAndWriteNothing) {
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}});
    for (const auto& [placeholder, name] : std::vector<std::pair<std::string, std::string>>{
             {"xx/Main.exe", "../Main.exe"},
             {"a/xx/Main.exe", "a/../Main.exe"},
             {"xMain.exe", "/Main.exe"},
             {"xxxMain.exe", "C:/Main.exe"},
             {"xxxMain.exe", "C:\\Main.exe"},
             {"Main.exe.x", std::string("Main.exe\0x", 10)},  // cut at its zero it would be listed
         }) {
        ZipBytes zip(make_zip({{placeholder, "main body 12345"}}));
        zip.rename(0, name);
        EXPECT_EQ(failure_of([&] { c.extract(zip.bytes); }), unknown_or_twice) << name;
    }
    // One byte past miniz's name buffer: its copy of the name would be exactly the listed path.
    std::string long_path = "Data/";
    for (int i = 0; i < 168; ++i) long_path += "ệ";
    long_path += ".b";
    PackageCase at_limit(Bodies{{long_path, "model"}}, {{"Main.exe", "main"}});
    EXPECT_EQ(failure_of([&] { at_limit.extract(make_zip({{long_path + "x", "model"}})); }), not_supported);
    EXPECT_EQ(tree_of(c.folder.path()), (std::set<std::wstring>{L"client", L"client/.qorn-launcher",
                                                                 L"client/.qorn-launcher/downloads",
                                                                 L"client/.qorn-launcher/downloads/p1.zip"}));
}

TEST(ZipPackage, ArchivesThatDoNotMatchThePackageAreRefused) {
    PackageCase c(two_files, {{"Data/other.bmd", "other"}});
    for (const std::string& bytes : {std::string("<html>502 Bad Gateway</html>"), make_zip(two_files).substr(0, 40)}) {
        EXPECT_EQ(failure_of([&] { c.extract(bytes); }), "Gói ZIP tải về không hợp lệ.") << bytes.size();
    }
    EXPECT_EQ(failure_of([&] { c.extract(make_zip({two_files[0]})); }), "Số file trong gói ZIP không đúng manifest.");
    EXPECT_EQ(failure_of([&] { c.extract(make_zip({{"Data/", ""}, two_files[1]})); }), not_supported);
    EXPECT_TRUE(tree_of(c.state.file("staging")).empty());
    // Listed in the manifest, but not in this package.
    EXPECT_EQ(failure_of([&] { c.extract(make_zip({two_files[0], {"Data/other.bmd", "other"}})); }), unknown_or_twice);

    const auto with_attributes = [](std::uint16_t made_by, std::uint32_t attributes) {
        ZipBytes zip(make_zip(two_files));
        zip.set(1, test::central_made_by, made_by, 2);
        zip.set(1, test::central_external, attributes, 4);
        return zip.bytes;
    };
    EXPECT_EQ(failure_of([&] { c.extract(with_attributes(0x031E, 0xA1FF0000)); }), unsafe_entry);  // Unix link
    EXPECT_EQ(failure_of([&] { c.extract(with_attributes(0x003F, 0x00000420)); }), unsafe_entry);  // reparse point
    EXPECT_FALSE(file_info(c.staged("Data/a.bmd")).exists);
}

TEST(ZipPackage, StreamLongerThanItsHeadersWritesNoByteOfIt) {
    const std::string model(4000, 'q');
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {"Data/a.bmd", model}});
    // The headers claim the listed size, the stream inflates to 3 bytes more.
    ZipBytes longer(make_zip({{"Main.exe", "main body 12345"}, {"Data/a.bmd", model + "xyz"}}));
    longer.set(1, test::central_size, 4000, 4);
    EXPECT_EQ(failure_of([&] { c.extract(longer.bytes); }), "Gói ZIP giải nén vượt kích thước manifest.");
    EXPECT_EQ(file_info(c.staged("Data/a.bmd")).size, 0u);
}

TEST(ZipPackage, StopDuringALargeEntryIsCancelledNotACrcFailure) {
    std::string large;
    for (std::uint32_t i = 0; large.size() < 2097152; ++i) large += std::to_string(i * 2654435761u);
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {"Data/large.bin", large}});
    bool cancelled = false;
    try {
        c.extract(make_zip({{"Main.exe", "main body 12345"}, {"Data/large.bin", large}}), [&](const Progress& p) {
            if (p.done > 524288) c.cancel.cancel();
        });
    } catch (const Cancelled&) {
        cancelled = true;
    }
    EXPECT_TRUE(cancelled);
    const std::uint64_t partial = file_info(c.staged("Data/large.bin")).size;
    EXPECT_TRUE(partial >= 524288 && partial < large.size()) << partial;
}

}  // namespace
}  // namespace qorn
