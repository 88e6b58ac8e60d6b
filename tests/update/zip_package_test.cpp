#include "update/zip_package.hpp"
#include "core/files.hpp"
#include "support/failure.hpp"
#include "update/zip_fixture.hpp"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace qorn {
namespace {

using test::Bodies;
using test::failure_of;
using test::PackageCase;
using test::ZipBytes;

const std::string not_supported = "Gói ZIP chứa mục không được hỗ trợ.";
const std::string unknown_or_twice = "Gói ZIP chứa file lạ hoặc trùng tên.";
const std::string unsafe_entry = "File trong ZIP có thuộc tính/kích thước không an toàn.";
const std::string bad_crc = "Giải nén ZIP thất bại hoặc sai CRC.";

const Bodies two_files = {{"Main.exe", "main body 12345"}, {"Data/a.bmd", "model"}};

// Every entry under the folder, relative, "/"-separated and spelled as on disk.
std::set<std::wstring> tree_of(const std::filesystem::path& folder) {
    std::set<std::wstring> entries;
    if (!file_info(folder).exists) return entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries.insert(entry.path().lexically_relative(folder).generic_wstring());
    }
    return entries;
}

// The two-file archive with one patch applied.
template <typename Patch>
std::string two_files_with(Patch patch) {
    ZipBytes zip(test::make_zip(test::entries_of(two_files)));
    patch(zip);
    return zip.bytes;
}

TEST(ZipPackage, ExtractsUnderTheManifestSpellingWithProgress) {
    const std::string model(5000, 'm');
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {"Data/Rỗng.txt", ""}, {"Data/Nhân Vật/Ả.bmd", model}});
    test::write_bytes(c.staged("Main.exe"), std::string(100, 'x'));  // longer, left by an earlier run
    using Report = std::tuple<std::wstring, std::uint64_t, std::uint64_t>;
    std::vector<Report> seen;
    c.extract(test::make_zip({{"main.EXE", "main body 12345"}, {"Data/Rỗng.txt", ""}, {"DATA/NHÂN VẬT/ả.BMD", model}}),
              [&](const Progress& p) {
                  EXPECT_TRUE(p.stage == 3 && p.text == L"Đang giải nén client…" && p.total == 5015 &&
                              p.files_total == 3 && p.extra == 0 && p.in_bytes);
                  seen.emplace_back(p.detail, p.done, p.files_done);
              });

    EXPECT_EQ(test::read_bytes(c.staged("Main.exe")), "main body 12345");
    EXPECT_EQ(test::read_bytes(c.staged("Data/Nhân Vật/Ả.bmd")), model);
    EXPECT_EQ(tree_of(c.state.file("staging")), (std::set<std::wstring>{L"Main.exe", L"Data", L"Data/Rỗng.txt",
                                                                        L"Data/Nhân Vật", L"Data/Nhân Vật/Ả.bmd"}));
    EXPECT_TRUE(file_info(c.zip_file).exists);
    // Per entry: before it, per written piece (these bodies inflate in one), after it.
    const std::wstring a = L"Data/Nhân Vật/Ả.bmd";
    EXPECT_EQ(seen, (std::vector<Report>{{L"Main.exe", 0, 0}, {L"Main.exe", 15, 0}, {L"Main.exe", 15, 1},
                                         {L"Data/Rỗng.txt", 15, 1}, {L"Data/Rỗng.txt", 15, 2},
                                         {a, 15, 2}, {a, 5015, 2}, {a, 5015, 3}}));
}

