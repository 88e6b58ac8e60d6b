#include "update/apply.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "core/tree_removal.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"
#include "update/download_planning.hpp"
#include "update/journal.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;
using namespace test;

const Bodies old_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v1"}, {"Data/b.bmd", "b v1"}, {"Data/c.bmd", "c"}};
const Bodies new_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/b.bmd", "b v1"},
                            {"Data/Mới/d.bmd", "d new"}};

// A client holding `from` as installed (or nothing), with what `to` changes staged.
struct Client {
    TempFolder folder;
    State state{folder / L"client"};
    Manifest old_manifest, new_manifest;
    std::vector<ClientFile> changed;
    Cancel cancel;
    ApplyCalls calls = system_apply_calls();

    explicit Client(bool installed = true, const Bodies& from = old_release, const Bodies& to = new_release)
        : old_manifest(release_of(from)), new_manifest(release_of(to)) {
        if (installed) {
            write_client(state.root(), from);
            write_file_atomic(state.file("installed.json"), old_manifest.text);
        }
        for (const auto& [path, body] : to) {
            if (installed && std::find(from.begin(), from.end(), std::pair(path, body)) != from.end()) continue;
            write_bytes(staging_path(state, path), body);
        }
        for (const ClientFile& file : new_manifest.files) {
            if (file_info(staging_path(state, file.path)).exists) changed.push_back(file);
        }
    }

    std::filesystem::path at(const std::string& path) const { return state.root() / std::filesystem::path(to_wide(path)); }
    std::string client_file(const std::string& path) const {
        const FileInfo info = file_info(at(path));
        return !info.exists ? "(absent)" : info.is_directory ? "(folder)" : read_bytes(at(path));
    }
    void expect_client(const Bodies& bodies) const {
        for (const auto& [path, body] : bodies) EXPECT_EQ(client_file(path), body) << path;
    }
    void expect_ended() const {
        EXPECT_FALSE(file_info(state.file("journal.json")).exists);
        EXPECT_FALSE(file_info(state.file("transaction")).exists);
        EXPECT_FALSE(read_verified(state));
    }
    const Manifest* installed() const { return file_info(state.file("installed.json")).exists ? &old_manifest : nullptr; }
    void apply_new(const ProgressCallback& progress = {}, const HashCache* staged = nullptr) {
        apply(state, new_manifest, changed, installed(), manifest_url, cancel, progress, staged, nullptr, calls);
    }
    void recover() { recover_transaction(state, manifest_url, {}, Stage::recovering); }
    void set_read_only(std::initializer_list<const char*> paths) const {
        for (const char* path : paths) SetFileAttributesW(at(path).c_str(), FILE_ATTRIBUTE_READONLY);
    }

    // The journal apply writes for the default releases, before any file moves.
    std::vector<JournalOperation> operations() const {
        return {{"Data/c.bmd", true, true}, {"Data/a.bmd", true, false}, {"Data/Mới/d.bmd", false, false}};
    }
    // Removal of c done, a replaced, d created: the state of a crash in the middle.
    void crash_midway(bool committed = false) {
        write_journal(state, operations(), &old_manifest, committed);
        write_bytes(state.file("transaction/backup/Data/c.bmd"), "c");
        write_bytes(state.file("transaction/backup/Data/a.bmd"), "a v1");
        delete_file(at("Data/c.bmd"));
        write_bytes(at("Data/a.bmd"), "a v2 longer");
        write_bytes(at("Data/Mới/d.bmd"), "d new");
    }
};

bool read_only(const std::filesystem::path& path) { return GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY; }

// A volume that cannot move the originals aside: each backup is a copy.
BOOL WINAPI refuse_move(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_NOT_SAME_DEVICE);
    return FALSE;
}
const std::pair<const char*, ApplyCalls> backups[] = {{"moved aside", system_apply_calls()}, {"copied", {&refuse_move}}};

