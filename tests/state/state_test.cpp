#include "state/state.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
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

TEST(State, UnderWineAClientFolderOnAUnixMountWorksAndLinksInsideAreStillRefused) {
    if (!running_under_wine()) GTEST_SKIP() << "a Wine matter";
    const TempFolder root(L"Z:\\tmp");
    const State state(root / L"client");
    write_state_file(state, "installed.json", "{}");
    test::write_bytes(root / L"elsewhere" / L"a.bmd", "a");
    if (!test::make_folder_link(state.root() / L"Data", root / L"elsewhere")) GTEST_SKIP() << "no folder links here";
    EXPECT_EQ(failure_of([&] { client_path(state.root(), "Data/a.bmd", false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(state.root() / L"Data"));
}

TEST(VerifiedRecord, RulesOfTheRecord) {
    Installed installed;
    const json good = read_json_file(installed.state.file("verified-release.json"));
    const std::tuple<const char*, json, bool> cases[] = {  // a member set to a value, whether the record stands
        {"releaseId", "r1", true}, {"installedLength", good["installedLength"].get<double>(), true},  // 12.0 is 12
        {"releaseId", "-r1", false}, {"releaseId", 1, false}, {"manifestSha256", std::string(64, 'A'), false},
        {"mainSize", 12.0, false}, {"mainSize", -1, false},
        {"installedTicks", good["installedTicks"].get<std::uint64_t>() + 1, false},
    };
    for (const auto& [key, value, valid] : cases) {
        json record = good;
        record[key] = value;
        write_json_file(installed.state.file("verified-release.json"), record);
        EXPECT_EQ(read_verified(installed.state).has_value(), valid) << key << " " << value;
    }
    write_json_file(installed.state.file("verified-release.json"), good);
    EXPECT_EQ(read_verified(installed.state).value_or(VerifiedRelease{}).release_id, "r1");

    test::write_bytes(installed.state.file("journal.json"), "{}");
    EXPECT_FALSE(read_verified(installed.state));
    delete_file(installed.state.file("journal.json"));
    test::set_write_time(installed.state.file("installed.json"), 132223104000000000ULL);  // same text, new time
    EXPECT_FALSE(read_verified(installed.state));
    EXPECT_EQ(failure_of([&] { check_ready(installed.state); }), "Client chưa hoàn chỉnh. Hãy bấm Kiểm tra lại để sửa.");
    test::write_bytes(installed.state.file("verified-release.json"), "{not json");
    EXPECT_FALSE(read_verified(installed.state));
    delete_file(installed.state.file("installed.json"));
    EXPECT_EQ(failure_of([&] { write_verified(installed.state, installed.manifest); }),
              "Thiếu dữ liệu xác nhận client.");
}

TEST(AcceptedStatement, RoundTripAndOnlyAnUnopenableRecordFailsTheRun) {
    const TempFolder folder;
    const State state(folder / L"client");
    EXPECT_FALSE(read_accepted_statement(state));
    const ReleaseStatement statement{"r1", sha256_hex("abc"), ~0ULL, "2030-01-01T00:00:00Z", 1};
    write_accepted_statement(state, statement);
    const AcceptedStatement accepted = read_accepted_statement(state).value_or(AcceptedStatement{});
    EXPECT_EQ(std::tie(accepted.sequence, accepted.release_id, accepted.manifest_sha256),
              std::tie(statement.sequence, statement.release_id, statement.manifest_sha256));

    // Not as the launcher writes it: no floor for this run, as after the player deleted it.
    const json good = read_json_file(state.file("release-statement.json"));
    const std::pair<const char*, json> changes[] = {{"sequence", -1}, {"sequence", 7.0}, {"sequence", "7"},
                                                    {"releaseId", "-r1"}, {"manifestSha256", std::string(64, 'A')}};
    for (const auto& [key, value] : changes) {
        json record = good;
        record[key] = value;
        write_json_file(state.file("release-statement.json"), record);
        EXPECT_FALSE(read_accepted_statement(state)) << key << " " << value;
    }
    for (const std::string& text : {std::string("{\"sequence\":"), std::string("[]"), std::string("{}"),
                                    good.dump() + std::string(release_statement_limit, ' ')}) {
        test::write_bytes(state.file("release-statement.json"), text);
        EXPECT_FALSE(read_accepted_statement(state)) << text.substr(0, 40);
    }
    // A record that cannot be opened is not taken for a missing one.
    write_accepted_statement(state, statement);
    EXPECT_TRUE(test::starts_with(
        test::failure_while_held(state.file("release-statement.json"), [&] { read_accepted_statement(state); }),
        "Không mở được file release-statement.json: "));
}

TEST(CheckReady, LooksAtMainExeSizeOnly) {
    Installed installed;
    test::write_bytes(installed.state.root() / L"Main.exe", "MAIN BODY 12");  // same size, other bytes
    EXPECT_NO_THROW(check_ready(installed.state));
    test::write_bytes(installed.state.root() / L"Main.exe", "main body 123");
    EXPECT_EQ(failure_of([&] { check_ready(installed.state); }),
              "Main.exe bị thiếu hoặc thay đổi. Hãy bấm Kiểm tra lại.");
}

TEST(InstalledRecord, OnlyARecordThatDoesNotParseOrValidateCountsAsAbsent) {
    Installed installed;
    const State& state = installed.state;
    ASSERT_TRUE(read_installed(state, test::manifest_url));
    EXPECT_FALSE(read_installed(state, L"http://localhost:1/api/manifest"));  // another host
    EXPECT_TRUE(test::starts_with(
        test::failure_while_held(state.file("installed.json"), [&] { read_installed(state, test::manifest_url); }),
        "Không mở được file installed.json: "));
    test::write_bytes(state.file("installed.json"), "{\"schemaVersion\":");
    EXPECT_FALSE(read_installed(state, test::manifest_url));
}

TEST(HashCache, MembersNotAsWrittenAreNotTrustedAndTheRecordIsRebuiltOnlyWhenExact) {
    Installed installed;
    const State& state = installed.state;
    EXPECT_TRUE(read_hash_cache(state).empty());
    test::write_bytes(state.file("hash-cache.json"), "garbage");
    EXPECT_TRUE(read_hash_cache(state).empty());

    // Written by earlier builds: indented, ASCII escapes.
    json cache = json::object();
    for (const ClientFile& file : installed.manifest.files) {
        cache[file.path] = {{"size", file.size}, {"modifiedTicks", 1}, {"sha256", file.sha256}};
    }
    const auto rebuilds = [&](const json& members) {
        delete_verified(state);
        write_json_file(state.file("hash-cache.json"), members);
        Cancel cancel;
        return verify_from_hash_cache(state, &installed.manifest, cancel).has_value();
    };
    json extra = cache;
    extra["Extra.txt"] = cache["Main.exe"];
    EXPECT_FALSE(rebuilds(extra));  // one member too many
    for (const json& size : {json(13), json("12"), json(12.0), json(-12)}) {
        json changed = cache;
        changed["Main.exe"]["size"] = size;
        EXPECT_FALSE(rebuilds(changed)) << size;
        EXPECT_EQ(read_hash_cache(state).count("Main.exe"), size.is_number_integer() && size.get<int>() > 0 ? 1u : 0u) << size;
    }
    EXPECT_TRUE(rebuilds(cache));
    EXPECT_TRUE(read_verified(state));
    EXPECT_EQ(read_hash_cache(state).at("Data/Ồ.bmd").sha256, installed.manifest.files[1].sha256);
}

// The cache is read event by event; it must judge each text as a whole document would.
TEST(HashCache, ReadAsTheDocumentWouldBeJudged) {
    TempFolder folder;
    const State state(folder.path());
    const std::string digest(64, 'a');
    const std::string good = R"({"modifiedTicks":2,"sha256":")" + digest + R"(","size":1})";
    const std::string deep = std::string(254, '[') + std::string(254, ']');  // 256 levels with the cache's two
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"{}", {}},
        {R"({"a":)" + good + R"(,"b":)" + good + "}", {"a", "b"}},
        {R"({"a":)" + good + R"(,"a":7})", {}},                               // the last of two names counts
        {R"({"a":7,"a":)" + good + "}", {"a"}},
        {R"({"a":{"size":1,"modifiedTicks":2,"sha256":"x","size":-1}})", {}},  // within a member too
        {R"({"a":{"size":1.0,"modifiedTicks":2,"sha256":"x"}})", {}},
        {R"({"a":{"size":1,"modifiedTicks":2,"sha256":["x"]},"b":)" + good + "}", {"b"}},
        {R"({"a":{"size":1,"modifiedTicks":2},"b":[)" + good + "]}", {}},
        {R"({"a":{"size":1,"modifiedTicks":2,"sha256":"x","more":{"size":"y"}}})", {"a"}},
        {R"({"a":{"size":1,"modifiedTicks":2,"sha256":"x","more":)" + deep + "}}", {"a"}},
        {R"({"a":{"size":1,"modifiedTicks":2,"sha256":"x","more":[)" + deep + "]}}", {}},  // too deep: all of it
        {"[" + good + "]", {}},
        {R"({"a":)" + good + "} x", {}},
        {R"({"a":)" + good, {}},
    };
    for (const auto& [text, members] : cases) {
        test::write_bytes(state.file("hash-cache.json"), text);
        std::vector<std::string> read;
        for (const auto& [path, entry] : read_hash_cache(state)) read.push_back(path);
        EXPECT_EQ(read, members) << text;
    }
    test::write_bytes(state.file("hash-cache.json"), R"({"a":{"size":1,"modifiedTicks":2,"sha256":"x"}})");
    EXPECT_EQ(read_hash_cache(state).at("a"), (CacheEntry{1, 2, "x"}));
}

TEST(HashCache, WrittenAsTheLibraryWritesTheDocument) {
    TempFolder folder;
    const State state(folder.path());
    const HashCache cache = {{"Data/Ồ \"q\"\\\t.bmd", {18446744073709551615ULL, 0, "b"}},
                             {"Main.exe", {12, 132223104000000000ULL, std::string(64, 'f')}},
                             {"main.exe", {0, 1, ""}}};
    for (const HashCache& members : {HashCache{}, cache}) {
        json document = json::object();
        for (const auto& [path, entry] : members) document[path] = cache_entry_json(entry);
        write_hash_cache(state, members);
        EXPECT_EQ(test::read_bytes(state.file("hash-cache.json")), document.dump());
        EXPECT_EQ(read_hash_cache(state), members);
    }
}

TEST(CleanTemporary, LinkInsideStopsTheRemoval) {
    TempFolder folder;
    const State state(folder / L"client");
    test::write_bytes(folder / L"precious" / L"save.dat", "keep me");
    test::write_bytes(state.file("downloads") / L"a.zip", "zip");
    if (!test::make_folder_link(state.file("downloads") / L"escape", folder / L"precious")) {
        GTEST_SKIP() << "no folder links here";
    }
    EXPECT_TRUE(test::starts_with(failure_of([&] { clean_temporary(state, "downloads", {}, Stage::cleaning); }),
                                  "Không chấp nhận liên kết thư mục/file: "));
    EXPECT_EQ(test::read_bytes(folder / L"precious" / L"save.dat"), "keep me");
}

TEST(Log, LinesRotateOnlyPastTwoMebibytesAndNeverFailTheCaller) {
    TempFolder client;
    const auto log = client / L".qorn-launcher" / L"launcher.log";
    const auto previous = client / L".qorn-launcher" / L"launcher.previous.log";
    test::write_bytes(log, std::string(log_rotation_size, 'x'));
    write_log(client.path(), "Dòng một");
    const std::string text = test::read_bytes(log);  // a log of exactly 2 MiB is appended to
    const std::string line = text.substr(log_rotation_size);
    EXPECT_TRUE(line.ends_with(" Dòng một\r\n") && std::stoull(line) > 1700000000u) << line;  // seconds since 1970
    EXPECT_FALSE(file_info(previous).exists);

    write_log(client.path(), "Dòng hai");  // now one line past 2 MiB: moved aside first
    EXPECT_EQ(test::read_bytes(previous), text);
    EXPECT_TRUE(test::read_bytes(log).ends_with(" Dòng hai\r\n"));
    test::HeldOpen other_writer(log);
    EXPECT_NO_THROW(write_log(client.path(), "lost"));
}

// The scans: a client of three files.
const test::Bodies scanned_client = {{"Main.exe", "main"}, {"Data/Nhân vật/a.bmd", "aaaa"}, {"Data/b.bmd", "bb"}};

struct Scanned {
    std::vector<ClientFile> missing;
    std::vector<Progress> reports;
};

Scanned run_scan(const State& state, const Manifest& manifest, bool full) {
    Scanned result;
    Cancel cancel;
    result.missing = scan(state, manifest, full, nullptr, cancel,
                          [&](const Progress& p) { result.reports.push_back(p); }, Stage::checking);
    return result;
}

// A member of another type than written is not trusted either: the records test shows it is dropped.
TEST(Scan, CacheIsTrustedOnlyWhileSizeAndTimeMatch) {
    TempFolder folder;
    const State state(folder.path());
    test::write_client(state.root(), scanned_client);
    const Manifest manifest = test::release_of(scanned_client);
    const auto b = state.root() / L"Data" / L"b.bmd";
    const auto held_scan = [&](bool full) {  // fails only when it reads b.bmd
        return test::failure_while_held(b, [&] { run_scan(state, manifest, full); });
    };
    EXPECT_TRUE(run_scan(state, manifest, false).missing.empty());  // hashes and fills the cache
    EXPECT_EQ(read_hash_cache(state).size(), 3u);
    {
        test::HeldOpen other_program(b);
        const Scanned quick = run_scan(state, manifest, false);
        EXPECT_TRUE(quick.missing.empty());
        EXPECT_EQ(quick.reports.back().done, quick.reports.back().total);
        EXPECT_EQ(quick.reports.back().total, 10u);
    }
    EXPECT_TRUE(test::starts_with(held_scan(true), "Không mở được file b.bmd: "));
    test::set_write_time(b, 132223104000000000ULL);
    EXPECT_TRUE(test::starts_with(held_scan(false), "Không mở được file b.bmd: "));  // a new time: hashed again
    EXPECT_TRUE(run_scan(state, manifest, false).missing.empty());

    // A wrong size is not read and loses its cache member.
    test::write_bytes(b, "bbb");
    test::write_bytes(state.root() / L"Data" / L"extra.txt", "not in the release");
    test::HeldOpen other_program(b);
    const std::vector<ClientFile> missing = run_scan(state, manifest, false).missing;
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0].path, "Data/b.bmd");
    const HashCache cache = read_hash_cache(state);
    EXPECT_FALSE(cache.count("Data/b.bmd") + cache.count("Data/extra.txt"));
    EXPECT_EQ(test::read_bytes(state.root() / L"Data" / L"extra.txt"), "not in the release");
}

