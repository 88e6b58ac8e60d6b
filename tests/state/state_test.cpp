#include "state/state.hpp"
#include "core/log.hpp"
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
};

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

TEST(VerifiedRecord, ValidOnlyWhileInstalledJsonIsUntouchedAndReadable) {
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

    write_verified(installed.state, installed.manifest);  // valid again, then broken
    ASSERT_TRUE(read_verified(installed.state).valid);
    test::write_bytes(installed.state.file("verified-release.json"), "{not json");
    EXPECT_FALSE(read_verified(installed.state).valid);
    delete_verified(installed.state);
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

TEST(Log, NeverFailsItsCaller) {
    TempFolder client;
    const auto log = client / L".qorn-launcher" / L"launcher.log";
    test::write_bytes(log, "");
    {
        test::HeldOpen other_writer(log);
        EXPECT_NO_THROW(write_log(client.path(), "lost"));
    }
    EXPECT_EQ(test::read_bytes(log), "");

    TempFolder blocked;
    test::write_bytes(blocked / L".qorn-launcher", "a file where the state folder belongs");
    EXPECT_NO_THROW(write_log(blocked.path(), "lost too"));
}

}  // namespace
}  // namespace qorn