// The file's identity on its volume: a move keeps it, a copy is another file.
std::uint64_t file_index(const std::filesystem::path& path) {
    const UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(file.get(), &info);
    return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

TEST(Apply, JournalFirstThenAStopBetweenOperationsRollsBackAtOnce) {
    for (const auto& [name, calls] : backups) {
        SCOPED_TRACE(name);
        Client client;
        client.calls = calls;
        std::optional<Journal> journal;
        // Stopped as the second operation begins: the third never starts.
        EXPECT_THROW(client.apply_new([&](const Progress& p) {
            if (!journal) journal = read_journal(client.state);
            if (p.text == L"Sao lưu và áp dụng file cập nhật…" && p.done == 1) client.cancel.cancel();
        }), Cancelled);
        ASSERT_TRUE(journal);
        EXPECT_FALSE(journal->committed);
        EXPECT_EQ(journal->previous, json::parse(client.old_manifest.text));
        const auto text = [](const std::vector<JournalOperation>& ops) {
            std::string all;
            for (const JournalOperation& op : ops) all += op.path + (op.had_original ? " had" : " new") + (op.remove ? " -; " : " +; ");
            return all;
        };
        EXPECT_EQ(text(journal->operations), text(client.operations()));
        client.expect_client(old_release);
        EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
        EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
        client.expect_ended();
    }
}

TEST(Apply, HeldFileRollsBackAndReadOnlyFilesAreReplacedRemovedAndRestoredAsTheyWere) {
    Client client;
    // The game holds the file: already its backup copy cannot read it.
    const std::string failure = failure_while_held(client.at("Data/a.bmd"), [&] { client.apply_new(); });
    EXPECT_TRUE(starts_with(failure, "Không mở được file a.bmd: ")) << failure;
    client.expect_client(old_release);
    client.expect_ended();

    for (const auto& [name, calls] : backups) {
        SCOPED_TRACE(name);
        Client stopped;
        stopped.calls = calls;
        stopped.set_read_only({"Data/a.bmd", "Data/c.bmd"});
        // Stopped once both are gone or replaced.
        EXPECT_THROW(stopped.apply_new([&](const Progress& p) {
            if (p.text == L"Đã áp dụng file cập nhật" && p.done == 2) stopped.cancel.cancel();
        }), Cancelled);
        stopped.expect_client(old_release);
        EXPECT_TRUE(read_only(stopped.at("Data/a.bmd")));
        EXPECT_TRUE(read_only(stopped.at("Data/c.bmd")));

        Client again;
        again.calls = calls;
        again.set_read_only({"Data/a.bmd", "Data/c.bmd"});
        const std::uint64_t original = file_index(again.at("Data/a.bmd"));
        again.apply_new();
        again.expect_client(new_release);
        EXPECT_EQ(again.client_file("Data/c.bmd"), "(absent)");
        EXPECT_TRUE(read_only(again.state.file("backup-last/Data/a.bmd")));
        EXPECT_EQ(read_bytes(again.state.file("backup-last/Data/a.bmd")), "a v1");
        // Moved aside, the original itself is the backup; copied, it is another file.
        EXPECT_EQ(file_index(again.state.file("backup-last/Data/a.bmd")) == original, calls.move_file != &refuse_move);
    }
}

TEST(Apply, FoldersAndFilesMakeWayOnlyForWhatTheReleaseRemoves) {
    const Bodies folder_release = {{"Main.exe", "m"}, {"locale/kab/LC_MESSAGES/x.mo", "mo"}, {"x.exe", "exe"}};
    const Bodies file_release = {{"Main.exe", "m"}, {"locale/kab", "now a file"}, {"x.exe/readme.txt", "now a folder"}};
    {
        Client client(true, folder_release, file_release);
        client.apply_new();
        client.expect_client(file_release);
        client.expect_ended();
        EXPECT_EQ(read_bytes(client.state.file("backup-last/x.exe")), "exe");
    }
    {
        // Stopped when the file stands where the folder was: everything comes back.
        Client client(true, folder_release, file_release);
        EXPECT_THROW(client.apply_new([&](const Progress& p) {
            if (p.text == L"Đã áp dụng file cập nhật" && p.done == 3) client.cancel.cancel();
        }), Cancelled);
        client.expect_client(folder_release);
    }
    const std::pair<const char*, std::string> refusals[] = {  // the player's file, the failure
        {"locale/kab/ghi chú.txt",
         "Không thể thay thư mục bằng file: locale/kab (thư mục còn chứa locale/kab/ghi chú.txt, không thuộc bản cài đặt)."},
        {"x.exe", "Không thể tạo thư mục x.exe cho x.exe/readme.txt: ở đó đang có một file không thuộc bản cài đặt."},
    };
    for (const auto& [player_file, failure] : refusals) {
        Client client(false, folder_release, file_release);  // no installed record: nothing is removed
        write_bytes(client.at(player_file), "của người chơi");
        std::filesystem::create_directories(client.at("locale/kab/LC_MESSAGES"));
        EXPECT_EQ(failure_of([&] { client.apply_new(); }), failure);
        EXPECT_EQ(client.client_file(player_file), "của người chơi");
        EXPECT_FALSE(file_info(client.state.file("journal.json")).exists);
    }
}

TEST(Apply, FoldersTheOldReleaseEmptiedGoUnlessTheyHoldSomething) {
    const Bodies from = {{"Main.exe", "m"}, {"locale/kab/LC_MESSAGES/x.mo", "mo"}, {"Dữ liệu/a.bmd", "a"},
                         {"Data/Kept/b.bmd", "b"}};
    const Bodies to = {{"Main.exe", "m"}, {"data/kept/B.bmd", "b2"}};
    Client client(true, from, to);
    write_bytes(client.at("Dữ liệu/player.txt"), "mine");
    client.apply_new();
    EXPECT_EQ(client.client_file("locale"), "(absent)");
    EXPECT_EQ(client.client_file("Dữ liệu/player.txt"), "mine");
    EXPECT_EQ(client.client_file("Dữ liệu/a.bmd"), "(absent)");
    EXPECT_EQ(client.client_file("Data/Kept"), "(folder)");  // the same folder by case
}

TEST(Apply, HashCacheKeepsAStagedEntryOnlyWhenSizeTimeAndDigestAgree) {
    // Rows: the staged entry's size and time shifts, its digest, whether the cache keeps it.
    const std::tuple<std::uint64_t, std::uint64_t, bool, bool> cases[] = {
        {0, 0, true, true}, {1, 0, true, false}, {0, 1, true, false}, {0, 0, false, false}};
    for (const auto& [size_shift, time_shift, right_digest, kept] : cases) {
        Client client;
        const ClientFile& d = client.changed.back();  // Data/Mới/d.bmd
        write_hash_cache(client.state, {{"Data/c.bmd", {1, 1, "x"}}, {"Main.exe", {7, 7, "m"}}});
        const FileInfo staged_file = file_info(staging_path(client.state, d.path));
        const HashCache staged = {{d.path, {staged_file.size + size_shift, staged_file.modified_ticks + time_shift,
                                            right_digest ? d.sha256 : std::string(64, 'a')}}};
        client.apply_new({}, &staged);
        const HashCache cache = read_hash_cache(client.state);
        EXPECT_EQ(cache.count(d.path), kept ? 1u : 0u) << size_shift << time_shift << right_digest;
        EXPECT_EQ(cache.count("Data/c.bmd") + cache.count("Main.exe"), 1u);  // only untouched files keep theirs
    }
}

TEST(Recovery, RollsBackBeforeAndAfterFilesMovedRepeatsAFailedRollBackAndTidiesACommit) {
    Client client;
    // Journal written, no file moved yet.
    write_journal(client.state, client.operations(), &client.old_manifest, false);
    write_file_atomic(client.state.file("installed.json"), "garbage");
    client.recover();
    client.expect_client(old_release);
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.old_manifest.text);
    client.expect_ended();

    client.crash_midway();
    // The roll-back cannot delete a held file.
    EXPECT_NE(failure_while_held(client.at("Data/Mới/d.bmd"), [&] { client.recover(); }), "(no failure)");
    EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
    client.recover();
    client.expect_client(old_release);
    EXPECT_EQ(client.client_file("Data/Mới/d.bmd"), "(absent)");
    EXPECT_FALSE(file_info(client.state.file("hash-cache.json")).exists);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    client.expect_ended();

    // Committed before the crash: only tidied up.
    client.crash_midway(true);
    write_file_atomic(client.state.file("installed.json"), client.new_manifest.text);
    write_bytes(client.state.file("backup-last/old.bmd"), "from the run before");
    recover_transaction(client.state, manifest_url, {}, Stage::applying);
    client.expect_client({{"Data/a.bmd", "a v2 longer"}, {"Data/c.bmd", "(absent)"}, {"Data/Mới/d.bmd", "d new"}});
    EXPECT_EQ(read_bytes(client.state.file("installed.json")), client.new_manifest.text);
    EXPECT_EQ(read_bytes(client.state.file("backup-last/Data/a.bmd")), "a v1");
    EXPECT_FALSE(file_info(client.state.file("backup-last/old.bmd")).exists);
    client.expect_ended();
}

