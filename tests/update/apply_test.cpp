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
using test::TempFolder;

const Bodies old_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v1"}, {"Data/b.bmd", "b v1"}, {"Data/c.bmd", "c"}};
const Bodies new_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/b.bmd", "b v1"},
                            {"Data/Mới/d.bmd", "d new"}};

// A client holding the old release as installed, with the new one staged.
struct Client {
    TempFolder folder;
    State state{folder / L"client"};
    Manifest old_manifest = test::release_of(old_release);
    Manifest new_manifest = test::release_of(new_release, {"Data/Trống"});
    std::vector<ClientFile> changed;

    explicit Client(bool installed = true) {
        if (installed) {
            test::write_client(state.root(), old_release);
            write_file_atomic(state.file("installed.json"), old_manifest.text);
        }
        for (const ClientFile& file : new_manifest.files) {
            const std::string body = body_of(new_release, file.path);
            if (installed && body == body_of(old_release, file.path)) continue;
            test::write_bytes(staging_path(state, file.path), body);
            changed.push_back(file);
        }
    }

    static std::string body_of(const Bodies& bodies, const std::string& path) {
        for (const auto& [p, body] : bodies) {
            if (p == path) return body;
        }
        return "(absent)";
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

    void apply_new(const Cancel& cancel, const ProgressCallback& progress = {}, const json* staged = nullptr) {
        apply(state, new_manifest, changed, test::manifest_url, cancel, progress, staged);
    }

    // The journal apply would write for the new release, before any file moves.
    json journal() const {
        return {{"previous", old_manifest.json},
                {"committed", false},
                {"operations", json::array({{{"path", "Data/c.bmd"}, {"hadOriginal", true}, {"remove", true}},
                                            {{"path", "Data/a.bmd"}, {"hadOriginal", true}, {"remove", false}},
                                            {{"path", "Data/Mới/d.bmd"}, {"hadOriginal", false}, {"remove", false}}})}};
    }
};

TEST(Apply, UpdateReplacesAddsRemovesAndKeepsBackups) {
    Client client;
    Cancel cancel;
    std::vector<Progress> reports;
    client.apply_new(cancel, [&](const Progress& p) { reports.push_back(p); });
    client.expect_client({{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/c.bmd", "(absent)"},
                          {"Data/Mới/d.bmd", "d new"}});
    EXPECT_TRUE(file_info(client.state.root() / L"Data" / L"Trống").is_directory);
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.new_manifest.text);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/c.bmd")), "c");
    client.expect_ended();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().text, L"Đã hoàn tất thay file");
    EXPECT_EQ(reports.back().done, 3u + 1 + 2);  // three operations, one folder, two closing steps
    EXPECT_EQ(reports.back().total, reports.back().done);
}

TEST(Apply, FirstInstallationAndWhatTheHashCacheKeeps) {
    Client client(false);
    Cancel cancel;
    json staged = json::object();
    for (const ClientFile& file : client.changed) {
        const FileInfo info = file_info(staging_path(client.state, file.path));
        staged[file.path] = {{"size", file.size}, {"modifiedTicks", info.modified_ticks}, {"sha256", file.sha256}};
    }
    staged["Data/b.bmd"]["modifiedTicks"] = 1;  // disagrees: not trusted later
    client.apply_new(cancel, {}, &staged);
    client.expect_client(new_release);
    const json cache = read_hash_cache(client.state);
    EXPECT_TRUE(cache.contains("Main.exe"));
    EXPECT_FALSE(cache.contains("Data/b.bmd"));
    EXPECT_FALSE(file_info(client.state.file("backup-last")).exists);  // nothing was replaced
    client.expect_ended();
}

