#include "selfupdate/handoff.hpp"
#include "selfupdate/launcher_update.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "selfupdate/processes.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

const std::string token(64, 'a');

TEST(Quoting, TheChildReadsBackEveryArgumentAsGiven) {
    const TempFolder folder;
    const std::vector<std::wstring> arguments = {
        L"C:\\Trò chơi\\QORN\\",  // a folder path: its trailing backslash doubled before the closing quote
        L"say \"xin chào\"",      // an embedded quote
        L"a\\\\\"b",              // backslashes before a quote
        L"",                      // an empty argument
        L"Tiếng Việt có dấu ở giữa",
        L"back\\slash\\\\",
    };
    std::vector<std::wstring> command = {L"--echo", (folder / L"echo.txt").wstring()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const UniqueHandle child = start_process(QORN_FAKE_GAME_EXE, command, folder.path(), false);
    ASSERT_EQ(WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
    std::string expected;
    for (const std::wstring& argument : arguments) expected += to_utf8(argument) + "\n";
    EXPECT_EQ(read_bytes(folder / L"echo.txt"), expected);
    EXPECT_TRUE(test::starts_with(failure_of([&] { start_process(folder / L"missing.exe", {}, folder.path(), false); }),
                                  "Không khởi động được bước thay launcher"));
}

TEST(ProcessIdentity, AProcessIsAliveOnlyWithItsOwnCreationTime) {
    const ProcessIdentity me = this_process();
    EXPECT_TRUE(process_alive(me));
    EXPECT_FALSE(process_alive({me.pid, me.created + 1}));  // the same id, reused by somebody else
    EXPECT_FALSE(process_alive({0, 0}));
    const TempFolder folder;
    const UniqueHandle child = start_process(QORN_FAKE_GAME_EXE, {L"0"}, folder.path(), false);
    const ProcessIdentity ended{GetProcessId(child.get()), creation_time(child.get())};
    ASSERT_EQ(WaitForSingleObject(child.get(), 30000), WAIT_OBJECT_0);
    EXPECT_FALSE(process_alive(ended));  // its handle keeps the id from being reused
}

TEST(RestartArguments, OnlyTheTestWindowsOwnArgumentsAreHandedOn) {
    const TempFolder folder;
    LauncherJob job;
    job.token = token;
    job.root = path_text(folder.path());
    const std::string url = "http://127.0.0.1:8080/api/manifest";
    const std::tuple<std::vector<std::string>, bool, bool, std::vector<std::wstring>> handed_on[] = {
        {{}, false, false, {L"--launcher-ack", to_wide(token)}},
        {{}, true, true, {L"--skip-launcher-update", L"--full-check"}},
        {{"--test-ui", job.root, url}, true, false,
         {L"--test-ui", to_wide(job.root), to_wide(url), L"--skip-launcher-update"}},
    };
    for (const auto& [restart, rollback, full_check, expected] : handed_on) {
        job.restart = restart;
        job.full_check = full_check;
        EXPECT_EQ(restart_arguments(job, rollback), expected);
    }
    const std::string refused = "Tham số mở lại Updater không hợp lệ.";
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--test-ui", job.root, "https://127.0.0.1/api/manifest"}, refused},
        {{"--test-ui", job.root, "not a url"}, refused}, {{"--test-ui", job.root}, refused},
        {{"--sync", job.root, url}, refused},
        {{"--test-ui", job.root + "\\other", url}, "Sai thư mục kiểm thử."},
    };
    for (const auto& [restart, message] : refusals) {
        job.restart = restart;
        EXPECT_EQ(failure_of([&] { restart_arguments(job, false); }), message);
    }
}

// The refusals are the whole-program tests' (argument errors end before any file is touched).
TEST(LauncherArguments, TheHandOverOptionsAreTakenWhereverTheyStand) {
    const std::tuple<std::vector<std::wstring>, std::vector<std::wstring>, bool, bool, std::string> cases[] = {
        {{L"--full-check", L"--test-ui", L"C:\\c", L"--skip-launcher-update", L"http://h/api/manifest"},
         {L"--test-ui", L"C:\\c", L"http://h/api/manifest"}, true, true, ""},
        {{L"--sync", L"--launcher-ack", to_wide(token), L"C:\\c"}, {L"--sync", L"C:\\c"}, false, false, token},
        {{L"--FULL-CHECK"}, {L"--FULL-CHECK"}, false, false, ""},
    };
    for (auto [arguments, kept, skip, full, acknowledgement] : cases) {
        LauncherFlags flags;
        EXPECT_EQ(handle_launcher_arguments(arguments, flags), std::nullopt);
        EXPECT_EQ(arguments, kept);
        EXPECT_EQ(std::tie(flags.skip_launcher_update, flags.full_check, flags.acknowledgement),
                  std::tie(skip, full, acknowledgement));
    }
}

TEST(JobRecord, WrittenAndReadBackWithTheWorkerAbsentUntilItRecordsItself) {
    const TempFolder folder;
    const State state(folder.path());
    const std::string root = path_text(folder.path()), endpoint = "http://127.0.0.1/api/manifest";
    const LauncherOffer offer{"win-x64", "2.0.9.0", 5, std::string(64, 'b'), "http://127.0.0.1/launchers/x.exe"};
    const LauncherJob job{.token = token, .root = root, .endpoint = endpoint, .offer = offer,
                          .old_hash = std::string(64, 'c'), .old_size = 6, .parent_pid = 0xFFFFFFFFu,
                          .parent_created = ~0ull, .restart = {"--test-ui", root, endpoint}, .phase = "prepared",
                          .full_check = true};
    write_job(state, job);
    const LauncherJob read = *read_job(state);
    EXPECT_EQ(std::tie(read.token, read.root, read.endpoint, read.old_hash, read.old_size, read.parent_pid,
                       read.parent_created, read.helper_pid, read.helper_created, read.restart, read.phase,
                       read.full_check),
              std::tie(job.token, job.root, job.endpoint, job.old_hash, job.old_size, job.parent_pid,
                       job.parent_created, job.helper_pid, job.helper_created, job.restart, job.phase,
                       job.full_check));
    EXPECT_EQ(launcher_offer_json(read.offer), launcher_offer_json(job.offer));
    // A worker that never recorded itself; an id past 32 bits is nobody's.
    std::string text = read_bytes(self_update_path(state, "job.json"));
    text.replace(text.find("\"helperCreated\":0,\"helperPid\":0,"), 32, "");
    write_bytes(self_update_path(state, "job.json"), text);
    EXPECT_EQ(read_job(state)->helper_pid, 0u);
    text.replace(text.find("4294967295"), 10, "4294967296");
    write_bytes(self_update_path(state, "job.json"), text);
    EXPECT_EQ(failure_of([&] { read_job(state); }), "Hồ sơ bàn giao launcher không hợp lệ.");
    delete_file(self_update_path(state, "job.json"));
    EXPECT_EQ(read_job(state), std::nullopt);
}

}  // namespace
}  // namespace qorn
