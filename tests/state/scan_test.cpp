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

Scanned run_scan(const State& state, const Manifest& manifest, bool full,
                 const std::vector<ClientFile>* files = nullptr) {
    Scanned result;
    Cancel cancel;
    result.missing = scan(state, manifest, full, files, cancel,
                          [&](const Progress& p) { result.reports.push_back(p); }, 1);
    return result;
}

std::vector<std::string> paths(const std::vector<ClientFile>& files) {
    std::vector<std::string> result;
    for (const ClientFile& file : files) result.push_back(file.path);
    return result;
}

TEST(Scan, ClientWithoutAnyReleaseFileIsEmptyWithOneReport) {
    TempFolder folder;
    const State state(folder / L"client");
    write_hash_cache(state, {{"Main.exe", {{"size", 4}}}, {"Other.txt", 1}});
    const Manifest manifest = test::release_of(client, {"Data/Trống"});
    const Scanned absent = run_scan(state, manifest, false);
    EXPECT_EQ(paths(absent.missing), paths(manifest.files));
    ASSERT_EQ(absent.reports.size(), 2u);  // the client folder read, then the verdict
    EXPECT_EQ(absent.reports.back().text, L"Chưa có dữ liệu client — chuyển sang tải bộ cài…");
    EXPECT_EQ(read_hash_cache(state), json::object());  // an unrestricted scan keeps only matches

    std::filesystem::create_directories(state.root() / L"Data" / L"Trống");  // folders alone are no client
    const Scanned folders_only = run_scan(state, manifest, false);
    EXPECT_EQ(paths(folders_only.missing), paths(manifest.files));
    EXPECT_EQ(folders_only.reports.back().text, L"Chưa có dữ liệu client — chuyển sang tải bộ cài…");
}

TEST(Scan, QuickCheckTrustsTheCacheWithoutOpeningTheFile) {
    TempFolder folder;
    const State state(folder.path());
    test::write_client(state.root(), client);
    const Manifest manifest = test::release_of(client);
    EXPECT_TRUE(run_scan(state, manifest, false).missing.empty());  // hashes and fills the cache
    EXPECT_EQ(read_hash_cache(state).size(), 3u);
    {
        test::HeldOpen other_program(state.root() / L"Data" / L"b.bmd");
        const Scanned quick = run_scan(state, manifest, false);
        EXPECT_TRUE(quick.missing.empty());
        EXPECT_EQ(quick.reports.back().done, quick.reports.back().total);
        EXPECT_EQ(quick.reports.back().total, 10u);
        EXPECT_TRUE(test::starts_with(failure_of([&] { run_scan(state, manifest, true); }),
                                      "Không mở được file b.bmd: "));
    }
    test::set_write_time(state.root() / L"Data" / L"b.bmd", 132223104000000000ULL);
    {
        test::HeldOpen other_program(state.root() / L"Data" / L"b.bmd");
        EXPECT_TRUE(test::starts_with(failure_of([&] { run_scan(state, manifest, false); }),
                                      "Không mở được file b.bmd: "));  // a new time means hashing again
    }
    EXPECT_TRUE(run_scan(state, manifest, false).missing.empty());
}

TEST(Scan, WrongSizeIsNotReadAndLosesItsCacheMember) {
    TempFolder folder;
    const State state(folder.path());
    test::write_client(state.root(), client);
    const Manifest manifest = test::release_of(client);
    run_scan(state, manifest, true);
    test::write_bytes(state.root() / L"Data" / L"b.bmd", "bbb");
    test::write_bytes(state.root() / L"Data" / L"extra.txt", "not in the release");
    test::HeldOpen other_program(state.root() / L"Data" / L"b.bmd");
    EXPECT_EQ(paths(run_scan(state, manifest, false).missing), std::vector<std::string>{"Data/b.bmd"});
    const json cache = read_hash_cache(state);
    EXPECT_FALSE(cache.contains("Data/b.bmd"));
    EXPECT_FALSE(cache.contains("Data/extra.txt"));
    EXPECT_EQ(test::read_bytes(state.root() / L"Data" / L"extra.txt"), "not in the release");
}

