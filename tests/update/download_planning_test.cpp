#include "update/download_planning.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>
#include <miniz.h>

#include <mutex>
#include <set>

namespace qorn {
namespace {

using nlohmann::json;
using test::Bodies;
using test::failure_of;
using test::TempFolder;

// Nothing listens on this port: every test here works from files already on disk,
// which download_file accepts without a request.
const std::wstring dead_host_manifest = L"http://127.0.0.1:9/api/manifest";

std::string zip_of(const Bodies& bodies) {
    mz_zip_archive zip{};
    EXPECT_TRUE(mz_zip_writer_init_heap(&zip, 0, 0));
    for (const auto& [path, body] : bodies) {
        EXPECT_TRUE(mz_zip_writer_add_mem(&zip, path.c_str(), body.data(), body.size(), MZ_BEST_SPEED));
    }
    void* buffer = nullptr;
    size_t size = 0;
    EXPECT_TRUE(mz_zip_writer_finalize_heap_archive(&zip, &buffer, &size));
    std::string bytes(static_cast<const char*>(buffer), size);
    mz_zip_writer_end(&zip);
    return bytes;
}

Manifest with_urls_on(const Manifest& manifest, const std::wstring& manifest_url) {
    json document = manifest.json;
    const std::string origin = "http://127.0.0.1:9";
    for (json& file : document["files"]) file["url"] = origin + "/files/" + file["sha256"].get<std::string>();
    if (document.contains("packages")) {
        for (json& package : document["packages"]) package["url"] = origin + "/packages/" + package["sha256"].get<std::string>();
    }
    return manifest_from_json(document, manifest_url);
}

struct Planning {
    TempFolder folder;
    State state{folder / L"client"};
    Cancel cancel;
    Network network{dead_host_manifest, cancel};
    std::vector<Progress> reports;
    std::mutex lock;
    std::set<DWORD> threads;

    ProgressCallback recorder(DWORD pause_ms = 0) {
        return [this, pause_ms](const Progress& p) {
            std::lock_guard guard(lock);
            reports.push_back(p);
            if (p.stage == 2 && p.text == L"Tải và xác thực dữ liệu client…") threads.insert(GetCurrentThreadId());
            if (pause_ms) Sleep(pause_ms);
        };
    }

    void stage(const Bodies& bodies) {
        for (const auto& [path, body] : bodies) test::write_bytes(staging_path(state, path), body);
    }