TEST(Scan, EntriesOfTheOtherKindDoNotMatchAndTwinsAreRefused) {
    const Manifest manifest = test::release_of(scanned_client);
    TempFolder folder;
    const State file_for_folder(folder / L"a"), folder_for_file(folder / L"b"), twins(folder / L"c");
    test::write_client(file_for_folder.root(), {{"Main.exe", "main"}, {"Data", "a file where a folder belongs"}});
    std::filesystem::create_directories(folder_for_file.root() / L"Main.exe");
    test::write_client(folder_for_file.root(), {{"Data/b.bmd", "bb"}, {"Data/Nhân vật/a.bmd", "aaaa"}});
    const std::pair<const State&, std::vector<std::string>> cases[] = {
        {file_for_folder, {"Data/Nhân vật/a.bmd", "Data/b.bmd"}}, {folder_for_file, {"Main.exe"}}};
    for (const auto& [state, expected] : cases) {
        Cancel cancel;
        Inventory found;
        std::vector<std::string> missing;
        for (const ClientFile& file : scan(state, manifest, false, nullptr, cancel, {}, Stage::checking, &found)) {
            missing.push_back(file.path);
        }
        EXPECT_EQ(missing, expected);
        EXPECT_FALSE(found.fits);
    }

    test::write_client(twins.root(), scanned_client);
    if (!test::make_case_twin(twins.root() / L"Data" / L"b.bmd", L"B.BMD")) GTEST_SKIP() << "no case twins here";
    EXPECT_EQ(failure_of([&] { run_scan(twins, manifest, false); }), "Client chứa tên file trùng trên Windows.");
    const std::vector<ClientFile> only_b = {manifest.files[2]};  // its folder listed through a pattern
    ASSERT_EQ(only_b[0].path, "Data/b.bmd");
    Cancel cancel;
    EXPECT_EQ(failure_of([&] { scan(twins, manifest, false, &only_b, cancel, {}, Stage::checking); }),
              "Client chứa tên file trùng trên Windows.");
}

