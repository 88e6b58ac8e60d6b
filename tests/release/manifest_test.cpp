#include "release/manifest.hpp"
#include "core/text.hpp"
#include "release/manifest_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;
using test::file_entry;
using test::manifest_url;
using test::package_entry;
using test::valid_manifest;

std::string refusal(const json& document) {
    return failure_of([&] { manifest_from_json(document, manifest_url); });
}

TEST(Manifest, ParsesIntoRecordsAndKeepsTheText) {
    json document = valid_manifest();
    document["comment"] = "unknown keys stay";
    const Manifest manifest = manifest_from_json(document, manifest_url);
    EXPECT_EQ(manifest.releaseId, "r1");
    ASSERT_EQ(manifest.files.size(), 2u);
    EXPECT_EQ(manifest.files[1].path, "Data/nhân vật/a.bmd");
    EXPECT_EQ(manifest.files[1].size, 4u);
    EXPECT_EQ(manifest.files[0].url, L"http://127.0.0.1:54321/files/" + to_wide(sha256_hex("abc")));
    EXPECT_EQ(manifest.directories, std::vector<std::string>{"Data/Trống"});
    EXPECT_EQ(manifest.text, document.dump());  // compact, UTF-8 as it is
    EXPECT_NE(manifest.text.find("nhân"), std::string::npos);
    EXPECT_EQ(manifest.sha256, sha256_hex(manifest.text));
    EXPECT_EQ(manifest.json["comment"], "unknown keys stay");
    EXPECT_TRUE(manifest.launchers.is_array());

    const Manifest again = parse_manifest(manifest.text, manifest_url);
    EXPECT_EQ(again.sha256, manifest.sha256);
}

TEST(Manifest, ShapeAndLimits) {
    const std::string not_pc = "Manifest không đúng định dạng PC.";
    json document = valid_manifest();
    document.erase("schemaVersion");
    EXPECT_EQ(refusal(document), not_pc);
    document["schemaVersion"] = 2;
    EXPECT_EQ(refusal(document), not_pc);
    document = valid_manifest();
    document["files"] = json::array();
    EXPECT_EQ(refusal(document), not_pc);
    document["files"] = json::object();
    EXPECT_EQ(refusal(document), not_pc);
    document = valid_manifest();
    document["releaseId"] = "r..1";
    EXPECT_EQ(refusal(document), "Mã phiên bản không hợp lệ.");
    EXPECT_THROW(parse_manifest("{\"schemaVersion\":1,", manifest_url), json::parse_error);
    EXPECT_THROW(parse_manifest("[1]", manifest_url), json::type_error);
    document = valid_manifest();
    document["directories"] = "Data";
    EXPECT_THROW(manifest_from_json(document, manifest_url), json::type_error);

    // 64 MiB of text passes the size test and one byte more does not.
    std::string padded = valid_manifest().dump();
    padded.insert(padded.size() - 1, ",\"pad\":\"\"");
    padded.insert(padded.size() - 2, std::string(manifest_text_limit - padded.size(), ' '));
    EXPECT_EQ(padded.size(), manifest_text_limit);
    EXPECT_EQ(failure_of([&] { parse_manifest(padded, manifest_url); }), "(no failure)");
    EXPECT_EQ(failure_of([&] { parse_manifest(padded + " ", manifest_url); }), "Manifest vượt giới hạn 64 MB.");
}

TEST(Manifest, FileCountLimit) {
    json document = valid_manifest();
    json files = json::array({file_entry("Main.exe")});
    for (size_t i = 1; i < manifest_file_limit; ++i) files.push_back(file_entry("f/" + std::to_string(i), 0, ""));
    document["files"] = files;
    document.erase("directories");
    EXPECT_EQ(refusal(document), "(no failure)");
    document["files"].push_back(file_entry("f/extra", 0, ""));
    EXPECT_EQ(refusal(document), "Manifest không đúng định dạng PC.");
}

TEST(Manifest, SizesAndTheirSums) {
    const std::string invalid = "Kích thước file không hợp lệ.";
    for (const json& size : {json(1.0), json("3"), json(-1), json(nullptr), json(18446744073709551616.0)}) {
        json document = valid_manifest();
        document["files"][0]["size"] = size;
        EXPECT_EQ(refusal(document), invalid) << size;
    }
    json document = valid_manifest();
    document["files"][0].erase("size");
    EXPECT_EQ(refusal(document), invalid);
    document = valid_manifest();
    document["files"][0]["size"] = 9223372036854775808ULL;
    EXPECT_EQ(refusal(document), "Kích thước file vượt giới hạn.");

    document = valid_manifest();
    document["files"] = json::array({file_entry("Main.exe", 9223372036854775807ULL)});
    EXPECT_EQ(refusal(document), "(no failure)");
    document["files"].push_back(file_entry("b", 1));
    EXPECT_EQ(refusal(document), "Tổng dung lượng client vượt giới hạn.");
}

