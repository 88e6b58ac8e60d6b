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
    EXPECT_EQ(failure_of([&] { start_process(folder / L"missing.exe", {}, folder.path(), false); }).rfind(
                  "Không khởi động được bước thay launcher", 0),
              0u);
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
    const std::string root = path_text(folder.path());
    LauncherJob job;
    job.root = root;
    job.token = token;
    struct Case {
        std::vector<std::string> restart;
        bool rollback, full_check;
        std::vector<std::wstring> expected;  // empty: refused with the message
        const char* message;
    };
    const std::wstring wide_root = to_wide(root), url = L"http://127.0.0.1:8080/api/manifest";
    const std::string narrow_url = to_utf8(url);
    const Case cases[] = {
        {{}, false, false, {L"--launcher-ack", to_wide(token)}, nullptr},
        {{}, true, true, {L"--skip-launcher-update", L"--full-check"}, nullptr},
        {{"--test-ui", root, narrow_url},
         true,
         false,
         {L"--test-ui", wide_root, url, L"--skip-launcher-update"},
         nullptr},
        {{"--test-ui", root, "https://127.0.0.1/api/manifest"}, false, false, {}, "Tham số mở lại Updater không hợp lệ."},
        {{"--test-ui", root, "not a url"}, false, false, {}, "Tham số mở lại Updater không hợp lệ."},
        {{"--test-ui", root}, false, false, {}, "Tham số mở lại Updater không hợp lệ."},
        {{"--sync", root, narrow_url}, false, false, {}, "Tham số mở lại Updater không hợp lệ."},
        {{"--test-ui", root + "\\other", narrow_url}, false, false, {}, "Sai thư mục kiểm thử."},
    };
    for (const Case& c : cases) {
        job.restart = c.restart;
        job.full_check = c.full_check;
        if (c.message) {
            EXPECT_EQ(failure_of([&] { restart_arguments(job, c.rollback); }), c.message);
        } else {
            EXPECT_EQ(restart_arguments(job, c.rollback), c.expected);
        }
    }
}

TEST(LauncherArguments, TheHandOverOptionsAreTakenWhereverTheyStand) {
    struct Case {
        std::vector<std::wstring> arguments, kept;
        bool skip, full;
        std::string acknowledgement;
        const char* message;  // refused with it
    };
    const std::wstring wide_token = to_wide(token);
    const Case cases[] = {
        {{L"--full-check", L"--test-ui", L"C:\\c", L"--skip-launcher-update", L"http://h/api/manifest"},
         {L"--test-ui", L"C:\\c", L"http://h/api/manifest"},
         true,
         true,
         "",
         nullptr},
        {{L"--sync", L"--launcher-ack", wide_token, L"C:\\c"}, {L"--sync", L"C:\\c"}, false, false, token, nullptr},
        {{L"--FULL-CHECK"}, {L"--FULL-CHECK"}, false, false, "", nullptr},
        {{L"--apply-launcher", L"C:\\c"}, {}, false, false, "", "Sai tham số thay Updater."},
        {{L"--apply-launcher", L"C:\\c", wide_token, L"x"}, {}, false, false, "", "Sai tham số thay Updater."},
        {{L"--apply-launcher", L"C:\\c", L"ABC"}, {}, false, false, "", "SHA-256 không hợp lệ."},
        {{L"--test-ui", L"C:\\c", L"--launcher-ack"}, {}, false, false, "", "Thiếu mã xác nhận Updater."},
        {{L"--launcher-ack", std::wstring(64, L'A')}, {}, false, false, "", "SHA-256 không hợp lệ."},
    };
    for (const Case& c : cases) {
        std::vector<std::wstring> arguments = c.arguments;
        LauncherFlags flags;
        if (c.message) {
            EXPECT_EQ(failure_of([&] { handle_launcher_arguments(arguments, flags); }), c.message);
            continue;
        }
        EXPECT_EQ(handle_launcher_arguments(arguments, flags), std::nullopt);
        EXPECT_EQ(arguments, c.kept);
        EXPECT_EQ(std::tie(flags.skip_launcher_update, flags.full_check, flags.acknowledgement),
                  std::tie(c.skip, c.full, c.acknowledgement));
    }
}

TEST(JobRecord, WrittenAndReadBackWithTheWorkerAbsentUntilItRecordsItself) {
    const TempFolder folder;
    const State state(folder.path());
    LauncherJob job;
    job.token = token;
    job.root = path_text(folder.path());
    job.endpoint = "http://127.0.0.1/api/manifest";
    job.offer = {"win-x64", "2.0.9.0", 5, std::string(64, 'b'), "http://127.0.0.1/launchers/x/Updater.exe"};
    job.old_hash = std::string(64, 'c');
    job.old_size = 6;
    job.parent_pid = 0xFFFFFFFFu;
    job.parent_created = 0xFFFFFFFFFFFFFFFFull;
    job.restart = {"--test-ui", job.root, job.endpoint};
    job.phase = "prepared";
    job.full_check = true;
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

TEST(ConfirmationRecords, OneReaderAndOneWriterEach) {
    const TempFolder folder;
    const State state(folder.path());
    EXPECT_EQ(read_boot_token(state), std::nullopt);
    EXPECT_EQ(read_failed_offer(state), std::nullopt);
    write_boot_token(state, token);
    write_failed_offer(state, std::string(64, 'f'));
    EXPECT_EQ(read_boot_token(state), token);
    EXPECT_EQ(read_failed_offer(state), std::string(64, 'f'));
    EXPECT_EQ(read_bytes(self_update_path(state, "failed.json")), "{\n  \"sha256\": \"" + std::string(64, 'f') + "\"\n}");
}

}  // namespace
}  // namespace qorn