TEST(ZipPackage, EntryCountAndNamesMustMatchThePackage) {
    PackageCase c(two_files, {{"Data/other.bmd", "other"}});
    const auto with = [](Bodies bodies) { return test::make_zip(test::entries_of(bodies)); };
    EXPECT_EQ(failure_of([&] { c.extract(with({two_files[0]})); }), "Số file trong gói ZIP không đúng manifest.");
    EXPECT_EQ(failure_of([&] { c.extract(with({two_files[0], two_files[1], {"Data/b.bmd", "b"}})); }),
              "Số file trong gói ZIP không đúng manifest.");
    EXPECT_TRUE(tree_of(c.state.file("staging")).empty());

    EXPECT_EQ(failure_of([&] { c.extract(with({two_files[0], {"MAIN.exe", "main body 12345"}})); }), unknown_or_twice);
    EXPECT_EQ(test::read_bytes(c.staged("Main.exe")), "main body 12345");  // the first one stays
    // Listed in the manifest, but not in this package.
    EXPECT_EQ(failure_of([&] { c.extract(with({two_files[0], {"Data/other.bmd", "other"}})); }), unknown_or_twice);
    // A package listing a file twice would shrink the count the archive is held to.
    c.package.files.push_back("MAIN.EXE");
    EXPECT_EQ(failure_of([&] { c.extract(with(two_files)); }), "Gói ZIP chứa danh sách file sai/trùng.");
}

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
        ZipBytes zip(test::make_zip({{placeholder, "main body 12345"}}));
        zip.rename(0, name);
        EXPECT_EQ(failure_of([&] { c.extract(zip.bytes); }), unknown_or_twice) << name;
    }
    EXPECT_EQ(tree_of(c.folder.path()), (std::set<std::wstring>{L"client", L"client/.qorn-launcher",
                                                                 L"client/.qorn-launcher/downloads",
                                                                 L"client/.qorn-launcher/downloads/p1.zip"}));
}

TEST(ZipPackage, NameLengthLimitIsNotCutShort) {
    // 511 bytes of UTF-8 in 175 UTF-16 code units: a valid client path at the limit.
    std::string long_path = "Data/";
    for (int i = 0; i < 168; ++i) long_path += "ệ";
    long_path += ".b";
    ASSERT_EQ(long_path.size(), 511u);
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {long_path, "model"}});
    c.extract(test::make_zip({{"Main.exe", "main body 12345"}, {long_path, "model"}}));
    EXPECT_EQ(test::read_bytes(c.staged(long_path)), "model");
    // One byte more: miniz's own copy of the name would be exactly the listed path.
    EXPECT_EQ(failure_of([&] { c.extract(test::make_zip({{"Main.exe", "main body 12345"}, {long_path + "x", "m"}})); }),
              not_supported);
}

TEST(ZipPackage, UnsupportedEntriesLinksAndWrongSizesAreRefused) {
    PackageCase c(two_files);
    EXPECT_EQ(failure_of([&] { c.extract(test::make_zip({{"Data/", ""}, {"Data/a.bmd", "model"}})); }), not_supported);
    const auto refusal = [&](size_t field, std::uint16_t value) {
        return failure_of([&] { c.extract(two_files_with([&](ZipBytes& z) { z.set(0, field, value, 2); })); });
    };
    EXPECT_EQ(refusal(test::central_flags, 0x0809), not_supported);  // encrypted
    EXPECT_EQ(refusal(test::central_method, 12), not_supported);     // bzip2
    // The checks keep their order: what cannot be read is refused before its name is looked at.
    EXPECT_EQ(failure_of([&] {
                  c.extract(two_files_with([](ZipBytes& z) {
                      z.set(0, test::central_method, 12, 2);
                      z.rename(0, "Unknown!");
                  }));
              }),
              not_supported);
    EXPECT_TRUE(tree_of(c.state.file("staging")).empty());

    const auto with_attributes = [](std::uint16_t made_by, std::uint32_t attributes) {
        return two_files_with([&](ZipBytes& z) {
            z.set(1, test::central_made_by, made_by, 2);
            z.set(1, test::central_external, attributes, 4);
        });
    };
    EXPECT_EQ(failure_of([&] { c.extract(with_attributes(0x031E, 0xA1FF0000)); }), unsafe_entry);  // Unix link
    EXPECT_EQ(failure_of([&] { c.extract(with_attributes(0x003F, 0x00000420)); }), unsafe_entry);  // reparse point
    EXPECT_FALSE(file_info(c.staged("Data/a.bmd")).exists);
    // A Unix type that merely shares bits with the link type is a file.
    EXPECT_NO_THROW(c.extract(with_attributes(0x031E, 0xE1FF0000)));
    for (const std::string& listed : {std::string("mode"), std::string("model!")}) {
        PackageCase sized(Bodies{two_files[0], {"Data/a.bmd", listed}});
        EXPECT_EQ(failure_of([&] { sized.extract(test::make_zip(test::entries_of(two_files))); }), unsafe_entry);
    }
}

