#include "update/apply.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;
using test::Bodies;
using test::failure_of;
using test::read_bytes;

const Bodies old_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v1"}, {"Data/b.bmd", "b v1"}, {"Data/c.bmd", "c"}};
const Bodies new_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/b.bmd", "b v1"},
                            {"Data/Mới/d.bmd", "d new"}};

// A client holding the old release as installed (or nothing), with the new one staged.
struct Client {
    test::TempFolder folder;
    State state{folder / L"client"};
    Manifest old_manifest = test::release_of(old_release);
    Manifest new_manifest = test::release_of(new_release);
    std::vector<ClientFile> changed;
    Cancel cancel;

    explicit Client(bool installed = true) {
        if (installed) {
            test::write_client(state.root(), old_release);
            write_file_atomic(state.file("installed.json"), old_manifest.text);
        }
        for (const auto& [path, body] : new_release) {
            if (installed && (path == "Main.exe" || path == "Data/b.bmd")) continue;  // unchanged
            test::write_bytes(staging_path(state, path), body);
        }
        for (const ClientFile& file : new_manifest.files) {
            if (file_info(staging_path(state, file.path)).exists) changed.push_back(file);
        }
    }

    std::string client_file(const std::string& path) const {
        const auto file = state.root() / std::filesystem::path(to_wide(path));
        return file_info(file).exists ? read_bytes(file) : "(absent)";
    }
    void expect_client(const Bodies& bodies) const {
        for (const auto& [path, body] : bodies) EXPECT_EQ(client_file(path), body) << path;
    }
    void expect_ended() const {
        EXPECT_FALSE(file_info(state.file("journal.json")).exists);
        EXPECT_FALSE(file_info(state.file("transaction")).exists);
        EXPECT_FALSE(read_verified(state).valid);
    }
    void apply_new(const ProgressCallback& progress = {}) {
        apply(state, new_manifest, changed, test::manifest_url, cancel, progress, nullptr);
    }
    void recover() { recover_transaction(state, test::manifest_url, {}, 8); }

    // The journal apply writes for the new release, before any file moves.
    json journal() const {
        return {{"previous", old_manifest.json},
                {"committed", false},
                {"operations", json::array({{{"path", "Data/c.bmd"}, {"hadOriginal", true}, {"remove", true}},
                                            {{"path", "Data/a.bmd"}, {"hadOriginal", true}, {"remove", false}},
                                            {{"path", "Data/Mới/d.bmd"}, {"hadOriginal", false}, {"remove", false}}})}};
    }

    // Removal of c done, a replaced, d created: the state of a crash in the middle.
    void crash_midway() {
        write_json_file(state.file("journal.json"), journal());
        test::write_bytes(state.file("transaction/backup/Data/c.bmd"), "c");
        test::write_bytes(state.file("transaction/backup/Data/a.bmd"), "a v1");
        delete_file(state.root() / L"Data" / L"c.bmd");
        test::write_bytes(state.root() / L"Data" / L"a.bmd", "a v2 longer");
        test::write_bytes(state.root() / L"Data" / L"Mới" / L"d.bmd", "d new");
        write_hash_cache(state, {{"Data/a.bmd", {{"size", 11}}}});
    }
};

TEST(Apply, StopDuringAnOperationRollsBackAtOnce) {
    Client client;
    // Stopped while backing up the second operation: the third never starts.
    EXPECT_THROW(client.apply_new([&](const Progress& p) {
        if (p.text == L"Đang sao lưu file trước khi thay thế…" && p.done == 1) client.cancel.cancel();
    }), Cancelled);
    client.expect_client(old_release);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
    client.expect_ended();
}

TEST(Apply, FailedMoveRollsBackAndRefusesFoldersForFiles) {
    Client client;
    {
        test::HeldOpen game(client.state.root() / L"Data" / L"a.bmd");
        // The game holds the file: already its backup copy cannot read it.
        const std::string failure = failure_of([&] { client.apply_new(); });
        EXPECT_TRUE(test::starts_with(failure, "Không mở được file a.bmd: ")) << failure;
    }
    client.expect_client(old_release);
    client.expect_ended();

    delete_file(client.state.root() / L"Data" / L"c.bmd");
    std::filesystem::create_directories(client.state.root() / L"Data" / L"c.bmd");
    EXPECT_EQ(failure_of([&] { client.apply_new(); }), "Không thể thay thư mục bằng file: Data/c.bmd");
    EXPECT_FALSE(file_info(client.state.file("journal.json")).exists);
}

TEST(Recovery, RollsBackBeforeAndAfterFilesMovedRepeatsAFailedRollBackAndTidiesACommit) {
    Client client;
    // Journal written, no file moved yet.
    write_json_file(client.state.file("journal.json"), client.journal());
    write_file_atomic(client.state.file("installed.json"), "garbage");
    client.recover();
    client.expect_client(old_release);
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
    client.expect_ended();

    client.crash_midway();
    {
        test::HeldOpen game(client.state.root() / L"Data" / L"Mới" / L"d.bmd");  // the roll-back cannot delete it
        EXPECT_THROW(client.recover(), std::runtime_error);
    }
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    client.recover();
    client.expect_client(old_release);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    EXPECT_FALSE(file_info(client.state.file("hash-cache.json")).exists);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    client.expect_ended();

    // Committed before the crash: only tidied up.
    client.crash_midway();
    json journal = client.journal();
    journal["committed"] = true;
    write_json_file(client.state.file("journal.json"), journal);
    write_file_atomic(client.state.file("installed.json"), client.new_manifest.text);
    test::write_bytes(client.state.file("backup-last/old.bmd"), "from the run before");
    recover_transaction(client.state, test::manifest_url, {}, 5);
    client.expect_client({{"Data/a.bmd", "a v2 longer"}, {"Data/c.bmd", "(absent)"}, {"Data/Mới/d.bmd", "d new"}});
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.new_manifest.text);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    EXPECT_FALSE(file_info(client.state.file("backup-last/old.bmd")).exists);
    client.expect_ended();
}

TEST(Recovery, FirstInstallationRollBackDeletesTheRecord) {
    Client client(false);
    json journal = client.journal();
    journal["previous"] = nullptr;
    for (json& op : journal["operations"]) op["hadOriginal"] = false;
    write_json_file(client.state.file("journal.json"), journal);
    test::write_bytes(client.state.root() / L"Data" / L"Mới" / L"d.bmd", "d new");
    write_file_atomic(client.state.file("installed.json"), client.new_manifest.text);
    client.recover();
    EXPECT_FALSE(file_info(client.state.file("installed.json")).exists);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    client.expect_ended();
}

TEST(Recovery, OversizedOrBrokenJournalStaysInPlace) {
    Client client;
    json journal = client.journal();
    journal["operations"] = json::array();
    for (size_t i = 0; i <= journal_operation_limit; ++i) {
        journal["operations"].push_back({{"path", "a"}, {"hadOriginal", false}, {"remove", true}});
    }
    write_json_file(client.state.file("journal.json"), journal);
    EXPECT_EQ(failure_of([&] { client.recover(); }), "Nhật ký phục hồi không hợp lệ.");
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    test::write_bytes(client.state.file("journal.json"), "{\"operations\":");
    EXPECT_THROW(client.recover(), json::parse_error);
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    client.expect_client(old_release);
}

}  // namespace
}  // namespace qorn