TEST(Recovery, JournalsOfEarlierBuildsAndPreviousReleasesThatNoLongerValidate) {
    Client client;
    // Indented with ASCII escapes, the previous release as a document: as earlier builds wrote it.
    json journal = {
        {"previous", json::parse(client.old_manifest.text)}, {"committed", false}, {"operations", json::array()}};
    for (const JournalOperation& op : client.operations()) {
        journal["operations"].push_back({{"path", op.path}, {"hadOriginal", op.had_original}, {"remove", op.remove}});
    }
    client.crash_midway();
    write_json_file(client.state.file("journal.json"), journal);
    client.recover();
    client.expect_client(old_release);
    EXPECT_EQ(read_installed(client.state, manifest_url)->releaseId, "r1");

    // A previous release on another host leaves no record instead of a journal that never ends.
    client.crash_midway();
    recover_transaction(client.state, L"http://localhost:1/api/manifest", {}, Stage::recovering);
    client.expect_client(old_release);
    EXPECT_FALSE(file_info(client.state.file("installed.json")).exists);
    client.expect_ended();

    Client first(false);  // a first installation rolled back deletes the record
    write_journal(first.state, {{"Data/Mới/d.bmd", false, false}}, nullptr, false);
    write_bytes(first.at("Data/Mới/d.bmd"), "d new");
    write_file_atomic(first.state.file("installed.json"), first.new_manifest.text);
    first.recover();
    EXPECT_FALSE(file_info(first.state.file("installed.json")).exists);
    EXPECT_EQ(first.client_file("Data/Mới/d.bmd"), "(absent)");
    first.expect_ended();
}