TEST(ZipPackage, DataThatDisagreesWithItsHeadersFails) {
    const std::string model(4000, 'q');
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {"Data/a.bmd", model}});
    ZipBytes wrong_crc(test::make_zip({{"Main.exe", "main body 12345"}, {"Data/a.bmd", model}}));
    wrong_crc.set(1, test::central_crc, wrong_crc.field(1, test::central_crc, 4) ^ 1, 4);
    EXPECT_EQ(failure_of([&] { c.extract(wrong_crc.bytes); }), bad_crc);

    // The headers claim the listed size, the stream inflates to 3 bytes more: not a byte of it is written.
    ZipBytes longer(test::make_zip({{"Main.exe", "main body 12345"}, {"Data/a.bmd", model + "xyz"}}));
    longer.set(1, test::central_size, 4000, 4);
    EXPECT_EQ(failure_of([&] { c.extract(longer.bytes); }), "Gói ZIP giải nén vượt kích thước manifest.");
    EXPECT_EQ(file_info(c.staged("Data/a.bmd")).size, 0u);

    // Sizes in a zip64 field: 15 bytes claimed, no data held, which miniz skips as done.
    std::string sizes("\x01\x00\x10\x00", 4);
    for (const std::uint64_t size : {std::uint64_t{15}, std::uint64_t{0}}) {
        for (int i = 0; i < 8; ++i) sizes += static_cast<char>(size >> (8 * i));
    }
    ZipBytes hollow(test::make_zip({{"Main.exe", "", false, sizes}, {"Data/a.bmd", model}}));
    hollow.set(0, test::central_size, 0xFFFFFFFF, 4);
    hollow.set(0, test::central_compressed, 0xFFFFFFFF, 4);
    EXPECT_EQ(failure_of([&] { c.extract(hollow.bytes); }), bad_crc);
}

TEST(ZipPackage, StopDuringALargeEntryIsCancelledNotACrcFailure) {
    std::string large;
    for (std::uint32_t i = 0; large.size() < 2097152; ++i) large += std::to_string(i * 2654435761u);
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}, {"Data/large.bin", large}});
    bool cancelled = false;
    try {
        c.extract(test::make_zip({{"Main.exe", "main body 12345"}, {"Data/large.bin", large}}), [&](const Progress& p) {
            if (p.done > 524288) c.cancel.cancel();
        });
    } catch (const Cancelled&) {
        cancelled = true;
    }
    EXPECT_TRUE(cancelled);
    const std::uint64_t partial = file_info(c.staged("Data/large.bin")).size;
    EXPECT_TRUE(partial >= 524288 && partial < large.size()) << partial;
}

TEST(ZipPackage, FileThatIsNoZipIsInvalid) {
    PackageCase c(Bodies{{"Main.exe", "main body 12345"}});
    const std::string zip = test::make_zip({{"Main.exe", "main body 12345"}});
    for (const std::string& bytes : {std::string("<html>502 Bad Gateway</html>"), std::string(), zip.substr(0, 40)}) {
        EXPECT_EQ(failure_of([&] { c.extract(bytes); }), "Gói ZIP tải về không hợp lệ.") << bytes.size();
    }
}

}  // namespace
}  // namespace qorn