// A folder with one wanted entry is listed through a pattern, one with more whole.
TEST(Scan, FewWantedEntriesAreFoundInAnyCaseAndOnce) {
    TempFolder folder;
    const State state(folder.path());
    const test::Bodies bodies = {{"Main.exe", "m"}, {"D/a", "1"}, {"D/ab", "22"}, {"D/Ác", "333"}, {"D/ÁC.x", "4"}};
    test::write_client(state.root(), {{"main.EXE", "m"}, {"D/A", "1"}, {"D/aB", "22"}, {"D/ác", "333"},
                                      {"D/ác.X", "4"}, {"D/ab2", "other"}});
    const Manifest manifest = test::release_of(bodies);
    Cancel cancel;
    Inventory found;
    EXPECT_TRUE(scan(state, manifest, false, nullptr, cancel, {}, Stage::checking, &found).empty());
    EXPECT_EQ(found.files_seen, 5u);
    EXPECT_EQ(found.folders_read, 2u);
    const std::vector<ClientFile> one = {manifest.files[3]};
    EXPECT_TRUE(scan(state, manifest, false, &one, cancel, {}, Stage::checking).empty());
}

TEST(Scan, LinksOnTheWayAreRefusedAndOthersIgnored) {
    TempFolder folder;
    const State state(folder / L"client");
    test::write_client(state.root(), {{"Main.exe", "main"}});
    test::write_bytes(folder / L"elsewhere" / L"a.bmd", "aaaa");
    if (!test::make_folder_link(state.root() / L"Unnamed", folder / L"elsewhere")) GTEST_SKIP() << "no links here";
    const Manifest only_main = test::release_of({{"Main.exe", "main"}});
    EXPECT_TRUE(run_scan(state, only_main, false).missing.empty());  // a link the release does not name

    ASSERT_TRUE(test::make_folder_link(state.root() / L"Data", folder / L"elsewhere"));
    EXPECT_EQ(failure_of([&] { run_scan(state, test::release_of({{"Main.exe", "main"}, {"Data/a.bmd", "aaaa"}}),
                                        false); }),
              "Không chấp nhận liên kết thư mục/file: " + path_text(state.root() / L"Data"));
}

