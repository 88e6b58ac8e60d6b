#include "update/download_planning.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t margin = 67108864;
const test::Bodies old_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v1"}, {"Data/c.bmd", "c"}};
const test::Bodies new_release = {{"Main.exe", "main v1"}, {"Data/a.bmd", "a v2 longer"}, {"Data/d.bmd", "d new"}};

Manifest with_one_package(const test::Bodies& bodies) {
    json document = json::parse(test::release_of(bodies).text);
    json names = json::array();
    for (const auto& [path, body] : bodies) names.push_back(path);
    document["packages"] = json::array({test::package_entry(names)});  // 100 bytes
    return manifest_from_json(document, test::manifest_url);
}

TEST(DownloadPlanning, NeedCountsMissingBytesPackagesAndTheBackupsOfReplacedAndDroppedFiles) {
    test::TempFolder folder;
    const State state(folder / L"client");
    const Manifest installed = test::release_of(old_release);
    const Manifest release = with_one_package(new_release);
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
    test::write_bytes(state.file("downloads/" + release.packages[0].sha256 + ".zip"), std::string(40, 'z'));
    test::write_bytes(staging_path(state, "Data/a.bmd"), "a v2 ");
    fresh = plan(release.files, nullptr);
    EXPECT_EQ(fresh.need, margin + (23 - 5) + (100 - 40));

    // Installed: single files whatever the packages; the changed file and the dropped one are backed up.
    test::write_client(state.root(), old_release);
    const DownloadPlan update = plan(changed, &installed);
    EXPECT_FALSE(update.packages);
    EXPECT_EQ(update.total, 16u);
    EXPECT_EQ(update.need, margin + (11 - 5) + 5 + 4 + 1);
    EXPECT_FALSE(plan(release.files, nullptr).packages);  // Main.exe is there
}

TEST(DownloadPlanning, AStagingAreaOfTheOtherShapeIsClearedAndMeasuredAgain) {
    test::TempFolder folder;
    const State state(folder / L"client");
    const Manifest release = test::release_of(new_release);
    Cancel cancel;
    // Left by stopped runs of other releases: Data/a.bmd was a folder, Data a file.
    for (const char* left : {"Data/a.bmd/x", "Data"}) {
        remove_tree(state.file("staging"));
        test::write_bytes(state.file("staging/" + std::string(left)), "left over");
        test::write_bytes(state.file("staging/Main.exe"), "main v1");
        const DownloadPlan plan = plan_downloads(state, release, release.files, nullptr, nullptr, cancel);
        EXPECT_EQ(plan.need, margin + 23) << left;
        EXPECT_FALSE(file_info(state.file("staging")).exists) << left;
    }
}

TEST(DownloadPlanning, StagedFileAlteredBeforeVerification) {
    // Nothing listens on this port: files already staged are accepted without a request.
    const std::wstring dead_host_manifest = L"http://127.0.0.1:9/api/manifest";
    test::TempFolder folder;
    const State state(folder / L"client");
    Cancel cancel;
    Network network(dead_host_manifest, cancel);
    const test::Bodies bodies = {{"Main.exe", "main"}, {"Data/f1", "body 1"}, {"Data/f2", "body 2"}};
    for (const auto& [path, body] : bodies) test::write_bytes(staging_path(state, path), body);
    json document = json::parse(test::release_of(bodies).text);
    for (json& file : document["files"]) file["url"] = "http://127.0.0.1:9/files/" + file["sha256"].get<std::string>();
    const Manifest manifest = manifest_from_json(document, dead_host_manifest);

    // Both change after they were found complete, before the check on four threads; the
    // first in the release's order is named, whichever thread finds its fault first.
    const std::string failure = test::failure_of([&] {
        download_files(state, manifest, manifest.files, nullptr, network, cancel, [&](const Progress& p) {
            if (p.stage == Stage::verifying && p.files_done == 0 && p.detail.empty()) {
                for (const char* path : {"Data/f2", "Data/f1"}) test::write_bytes(staging_path(state, path), "BODY 9");
            }
        }, nullptr, nullptr);
    });
    EXPECT_EQ(failure, "File tải về/giải nén sai SHA-256: Data/f1");
}

}  // namespace
}  // namespace qorn
