#include "core/files.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"
#include "update/download_planning.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

// A release that moves a file and copies it: the bytes come from the client folder, and
// nothing is asked of the host (nobody listens at the manifest's address) unless no
// client file vouches for them.
TEST(LocalCopies, MovedOrCopiedBytesComeFromTheClientOnlyWhileTheirSourceIsVouchedFor) {
    const test::Bodies before = {{"Main.exe", "main"}, {"Data/cũ/a.bin", "moved body"}};
    const test::Bodies after = {{"Main.exe", "main"}, {"Data/mới/a.bin", "moved body"}, {"Data/copy.bin", "moved body"}};
    enum Source { cached, hashed, changed, lying_cache };
    const std::pair<Source, std::string> cases[] = {
        {cached, "(no failure)"},
        {hashed, "(no failure)"},  // no cache member: a fresh hash vouches
        {changed, "Không kết nối được hosting"},  // other bytes: downloaded, and the host is away
        {lying_cache, "File tải về/giải nén sai SHA-256: Data/mới/a.bin"},  // copied, then caught
    };
    for (const auto& [source, outcome] : cases) {
        test::TempFolder folder;
        const State state(folder / L"client");
        Cancel cancel;
        Network network(test::manifest_url, cancel);
        const Manifest installed = test::release_of(before);
        const Manifest release = test::release_of(after);
        test::write_client(state.root(), before);
        const std::filesystem::path old_path = state.root() / L"Data" / L"cũ" / L"a.bin";
        const FileInfo written = file_info(old_path);
        if (source != hashed) {
            write_hash_cache(state, {{"Data/cũ/a.bin", {written.size, written.modified_ticks, installed.files[1].sha256}}});
        }
        if (source == changed || source == lying_cache) {
            test::write_bytes(old_path, "MOVED BODY");  // a second later, or with the old time put back
            test::set_write_time(old_path, written.modified_ticks - file_time_to_ticks + (source == changed ? 10000000 : 0));
        }
        const std::vector<ClientFile> fetch(release.files.begin() + 1, release.files.end());
        HashCache staged;
        const std::string failure = test::failure_of(
            [&] { download_files(state, release, fetch, &installed, network, cancel, {}, nullptr, &staged); });
        EXPECT_TRUE(test::starts_with(failure, outcome)) << source << ": " << failure;
        if (outcome == "(no failure)") {
            EXPECT_EQ(staged.size(), 2u);
            for (const char* path : {"Data/mới/a.bin", "Data/copy.bin"}) {
                EXPECT_EQ(test::read_bytes(staging_path(state, path)), "moved body") << path;
            }
        }
    }
}

}  // namespace
}  // namespace qorn
