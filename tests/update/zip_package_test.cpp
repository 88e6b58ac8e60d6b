#include "update/zip_package.hpp"
#include "support/failure.hpp"
#include "update/zip_fixture.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;
using test::make_zip;

const test::Bodies two_files = {{"Main.exe", "main body 12345"}, {"Data/a.bmd", std::string(4000, 'q')}};
const std::pair<std::string, std::string> main_exe = two_files[0], model = two_files[1];

// The archive of both files, the first named `name` in both headers (no writer makes such names).
std::string first_named(const std::string& name) {
    const std::string placeholder(name.size(), 'x');
    std::string zip = make_zip({{placeholder, main_exe.second}, model});
    zip.replace(zip.find(placeholder), name.size(), name);
    return zip.replace(zip.rfind(placeholder), name.size(), name);
}

// A field of the central header of Data/a.bmd set to a value.
std::string model_with(std::string zip, size_t offset, std::uint32_t value, size_t width) {
    test::put_le(zip, test::central_of(zip, model.first) + offset, value, width);
    return zip;
}

// Each archive is refused with the message the player reads, before a byte of
// Data/a.bmd is written and without anything written outside the staging area.
TEST(ZipPackage, ArchivesThatDoNotMatchThePackageAreRefusedWithoutStrayWrites) {
    const std::string unknown_or_twice = "Gói ZIP chứa file lạ hoặc trùng tên.";
    const std::string unsafe_entry = "File trong ZIP có thuộc tính/kích thước không an toàn.";
    const std::string longer = make_zip({main_exe, {model.first, model.second + "xyz"}});
    const std::pair<std::string, std::string> cases[] = {
        {first_named("../Main.exe"), unknown_or_twice},
        {first_named("a/../Main.exe"), unknown_or_twice},
        {first_named("/Main.exe"), unknown_or_twice},
        {first_named("C:/Main.exe"), unknown_or_twice},
        {first_named("C:\\Main.exe"), unknown_or_twice},
        {first_named(std::string("Main.exe\0x", 10)), unknown_or_twice},  // cut at its zero it would be listed
        {make_zip({main_exe, {"MAIN.EXE", main_exe.second}}), unknown_or_twice},
        {make_zip({main_exe, {"Data/other.bmd", "other"}}), unknown_or_twice},  // listed, but in no package
        {make_zip(two_files).substr(0, 40), "Gói ZIP tải về không hợp lệ."},
        {make_zip({main_exe}), "Số file trong gói ZIP không đúng manifest."},
        {make_zip({{"Data/", ""}, model}), "Gói ZIP chứa mục không được hỗ trợ."},
        {model_with(model_with(make_zip(two_files), 4, 0x031E, 2), 38, 0xA1FF0000, 4), unsafe_entry},  // Unix link
        {model_with(make_zip(two_files), 38, 0x420, 4), unsafe_entry},  // reparse point
        // The headers claim the listed size, the stream inflates to 3 bytes more.
        {model_with(longer, 24, 4000, 4), "Gói ZIP giải nén vượt kích thước manifest."},
    };
    std::set<std::wstring> allowed = {L"client", L"client/.qorn-launcher"};
    for (const wchar_t* entry : {L"downloads", L"downloads/p1.zip", L"staging", L"staging/Main.exe", L"staging/Data",
                                 L"staging/Data/a.bmd"}) {
        allowed.insert(L"client/.qorn-launcher/" + std::wstring(entry));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        test::PackageCase c(two_files, {{"Data/other.bmd", "other"}});
        EXPECT_EQ(failure_of([&] { c.extract(cases[i].first); }), cases[i].second) << "case " << i;
        EXPECT_EQ(file_info(c.staged(model.first)).size, 0u);
        for (const std::wstring& entry : test::tree_of(c.folder.path())) EXPECT_TRUE(allowed.count(entry));
    }
    // One byte past miniz's name buffer: its copy of the name would be exactly the listed path.
    std::string long_path = "Data/";
    for (int i = 0; i < 168; ++i) long_path += "ệ";
    test::PackageCase at_limit({{long_path + ".b", "model"}}, {main_exe});
    EXPECT_EQ(failure_of([&] { at_limit.extract(make_zip({{long_path + ".bx", "model"}})); }),
              "Gói ZIP chứa mục không được hỗ trợ.");
}

TEST(ZipPackage, StopDuringALargeEntryIsCancelledNotACrcFailure) {
    const std::string large(2097152, 'q');
    test::PackageCase c({main_exe, {"Data/large.bin", large}});
    EXPECT_THROW(c.extract(make_zip({main_exe, {"Data/large.bin", large}}),
                           [&](const Progress& p) {
                               if (p.done > 524288) c.cancel.cancel();
                           }),
                 Cancelled);
    const std::uint64_t partial = file_info(c.staged("Data/large.bin")).size;
    EXPECT_TRUE(partial >= 524288 && partial < large.size()) << partial;
}

}  // namespace
}  // namespace qorn