TEST(Manifest, NamesThatCollideOnWindows) {
    json document = valid_manifest();
    document["files"].push_back(file_entry("MAIN.exe"));
    EXPECT_EQ(refusal(document), "Manifest chứa file trùng tên.");

    document = valid_manifest();
    document["files"][0]["path"] = "Bin/Main.exe";
    EXPECT_EQ(refusal(document), "Bản phát hành phải có Main.exe.");
    document["files"][0]["path"] = "main.exe";
    EXPECT_EQ(refusal(document), "(no failure)");

    document = valid_manifest();
    document["files"].push_back(file_entry("Data"));  // "Data" is a folder on the way to a file
    EXPECT_EQ(refusal(document), "Đường dẫn thư mục trùng với file.");
    document = valid_manifest();
    document["directories"] = json::array({"Data", "DATA/nhân vật", "Trống"});
    EXPECT_EQ(refusal(document), "(no failure)");
    document["directories"].push_back("data");
    EXPECT_EQ(refusal(document), "Thư mục trùng với file/thư mục khác.");
    document["directories"] = json::array({"MAIN.EXE"});
    EXPECT_EQ(refusal(document), "Thư mục trùng với file/thư mục khác.");
    document["directories"] = json::array({"Main.exe/sub"});
    EXPECT_EQ(refusal(document), "Đường dẫn thư mục trùng với file.");
    document["directories"] = json::array({"Updater.exe"});
    EXPECT_EQ(refusal(document), "Đường dẫn dành riêng cho launcher.");
}

TEST(Manifest, PathDigestAndUrlRulesOfEachFile) {
    json document = valid_manifest();
    document["files"][1]["path"] = "Data/../x";
    EXPECT_EQ(refusal(document), "Đường dẫn không an toàn: Data/../x");
    document = valid_manifest();
    document["files"][1]["sha256"] = std::string(64, 'F');
    EXPECT_EQ(refusal(document), "SHA-256 không hợp lệ.");
    document = valid_manifest();
    document["files"][1]["url"] = "http://127.0.0.1:54322/files/x";
    EXPECT_EQ(refusal(document), "URL tải phải cùng hosting cập nhật.");
    document["files"][1]["url"] = "/files/x";
    EXPECT_EQ(refusal(document), "URL không hợp lệ.");
    document = valid_manifest();
    document["launchers"] = json::array({1, 2, 3});
    EXPECT_EQ(refusal(document), "Danh sách Updater không hợp lệ.");
}

TEST(Manifest, PackagesCoverEveryFileOnceByCaseKey) {
    json document = valid_manifest();
    document["packages"] = json::array({package_entry({"main.exe", "Data/nhân vật/a.bmd"})});
    const Manifest manifest = manifest_from_json(document, manifest_url);
    ASSERT_EQ(manifest.packages.size(), 1u);
    EXPECT_EQ(manifest.packages[0].files[0], "main.exe");

    document["packages"] = json::array({package_entry({"Main.exe"})});
    EXPECT_EQ(refusal(document), "Gói cài mới chưa chứa đủ file.");
    document["packages"] = json::array({package_entry({"Main.exe"}), package_entry({"DATA/NHÂN VẬT/A.BMD"}, "p2")});
    EXPECT_EQ(refusal(document), "(no failure)");
    document["packages"][1]["sha256"] = document["packages"][0]["sha256"];
    EXPECT_EQ(refusal(document), "Gói cài mới không hợp lệ.");
    document["packages"] = json::array({package_entry({"Main.exe"}), package_entry({"MAIN.EXE"}, "p2")});
    EXPECT_EQ(refusal(document), "Gói ZIP chứa danh sách file sai/trùng.");
    document["packages"] = json::array({package_entry({"Main.exe", "Data/Trống"})});
    EXPECT_EQ(refusal(document), "Gói ZIP chứa danh sách file sai/trùng.");
    document["packages"] = json::array({package_entry(json::array())});
    EXPECT_EQ(refusal(document), "Gói cài mới không hợp lệ.");
    document["packages"] = json::array({package_entry({"Main.exe", "Data/nhân vật/a.bmd"})});
    document["packages"][0]["size"] = 0;
    EXPECT_EQ(refusal(document), "Gói cài mới không hợp lệ.");
    document["packages"] = json::array({package_entry({"Main.exe"}), package_entry({"Data/nhân vật/a.bmd"}, "p2")});
    document["packages"][0]["size"] = 9223372036854775807ULL;
    EXPECT_EQ(refusal(document), "Tổng dung lượng bản phát hành vượt giới hạn.");
}

TEST(Manifest, FilesDroppedByTheNextReleaseAreComparedByCaseKey) {
    json next = valid_manifest();
    next["files"] = json::array({file_entry("MAIN.EXE"), file_entry("Data/new.bmd")});
    const Manifest installed = manifest_from_json(valid_manifest(), manifest_url);
    const std::vector<ClientFile> dropped = files_dropped_by(manifest_from_json(next, manifest_url), installed);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].path, "Data/nhân vật/a.bmd");
}

TEST(PrefixRelease, ReadsTheIdFromIncompleteTexts) {
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1\",\"files\":["), "r1");
    EXPECT_EQ(prefix_release("{\"releaseId\":\"r1\",\"schemaVersion\":1"), "r1");
    EXPECT_EQ(prefix_release("{\"releaseId\":\"r1\",\"files\":[{\"path\":\"Main.exe\""), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":2,\"releaseId\":\"r1\""), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"x\":{\"releaseId\":\"nested\"}"), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1\",\"releaseId\":\"r2\",\"files\""), "r2");
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1.0,\"releaseId\":\"r1\"}"), std::nullopt);
    EXPECT_EQ(prefix_release("{\"schemaVersion\":1,\"releaseId\":\"r1"), std::nullopt);  // string not complete
    EXPECT_EQ(prefix_release(""), std::nullopt);
    EXPECT_EQ(prefix_release("garbage"), std::nullopt);
    EXPECT_EQ(failure_of([] { prefix_release("{\"schemaVersion\":1,\"releaseId\":\"-r\","); }),
              "Mã phiên bản không hợp lệ.");
}

}  // namespace
}  // namespace qorn