TEST(Recovery, BrokenJournalsStayInPlaceUntouched) {
    Client client;
    client.crash_midway();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"operations\":", "parse"},
        {"{\"operations\":[{\"path\":\"Data/a.bmd\",\"hadOriginal\":\"yes\",\"remove\":false}]}",
         "Nhật ký phục hồi không hợp lệ."},
        {"{\"committed\":1,\"operations\":[]}", "Nhật ký phục hồi không hợp lệ."},
        {"{\"operations\":" + std::string(300, '[') + std::string(300, ']') + "}", "Dữ liệu JSON lồng nhau quá sâu."},
    };
    for (const auto& [text, failure] : cases) {
        write_bytes(client.state.file("journal.json"), text);
        const std::string got = failure_of([&] { client.recover(); });
        EXPECT_TRUE(got == failure || (failure == "parse" && got.find("parse_error") != std::string::npos)) << got;
        EXPECT_TRUE(file_info(client.state.file("journal.json")).exists);
        EXPECT_EQ(client.client_file("Data/a.bmd"), "a v2 longer");
    }
    std::vector<JournalOperation> too_many(journal_operation_limit + 1, {"a", false, true});
    write_journal(client.state, too_many, nullptr, false);
    EXPECT_EQ(failure_of([&] { client.recover(); }), "Nhật ký phục hồi không hợp lệ.");
}

// Download planning, on releases of their own.
constexpr std::uint64_t margin = 67108864;
const Bodies planned_from = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v1"}, {"Data/c.bmd", "c"}};
const Bodies planned_to = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/d.bmd", "d new"}};

Manifest with_one_package(const Bodies& bodies) {
    json document = json::parse(release_of(bodies).text);
    json names = json::array();
    for (const auto& [path, body] : bodies) names.push_back(path);
    document["packages"] = json::array({package_entry(names)});  // 100 bytes
    return manifest_from_json(document, manifest_url);
}

