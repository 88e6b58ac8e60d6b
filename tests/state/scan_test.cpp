#include "state/scan.hpp"
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

const test::Bodies client = {{"Main.exe", "main"}, {"Data/Nhân vật/a.bmd", "aaaa"}, {"Data/b.bmd", "bb"}};

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
    test::write_client(state.root(), client);
    const Manifest manifest = test::release_of(client);
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
    const Manifest manifest = test::release_of(client);
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

    test::write_client(twins.root(), client);
    if (!test::make_case_twin(twins.root() / L"Data" / L"b.bmd", L"B.BMD")) GTEST_SKIP() << "no case twins here";
    EXPECT_EQ(failure_of([&] { run_scan(twins, manifest, false); }), "Client chứa tên file trùng trên Windows.");
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

TEST(Scan, StopDuringHashingLeavesTheCacheFileAsItWas) {
    TempFolder folder;
    const State state(folder.path());
    test::Bodies large = {{"Main.exe", std::string(3 * 131072, 'm')}, {"Data/b.bmd", std::string(131072, 'b')}};
    test::write_client(state.root(), large);
    write_hash_cache(state, {{"Kept.txt", {1, 2, "digest"}}});
    const std::string before = test::read_bytes(state.file("hash-cache.json"));
    Cancel cancel;
    EXPECT_THROW(scan(state, test::release_of(large), true, nullptr, cancel, [&](const Progress& p) {
        if (p.text == L"Kiểm tra SHA-256 client…") cancel.cancel();
    }, Stage::checking), Cancelled);
    EXPECT_EQ(test::read_bytes(state.file("hash-cache.json")), before);
}

}  // namespace
}  // namespace qorn