TEST(Scan, RestrictedScanKeepsOtherMembers) {
    TempFolder folder;
    const State state(folder.path());
    test::write_client(state.root(), client);
    const Manifest manifest = test::release_of(client);
    run_scan(state, manifest, true);
    test::write_bytes(state.root() / L"Main.exe", "MAIN");
    const std::vector<ClientFile> only_main = {manifest.files[0]};
    EXPECT_EQ(paths(run_scan(state, manifest, true, &only_main).missing), std::vector<std::string>{"Main.exe"});
    const json cache = read_hash_cache(state);
    EXPECT_FALSE(cache.contains("Main.exe"));
    EXPECT_TRUE(cache.contains("Data/b.bmd"));
    EXPECT_TRUE(cache.contains("Data/Nhân vật/a.bmd"));
}

TEST(Scan, WalkRefusesWhatWindowsWouldConfuse) {
    const Manifest manifest = test::release_of(client);
    {
        TempFolder folder;
        const State state(folder.path());
        test::write_client(state.root(), client);
        if (!test::make_case_twin(state.root() / L"Data" / L"b.bmd", L"B.BMD")) GTEST_SKIP() << "no case twins here";
        EXPECT_EQ(failure_of([&] { run_scan(state, manifest, false); }), "Client chứa tên file trùng trên Windows.");
    }
    {
        TempFolder folder;
        const State state(folder.path());
        test::write_bytes(state.root() / L"Data", "a file where a folder belongs");
        EXPECT_EQ(failure_of([&] { run_scan(state, manifest, false); }),
                  "Cần thư mục nhưng hiện là file: " + path_text(state.root() / L"Data"));
    }
    {
        TempFolder folder;
        const State state(folder.path());
        std::filesystem::create_directories(state.root() / L"Main.exe");
        EXPECT_EQ(failure_of([&] { run_scan(state, manifest, false); }),
                  "Cần file nhưng hiện là thư mục: " + path_text(state.root() / L"Main.exe"));
    }
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

TEST(Scan, WalkReportsEvery256thFile) {
    TempFolder folder;
    const State state(folder.path());
    test::Bodies many = {{"Main.exe", "m"}};
    for (int i = 1; i < 512; ++i) many.push_back({"Data/f" + std::to_string(i), ""});
    test::write_client(state.root(), many);
    Cancel cancel;
    std::vector<std::wstring> walk_texts;
    scan(state, test::release_of(many), false, nullptr, cancel, [&](const Progress& p) {
        if (p.text.starts_with(L"Đã đọc thông tin ")) walk_texts.push_back(p.text);
    }, 1);
    EXPECT_EQ(walk_texts, (std::vector<std::wstring>{L"Đã đọc thông tin 256 file…", L"Đã đọc thông tin 512 file…"}));
}

TEST(Scan, StopDuringHashingLeavesTheCacheFileAsItWas) {
    TempFolder folder;
    const State state(folder.path());
    test::Bodies large = {{"Main.exe", std::string(3 * 131072, 'm')}, {"Data/b.bmd", std::string(131072, 'b')}};
    test::write_client(state.root(), large);
    write_hash_cache(state, {{"Kept.txt", {{"size", 1}}}});
    const std::string before = test::read_bytes(state.file("hash-cache.json"));
    Cancel cancel;
    EXPECT_THROW(scan(state, test::release_of(large), true, nullptr, cancel, [&](const Progress& p) {
        if (p.text == L"Kiểm tra SHA-256 client…") cancel.cancel();
    }, 1), Cancelled);
    EXPECT_EQ(test::read_bytes(state.file("hash-cache.json")), before);
}

}  // namespace
}  // namespace qorn