    std::set<std::wstring> details(Stage stage) {
        std::set<std::wstring> result;
        for (const Progress& p : reports) {
            if (p.stage == stage && p.text == L"Tải và xác thực dữ liệu client…") result.insert(p.detail);
        }
        return result;
    }
};

Bodies numbered(int count) {
    Bodies bodies = {{"Main.exe", "main"}};
    for (int i = 1; i < count; ++i) bodies.push_back({"Data/f" + std::to_string(i), "body " + std::to_string(i)});
    return bodies;
}

TEST(DownloadPlanning, FirstInstallationUsesThePackages) {
    Planning planning;
    const Bodies bodies = numbered(3);
    json document = test::release_of(bodies).json;
    const std::string first = zip_of({bodies[0], bodies[1]});
    const std::string second = zip_of({bodies[2]});
    document["packages"] = json::array(
        {{{"url", test::host + "/p/1.zip"}, {"size", first.size()}, {"sha256", sha256_hex(first)},
          {"files", {bodies[0].first, bodies[1].first}}},
         {{"url", test::host + "/p/2.zip"}, {"size", second.size()}, {"sha256", sha256_hex(second)},
          {"files", {bodies[2].first}}}});
    const Manifest manifest = with_urls_on(manifest_from_json(document, test::manifest_url), dead_host_manifest);
    test::write_bytes(planning.state.file("downloads/" + sha256_hex(first) + ".zip"), first);
    test::write_bytes(planning.state.file("downloads/" + sha256_hex(second) + ".zip"), second);

    json staged;
    download_files(planning.state, manifest, manifest.files, planning.network, planning.cancel, planning.recorder(),
                   nullptr, &staged);
    EXPECT_EQ(planning.details(2), (std::set<std::wstring>{L"Gói cài đặt 1", L"Gói cài đặt 2"}));
    for (const auto& [path, body] : bodies) EXPECT_EQ(test::read_bytes(staging_path(planning.state, path)), body);
    EXPECT_EQ(staged.size(), 3u);
    EXPECT_EQ(staged["Main.exe"]["sha256"], sha256_hex("main"));
    EXPECT_EQ(planning.reports.back().stage, 4u);
    EXPECT_EQ(planning.reports.back().done, planning.reports.back().total);

    // The same release once Main.exe is in the client folder: single files.
    test::write_bytes(planning.state.root() / L"Main.exe", "old main");
    EXPECT_FALSE(plan_downloads(planning.state, manifest, manifest.files, dead_host_manifest, nullptr,
                                planning.cancel).packages);
    delete_file(planning.state.root() / L"Main.exe");
    const Manifest no_packages = with_urls_on(test::release_of(bodies), dead_host_manifest);
    EXPECT_FALSE(plan_downloads(planning.state, no_packages, no_packages.files, dead_host_manifest, nullptr,
                                planning.cancel).packages);
}

TEST(DownloadPlanning, ThreeItemsThreeWorkersTenItemsFour) {
    for (const auto& [count, workers] : {std::pair{3, 3u}, std::pair{10, 4u}}) {
        Planning planning;
        const Bodies bodies = numbered(count);
        planning.stage(bodies);
        const Manifest manifest = with_urls_on(test::release_of(bodies), dead_host_manifest);
        download_files(planning.state, manifest, manifest.files, planning.network, planning.cancel,
                       planning.recorder(30), nullptr, nullptr);
        EXPECT_EQ(planning.threads.size(), workers) << count;
    }
}

TEST(DownloadPlanning, FirstFailureEndsTheCallAndNoFurtherItemsStart) {
    Planning planning;
    const Bodies bodies = numbered(40);
    planning.stage(Bodies(bodies.begin() + 1, bodies.end()));
    json document = with_urls_on(test::release_of(bodies), dead_host_manifest).json;
    document["files"][0]["url"] = "http://127.0.0.1:9/files/main";  // nothing staged: needs the dead host
    const Manifest manifest = manifest_from_json(document, dead_host_manifest);
    // Slow reports keep the other workers busy while the first item fails its three attempts.
    EXPECT_THROW(download_files(planning.state, manifest, manifest.files, planning.network, planning.cancel,
                                planning.recorder(50), nullptr, nullptr),
                 NetworkError);
    EXPECT_LT(planning.details(2).size(), 30u);
}

TEST(DownloadPlanning, StagedFileAlteredBeforeVerification) {
    Planning planning;
    const Bodies bodies = numbered(3);
    planning.stage(bodies);
    const Manifest manifest = with_urls_on(test::release_of(bodies), dead_host_manifest);
    const std::filesystem::path victim = staging_path(planning.state, "Data/f2");
    const std::string failure = failure_of([&] {
        download_files(planning.state, manifest, manifest.files, planning.network, planning.cancel,
                       [&](const Progress& p) {
                           if (p.stage == 4 && p.detail == L"Data/f1") test::write_bytes(victim, "BODY 2");
                       },
                       nullptr, nullptr);
    });
    EXPECT_EQ(failure, "File tải về/giải nén sai SHA-256: Data/f2");
}

TEST(DownloadPlanning, NeedCountsMissingBytesAndBackups) {
    Planning planning;
    const Bodies installed = {{"Main.exe", "main"}, {"Data/a", "aaaa"}, {"Data/gone", "gone gone"}};
    test::write_client(planning.state.root(), installed);
    write_file_atomic(planning.state.file("installed.json"),
                      with_urls_on(test::release_of(installed), dead_host_manifest).text);
    const Bodies next = {{"Main.exe", "main"}, {"Data/a", "AAAAAAAA"}, {"Data/new", "new!"}};
    const Manifest manifest = with_urls_on(test::release_of(next), dead_host_manifest);
    const std::vector<ClientFile> fetch = {manifest.files[1], manifest.files[2]};
    planning.stage({{"Data/a", "AAAAAAAA"}, {"Data/new", "ne"}});  // one complete, one half there

    const DownloadPlan plan =
        plan_downloads(planning.state, manifest, fetch, dead_host_manifest, nullptr, planning.cancel);
    EXPECT_FALSE(plan.packages);
    EXPECT_EQ(plan.total, 8u + 4u);
    // margin + the missing half of Data/new + backups of Data/a (4) and the dropped Data/gone (9)
    EXPECT_EQ(plan.need, 67108864u + 2u + 4u + 9u);
}

}  // namespace
}  // namespace qorn
