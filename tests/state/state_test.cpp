#include "state/state.hpp"
#include "core/files.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
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

}  // namespace
}  // namespace qorn
