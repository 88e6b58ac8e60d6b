#include "sync/sync.hpp"
#include "core/files.hpp"
#include "net/script_server.hpp"
#include "state/records.hpp"
#include "state/state_fixture.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

TEST(Sync, AStopDuringTheHostQuestionIsAStopNotALostHost) {
    test::TempFolder folder;
    const State state(folder / L"client");
    const test::Bodies client = {{"Main.exe", "main"}};
    const Manifest installed = test::release_of(client);
    test::write_client(state.root(), client);
    write_state_file(state, "installed.json", installed.text);
    write_verified(state, installed);

    Cancel cancel;
    {
        // The player stops the run while the host has the question; the answer then never counts.
        test::ScriptServer host([&](const test::Seen&) {
            cancel.cancel();
            return test::answer(503);
        });
        EXPECT_THROW(run_sync(state.root(), host.url(), false, cancel, {}, true), Cancelled);
        EXPECT_EQ(host.seen().size(), 1u);
    }
    // The offline fallback would have logged the host's failure and answered with the verified release.
    EXPECT_FALSE(file_info(state.file("launcher.log")).exists);
    EXPECT_TRUE(read_verified(state));
}

}  // namespace
}  // namespace qorn