// A cache handed from step to step of a run stands for the file: each scan that learns
// something leaves it as it leaves the file, and a stopped one leaves both as they were.
TEST(Scan, HandedCacheIsTheOneWritten) {
    TempFolder folder;
    const State state(folder.path());
    test::write_client(state.root(), scanned_client);
    const Manifest manifest = test::release_of(scanned_client);
    write_hash_cache(state, {{"Kept.txt", {1, 2, "digest"}}});
    HashCache cache = read_hash_cache(state);
    Cancel cancel;
    const std::vector<ClientFile> b_only = {manifest.files[2]};
    const auto scan_with = [&](const std::vector<ClientFile>* files) {
        return scan(state, manifest, false, files, cancel, {}, Stage::checking, nullptr, &cache);
    };
    test::write_bytes(state.root() / L"Data" / L"b.bmd", "bbb");
    EXPECT_EQ(scan_with(&b_only).size(), 1u);
    EXPECT_EQ(cache, read_hash_cache(state));
    EXPECT_EQ(scan_with(nullptr).size(), 1u);
    EXPECT_EQ(cache.size(), 2u);  // the whole release: the member of no release file goes
    EXPECT_EQ(cache, read_hash_cache(state));
    test::write_bytes(state.root() / L"Data" / L"b.bmd", "bb");
    EXPECT_TRUE(scan_with(&b_only).empty());
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(cache, read_hash_cache(state));

    // A member a restricted scan only drops stays in the file, where it vouches for
    // nothing the file no longer is.
    test::write_bytes(state.root() / L"Data" / L"b.bmd", "bbbb");
    EXPECT_EQ(scan_with(&b_only).size(), 1u);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(read_hash_cache(state).size(), 3u);
    EXPECT_EQ(scan(state, manifest, false, &b_only, cancel, {}, Stage::checking).size(), 1u);
}

TEST(Scan, StopDuringHashingLeavesTheCacheFileAsItWas) {
    TempFolder folder;
    const State state(folder.path());
    test::Bodies large = {{"Main.exe", std::string(3 * 131072, 'm')}, {"Data/b.bmd", std::string(131072, 'b')}};
    test::write_client(state.root(), large);
    write_hash_cache(state, {{"Kept.txt", {1, 2, "digest"}}});
    const std::string before = test::read_bytes(state.file("hash-cache.json"));
    HashCache handed = read_hash_cache(state);
    Cancel cancel;
    EXPECT_THROW(scan(state, test::release_of(large), true, nullptr, cancel, [&](const Progress& p) {
        if (p.text == L"Kiểm tra SHA-256 client…") cancel.cancel();
    }, Stage::checking, nullptr, &handed), Cancelled);
    EXPECT_EQ(test::read_bytes(state.file("hash-cache.json")), before);
    EXPECT_EQ(handed, read_hash_cache(state));
}

}  // namespace
}  // namespace qorn