TEST(Apply, StopDuringTheThirdOperationRollsBackAtOnce) {
    Client client;
    Bodies ten = old_release;
    for (int i = 0; i < 7; ++i) ten.push_back({"Data/x" + std::to_string(i), std::string(200000, 'x')});
    test::write_client(client.state.root(), ten);
    client.old_manifest = test::release_of(ten);
    write_file_atomic(client.state.file("installed.json"), client.old_manifest.text);
    Bodies replaced = ten;
    for (auto& [path, body] : replaced) body += " v2";
    client.new_manifest = test::release_of(replaced);
    client.changed = client.new_manifest.files;
    for (const auto& [path, body] : replaced) test::write_bytes(staging_path(client.state, path), body);

    Cancel cancel;
    int backups = 0;
    EXPECT_THROW(client.apply_new(cancel, [&](const Progress& p) {
        if (p.text == L"Đang sao lưu file trước khi thay thế…" && p.done == 2 && ++backups == 1) cancel.cancel();
    }), Cancelled);
    client.expect_client(ten);
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
    client.expect_ended();
}

TEST(Apply, FailedMoveRollsBackAndRefusesFoldersForFiles) {
    Client client;
    Cancel cancel;
    {
        test::HeldOpen game(client.state.root() / L"Data" / L"a.bmd");
        // The game holds the file: already its backup copy cannot read it.
        const std::string failure = failure_of([&] { client.apply_new(cancel); });
        EXPECT_TRUE(test::starts_with(failure, "Không mở được file a.bmd: ")) << failure;
    }
    client.expect_client(old_release);
    client.expect_ended();

    delete_file(client.state.root() / L"Data" / L"c.bmd");
    std::filesystem::create_directories(client.state.root() / L"Data" / L"c.bmd");
    EXPECT_EQ(failure_of([&] { client.apply_new(cancel); }), "Không thể thay thư mục bằng file: Data/c.bmd");
    EXPECT_FALSE(file_info(client.state.file("journal.json")).exists);
}

TEST(Recovery, JournalWrittenBeforeAnyFileMoved) {
    Client client;
    write_json_file(client.state.file("journal.json"), client.journal());
    write_file_atomic(client.state.file("installed.json"), "garbage");
    recover_transaction(client.state, test::manifest_url, {}, 8);
    client.expect_client(old_release);
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
    client.expect_ended();
}

// Removal of c done, a replaced, d created: the state of a crash in the middle.
void crash_midway(Client& client) {
    write_json_file(client.state.file("journal.json"), client.journal());
    test::write_bytes(client.state.file("transaction/backup/Data/c.bmd"), "c");
    test::write_bytes(client.state.file("transaction/backup/Data/a.bmd"), "a v1");
    delete_file(client.state.root() / L"Data" / L"c.bmd");
    test::write_bytes(client.state.root() / L"Data" / L"a.bmd", "a v2 longer");
    test::write_bytes(client.state.root() / L"Data" / L"Mới" / L"d.bmd", "d new");
    write_hash_cache(client.state, {{"Data/a.bmd", {{"size", 11}}}});
}

TEST(Recovery, SomeFilesReplacedComeBackAndAddedFilesGo) {
    Client client;
    crash_midway(client);
    recover_transaction(client.state, test::manifest_url, {}, 8);
    client.expect_client(old_release);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    EXPECT_FALSE(file_info(client.state.file("hash-cache.json")).exists);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    client.expect_ended();
}

TEST(Recovery, FailureDuringRollBackIsRepeatedToTheSameEnd) {
    Client client;
    crash_midway(client);
    {
        test::HeldOpen game(client.state.root() / L"Data" / L"Mới" / L"d.bmd");  // the roll-back cannot delete it
        EXPECT_THROW(recover_transaction(client.state, test::manifest_url, {}, 8), std::runtime_error);
    }
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    recover_transaction(client.state, test::manifest_url, {}, 8);
    client.expect_client(old_release);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    client.expect_ended();
}

TEST(Recovery, CommittedJournalIsOnlyTidiedUp) {
    Client client;
    crash_midway(client);
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
    recover_transaction(client.state, test::manifest_url, {}, 8);
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
    EXPECT_EQ(failure_of([&] { recover_transaction(client.state, test::manifest_url, {}, 8); }),
              "Nhật ký phục hồi không hợp lệ.");
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    test::write_bytes(client.state.file("journal.json"), "{\"operations\":");
    EXPECT_THROW(recover_transaction(client.state, test::manifest_url, {}, 8), json::parse_error);
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    client.expect_client(old_release);
}

}  // namespace
}  // namespace qorn
