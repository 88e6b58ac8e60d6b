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

TEST(DownloadPlanning, StagedFileAlteredBeforeVerification) {
    // Nothing listens on this port: files already staged are accepted without a request.
    const std::wstring dead_host_manifest = L"http://127.0.0.1:9/api/manifest";
    test::TempFolder folder;
    const State state(folder / L"client");
    Cancel cancel;
    Network network(dead_host_manifest, cancel);
    const test::Bodies bodies = {{"Main.exe", "main"}, {"Data/f1", "body 1"}, {"Data/f2", "body 2"}};
    for (const auto& [path, body] : bodies) test::write_bytes(staging_path(state, path), body);
    json document = test::release_of(bodies).json;
    for (json& file : document["files"]) file["url"] = "http://127.0.0.1:9/files/" + file["sha256"].get<std::string>();
    const Manifest manifest = manifest_from_json(document, dead_host_manifest);

    // Data/f2 changes after it was found complete, while Data/f1 is being verified.
    const std::string failure = test::failure_of([&] {
        download_files(state, manifest, manifest.files, network, cancel, [&](const Progress& p) {
            if (p.stage == 4 && p.detail == L"Data/f1") test::write_bytes(staging_path(state, "Data/f2"), "BODY 2");
        }, nullptr, nullptr);
    });
    EXPECT_EQ(failure, "File tải về/giải nén sai SHA-256: Data/f2");
}

}  // namespace
}  // namespace qorn
