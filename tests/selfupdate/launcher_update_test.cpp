#include "selfupdate/launcher_update.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/script_server.hpp"
#include "release/launcher_offer.hpp"
#include "selfupdate/handoff.hpp"
#include "selfupdate/processes.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qorn {
namespace {

using namespace test;

const std::wstring stay_text = L"Chưa cập nhật được Updater — vẫn dùng bản hiện tại; chi tiết trong launcher.log.";

// The running launcher the offer check sees.
std::wstring running_image;
DWORD WINAPI fake_module_path(HMODULE, LPWSTR buffer, DWORD) {
    std::copy(running_image.begin(), running_image.end(), buffer);
    buffer[running_image.size()] = L'\0';
    return static_cast<DWORD>(running_image.size());
}

class LauncherUpdate : public testing::Test {
protected:
    LauncherUpdate() {
        write_bytes(client_ / L"Updater.exe", build_);
        running_image = (client_ / L"Updater.exe").wstring();
        system_.processes = {{4242, L"Updater.exe", client_ / L"Updater.exe"}};
    }

    LauncherCheck prepare(const std::vector<qorn::LauncherOffer>* offers) {
        Network network(server_.url(), cancel_);
        InstalledRelease installed(state_, server_.url());
        return prepare_launcher(state_, offers, installed, network, cancel_, on_report, false,
                                {&fake_module_path, system_.calls});
    }
    LauncherCheck prepare() { return prepare(&offers_); }
    bool ready() const { return file_info(self_update_path(state_, "ready.json")).exists; }
    std::string log() const {
        const auto path = client_ / L".qorn-launcher" / L"launcher.log";
        return file_info(path).exists ? read_bytes(path) : "";
    }

    test::FakeSystem system_;
    TempFolder client_;
    State state_{client_.path()};
    const std::string build_ = read_bytes(QORN_UPDATER_EXE);  // 2.0.8.0
    size_t stall_after_ = std::string::npos;
    test::ScriptServer server_{[this](const Seen& request) {
        if (!request.target.starts_with("/launchers/x64.exe")) return answer(404);
        test::Answer reply = answer(200, build_);
        reply.stall_after = stall_after_;
        return reply;
    }};
    // The host offers 2.0.9.0 but serves this build: a candidate that is not the offer.
    const std::vector<qorn::LauncherOffer> offers_ = {
        {"win-x64", "2.0.9.0", build_.size(), sha256_hex(build_), to_utf8(server_.url("/launchers/x64.exe"))}};
    Cancel cancel_;
    ProgressCallback on_report;
};

TEST_F(LauncherUpdate, AnotherUpdaterOrAGameInThisFolderHoldsTheUpdateBack) {
    const std::filesystem::path image = client_ / L"Updater.exe";
    std::vector<test::FakeProcess>& processes = system_.processes;
    processes = {{4242, L"Updater.exe", image},
                 {10, L"UPDATER.EXE", image, 0},  // ended
                 {11, L"Updater.exe", image, ~0ULL, false},
                 {12, L"Updater.exe", client_ / L"Data" / L"Updater.exe"},
                 {13, L"Updater.exe", client_.path().wstring() + L"2\\Updater.exe"},
                 {14, L"Main.exe", client_ / L"Data" / L"Main.exe"}};
    EXPECT_FALSE(launcher_instance_running(state_, system_.calls));
    EXPECT_FALSE(launcher_instance_running(state_));  // the real process table

    processes.push_back({15, L"uPDATER.exe", client_ / L"." / L"Updater.exe"});
    EXPECT_TRUE(launcher_instance_running(state_, system_.calls));
    EXPECT_EQ(prepare().message, L"Có Updater mới — sẽ thay khi đóng game/launcher khác.");

    // A game in the folder fails the check with the guard's message: logged, the current launcher stays.
    processes.back() = {16, L"Main.exe", client_ / L"Main.exe"};
    EXPECT_EQ(prepare().message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Main.exe (PID 16) vẫn đang chạy"), std::string::npos) << log();
    EXPECT_TRUE(server_.seen().empty());
}

TEST_F(LauncherUpdate, TheLastOffersSeenAreReadBackWhateverTheirUrlsLengthAndOnlyTheOfferedBuildIsReady) {
    // Two offers with long addresses: far past the few kilobytes a record of two offers usually takes.
    std::vector<qorn::LauncherOffer> long_urls = offers_;
    long_urls[0].url += "?" + std::string(20000, 'q');
    long_urls.push_back({"win-x86", "2.0.9.0", 1, std::string(64, 'a'), long_urls[0].url});
    write_offer_record(state_, long_urls);
    EXPECT_EQ(prepare(nullptr).message, stay_text);  // read back, fetched, and found not to be the offered build
    EXPECT_EQ(server_.seen().size(), 1u);
    EXPECT_TRUE(log().ends_with(" Launcher update: Updater tải về sai phiên bản hoặc kiến trúc.\r\n")) << log();
    EXPECT_FALSE(ready());
}

TEST_F(LauncherUpdate, AStopDuringTheDownloadIsTheStopAndIsNotLogged) {
    stall_after_ = build_.size() / 2;
    on_report = [this](const Progress& p) { p.done > 0 ? cancel_.cancel() : void(); };
    EXPECT_THROW(prepare(), Cancelled);
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(ready());
}

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
    EXPECT_TRUE(starts_with(failure_of([&] { start_process(folder / L"missing.exe", {}, folder.path(), false); }),
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
    // The launcher's write and the worker's read meet in every hand-over of the whole-program tests; these
    // values none of them gives: a full check, the largest ids.
    const LauncherJob read = *read_job(state);
    EXPECT_EQ(std::tie(read.parent_pid, read.parent_created, read.full_check),
              std::tie(job.parent_pid, job.parent_created, job.full_check));
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
