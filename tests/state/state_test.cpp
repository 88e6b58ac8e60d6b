#include "state/state.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;
using test::TempFolder;

const test::Bodies client = {{"Main.exe", "main body 12"}, {"Data/Ồ.bmd", "dữ liệu"}};

// A folder with the release installed and recorded as verified.
struct Installed {
    TempFolder folder;
    State state{folder / L"client"};
    Manifest manifest = test::release_of(client);

    Installed() {
        test::write_client(state.root(), client);
        write_file_atomic(state.file("installed.json"), manifest.text);
        write_verified(state, manifest);
    }

    void rewrite_record(const char* key, const json& value) {
        json record = read_json_file(state.file("verified-release.json"));
        record[key] = value;
        write_json_file(state.file("verified-release.json"), record);
    }
};

TEST(State, LocatesStateFilesAndRefusesLinks) {
    TempFolder folder;
    const State state(folder / L"client" / L".." / L"client");
    EXPECT_EQ(state.root(), folder / L"client");
    EXPECT_TRUE(file_info(folder / L"client" / L".qorn-launcher").is_directory);
    EXPECT_EQ(state.file("self-update/offer.json"),
              folder / L"client" / L".qorn-launcher" / L"self-update" / L"offer.json");
    EXPECT_EQ(staging_path(state, "Data/a.bmd"), state.file("staging") / L"Data" / L"a.bmd");
    EXPECT_EQ(failure_of([&] { staging_path(state, "Updater.exe"); }), "Đường dẫn dành riêng cho launcher.");

    std::filesystem::create_directories(folder / L"real");
    if (!test::make_folder_link(folder / L"linked", folder / L"real")) GTEST_SKIP() << "no folder links here";
    EXPECT_EQ(failure_of([&] { State linked(folder / L"linked" / L"client"); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(folder / L"linked"));
    EXPECT_TRUE(std::filesystem::is_empty(folder / L"real"));
}

TEST(State, SecondLockOnOneFolderIsRefused) {
    TempFolder folder;
    const State state(folder.path());
    {
        UpdateLock first = lock_update(state);
        EXPECT_EQ(failure_of([&] { lock_update(State(folder.path())); }),
                  "Launcher khác đang kiểm tra hoặc cập nhật thư mục này.");
    }
    EXPECT_NO_THROW(lock_update(state));
    EXPECT_EQ(file_info(state.file("update.lock")).size, 0u);
}

TEST(VerifiedRecord, ValidOnlyWhileInstalledJsonIsUntouched) {
    Installed installed;
    EXPECT_TRUE(read_verified(installed.state).valid);
    EXPECT_EQ(read_verified(installed.state).record["releaseId"], "r1");
    EXPECT_NO_THROW(check_ready(installed.state));

    test::write_bytes(installed.state.file("journal.json"), "{}");
    EXPECT_FALSE(read_verified(installed.state).valid);
    delete_file(installed.state.file("journal.json"));
    EXPECT_TRUE(read_verified(installed.state).valid);

    test::set_write_time(installed.state.file("installed.json"), 132223104000000000ULL);  // same text, new time
    EXPECT_FALSE(read_verified(installed.state).valid);
    EXPECT_EQ(failure_of([&] { check_ready(installed.state); }), "Client chưa hoàn chỉnh. Hãy bấm Kiểm tra lại để sửa.");
}

TEST(VerifiedRecord, NumberKindsAndBrokenRecords) {
    Installed installed;
    const std::uint64_t length = file_info(installed.state.file("installed.json")).size;
    installed.rewrite_record("installedLength", static_cast<double>(length));  // 12.0 compares as 12
    EXPECT_TRUE(read_verified(installed.state).valid);
    installed.rewrite_record("mainSize", 12.0);
    EXPECT_FALSE(read_verified(installed.state).valid);
    installed.rewrite_record("mainSize", -1);
    EXPECT_FALSE(read_verified(installed.state).valid);
    installed.rewrite_record("mainSize", 12);
    installed.rewrite_record("manifestSha256", std::string(64, 'A'));
    EXPECT_FALSE(read_verified(installed.state).valid);
    test::write_bytes(installed.state.file("verified-release.json"), "{not json");
    EXPECT_FALSE(read_verified(installed.state).valid);
    delete_verified(installed.state);
    EXPECT_FALSE(read_verified(installed.state).valid);
    EXPECT_NO_THROW(delete_verified(installed.state));

    delete_file(installed.state.file("installed.json"));
    EXPECT_EQ(failure_of([&] { write_verified(installed.state, installed.manifest); }),
              "Thiếu dữ liệu xác nhận client.");
}

TEST(CheckReady, LooksAtMainExeSizeOnly) {
    Installed installed;
    test::write_bytes(installed.state.root() / L"Main.exe", "MAIN BODY 12");  // same size, other bytes
    EXPECT_NO_THROW(check_ready(installed.state));
    test::write_bytes(installed.state.root() / L"Main.exe", "main body 123");
    EXPECT_EQ(failure_of([&] { check_ready(installed.state); }),
              "Main.exe bị thiếu hoặc thay đổi. Hãy bấm Kiểm tra lại.");
    delete_file(installed.state.root() / L"Main.exe");
    std::filesystem::create_directories(installed.state.root() / L"Main.exe");
    EXPECT_EQ(failure_of([&] { check_ready(installed.state); }),
              "Main.exe bị thiếu hoặc thay đổi. Hãy bấm Kiểm tra lại.");
}

TEST(HashCache, UnreadableMeansEmptyAndRebuildsTheRecordOnlyWhenExact) {
    Installed installed;
    const State& state = installed.state;
    EXPECT_EQ(read_hash_cache(state), json::object());
    test::write_bytes(state.file("hash-cache.json"), "[1,2]");
    EXPECT_EQ(read_hash_cache(state), json::object());
    test::write_bytes(state.file("hash-cache.json"), "garbage");
    EXPECT_EQ(read_hash_cache(state), json::object());

    json cache = json::object();
    for (const ClientFile& file : installed.manifest.files) {
        cache[file.path] = {{"size", file.size}, {"modifiedTicks", 1}, {"sha256", file.sha256}};
    }
    delete_verified(state);
    Cancel cancel;
    cache["Extra.txt"] = cache["Main.exe"];
    write_hash_cache(state, cache);
    EXPECT_FALSE(verify_from_hash_cache(state, test::manifest_url, cancel).valid);  // one member too many
    cache.erase("Extra.txt");
    cache["Main.exe"]["size"] = 13;
    write_hash_cache(state, cache);
    EXPECT_FALSE(verify_from_hash_cache(state, test::manifest_url, cancel).valid);
    cache["Main.exe"]["size"] = 12;
    write_hash_cache(state, cache);
    EXPECT_FALSE(read_verified(state).valid);
    EXPECT_TRUE(verify_from_hash_cache(state, test::manifest_url, cancel).valid);
    EXPECT_TRUE(read_verified(state).valid);
}

TEST(CleanTemporary, ReportsEveryThirtiethEntryThenRemoves) {
    TempFolder folder;
    const State state(folder.path());
    std::vector<Progress> reports;
    const ProgressCallback record = [&](const Progress& p) { reports.push_back(p); };
    clean_temporary(state, "staging", record, 7);
    EXPECT_TRUE(reports.empty());

    for (int i = 0; i < 60; ++i) test::write_bytes(state.file("staging") / (L"f" + std::to_wstring(i)), "x");
    for (int i = 0; i < 4; ++i) test::write_bytes(state.file("staging") / L"sub" / (L"g" + std::to_wstring(i)), "x");
    clean_temporary(state, "staging", record, 7);  // 60 + 4 files and one folder: 65 entries
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].text, L"Đang kiểm tra dữ liệu tạm trước khi dọn…");
    EXPECT_EQ(reports[1].text, L"Đang kiểm tra dữ liệu tạm trước khi dọn…");
    EXPECT_EQ(reports[2].text, L"Đang dọn dữ liệu cài đặt tạm…");
    EXPECT_EQ(reports[2].detail, L"staging");
    EXPECT_EQ(reports[2].total, 65u);
    EXPECT_FALSE(reports[2].in_bytes);
    EXPECT_EQ(reports[0].stage, 7u);
    EXPECT_FALSE(file_info(state.file("staging")).exists);
}

TEST(CleanTemporary, LinkInsideStopsTheRemoval) {
    TempFolder folder;
    const State state(folder / L"client");
    test::write_bytes(folder / L"precious" / L"save.dat", "keep me");
    test::write_bytes(state.file("downloads") / L"a.zip", "zip");
    if (!test::make_folder_link(state.file("downloads") / L"escape", folder / L"precious")) {
        GTEST_SKIP() << "no folder links here";
    }
    EXPECT_TRUE(test::starts_with(failure_of([&] { clean_temporary(state, "downloads", {}, 7); }),
                                  "Không chấp nhận liên kết thư mục/file: "));
    EXPECT_EQ(test::read_bytes(folder / L"precious" / L"save.dat"), "keep me");
}

}  // namespace
}  // namespace qorn