TEST(DownloadPlanning, NeedCountsMissingBytesPackagesAndTheBackupsOfReplacedAndDroppedFiles) {
    TempFolder folder;
    const State state(folder / L"client");
    const Manifest installed = release_of(planned_from);
    const Manifest release = with_one_package(planned_to);
    const std::vector<ClientFile> changed = {release.files[1], release.files[2]};
    Cancel cancel;
    const auto plan = [&](const std::vector<ClientFile>& files, const Manifest* with) {
        return plan_downloads(state, release, files, with, nullptr, cancel);
    };

    // A fresh folder: packages, each missing byte, nothing to back up.
    DownloadPlan fresh = plan(release.files, nullptr);
    EXPECT_TRUE(fresh.packages);
    EXPECT_EQ(fresh.total, 100u);
    EXPECT_EQ(fresh.need, margin + 23 + 100);
    write_bytes(state.file("downloads/" + release.packages[0].sha256 + ".zip"), std::string(40, 'z'));
    write_bytes(staging_path(state, "Data/a.bmd"), "a v2 ");
    fresh = plan(release.files, nullptr);
    EXPECT_EQ(fresh.need, margin + (23 - 5) + (100 - 40));

    // Installed: single files whatever the packages; the changed file and the dropped one are backed up.
    write_client(state.root(), planned_from);
    const DownloadPlan update = plan(changed, &installed);
    EXPECT_FALSE(update.packages);
    EXPECT_EQ(update.total, 16u);
    EXPECT_EQ(update.need, margin + (11 - 5) + 5 + 4 + 1);
    EXPECT_FALSE(plan(release.files, nullptr).packages);  // Main.exe is there
}

TEST(DownloadPlanning, AStagingAreaOfTheOtherShapeIsClearedAndMeasuredAgain) {
    TempFolder folder;
    const State state(folder / L"client");
    const Manifest release = release_of(planned_to);
    Cancel cancel;
    // Left by stopped runs of other releases: Data/a.bmd was a folder, Data a file.
    for (const char* left : {"Data/a.bmd/x", "Data"}) {
        remove_tree(state.file("staging"));
        write_bytes(state.file("staging/" + std::string(left)), "left over");
        write_bytes(state.file("staging/Main.exe"), "main v1");
        const DownloadPlan plan = plan_downloads(state, release, release.files, nullptr, nullptr, cancel);
        EXPECT_EQ(plan.need, margin + 23) << left;
        EXPECT_FALSE(file_info(state.file("staging")).exists) << left;
    }
}

TEST(DownloadPlanning, StagedFileChangedBeforeVerification) {
    // Nothing listens on this port: files already staged are accepted without a request,
    // each after being read back and hashed once in this run.
    const std::wstring dead_host_manifest = L"http://127.0.0.1:9/api/manifest";
    const Bodies bodies = {{"Main.exe", "main"}, {"Data/f1", "body 1"}, {"Data/f2", "body 2"}};
    enum class Change { rewritten, held_open, held_open_time_moved };
    const struct {
        Change change;
        std::string failure;
    } rows[] = {
        // The first in the release's order is named, whichever thread finds its fault first.
        {Change::rewritten, "File tải về/giải nén sai SHA-256: Data/f1"},
        // Unchanged since this run checked them: not opened again.
        {Change::held_open, "(no failure)"},
        // Another time: read again, so the sharing violation shows.
        {Change::held_open_time_moved, "Không mở được file"},
    };
    for (const auto& row : rows) {
        TempFolder folder;
        const State state(folder / L"client");
        Cancel cancel;
        Network network(dead_host_manifest, cancel);
        for (const auto& [path, body] : bodies) write_bytes(staging_path(state, path), body);
        json document = json::parse(release_of(bodies).text);
        for (json& file : document["files"]) file["url"] = "http://127.0.0.1:9/files/" + file["sha256"].get<std::string>();
        const Manifest manifest = manifest_from_json(document, dead_host_manifest);
        std::vector<std::unique_ptr<HeldOpen>> held;
        const std::string failure = failure_of([&] {
            download_files(state, manifest, manifest.files, nullptr, network, cancel, [&](const Progress& p) {
                if (p.stage != Stage::verifying || p.files_done != 0 || !p.detail.empty()) return;
                for (const char* path : {"Data/f2", "Data/f1"}) {
                    const std::filesystem::path staged = staging_path(state, path);
                    if (row.change == Change::rewritten) write_bytes(staged, "BODY 9");
                    if (row.change == Change::held_open_time_moved) {
                        set_write_time(staged, file_info(staged).modified_ticks - file_time_to_ticks + 10000000);
                    }
                    if (row.change != Change::rewritten) held.push_back(std::make_unique<HeldOpen>(staged));
                }
            }, nullptr, nullptr);
        });
        EXPECT_EQ(failure.substr(0, row.failure.size()), row.failure) << failure;
    }
}

}  // namespace
}  // namespace qorn
