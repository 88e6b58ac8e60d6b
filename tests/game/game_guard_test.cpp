// The guard against the simulated process list and clock of the test support; the
// whole-program tests run it against the fake game.
#include "game/game_guard.hpp"
#include "core/text.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

constexpr ULONGLONG forever = ~0ULL;

std::string running(const std::string& name, DWORD pid, const std::wstring& image) {
    return name + " (PID " + std::to_string(pid) +
           ") vẫn đang chạy trong thư mục game. Hãy đóng game rồi bấm Thử lại.\nĐường dẫn: " + to_utf8(image);
}

// The client folder as the player or the system may spell it.
TEST(PathKey, IgnoresCaseSeparatorsDotsAndLongPathPrefixes) {
    for (const wchar_t* same : {L"\\\\?\\c:\\GAME\\Client\\", L"c:/game/client/", L"C:\\Game\\.\\Data\\..\\Client\\\\",
                                L"C:\\Game//Client"}) {
        EXPECT_EQ(path_key(same), path_key(L"C:\\Game\\Client")) << to_utf8(same);
    }
    EXPECT_EQ(path_key(L"\\\\?\\UNC\\server\\share\\Game\\"), path_key(L"\\\\server\\share\\game"));
}

class GameGuard : public ::testing::Test {
protected:
    test::FakeSystem system;
    std::vector<std::wstring> reports;  // the details; the stage and text are checked as they come
    void TearDown() override { system.expect_all_closed(); }
    std::string guard(const Cancel* cancel) {
        const ProgressCallback report = [this](const Progress& progress) {
            EXPECT_EQ(progress.stage, Stage::asking_host);
            EXPECT_EQ(progress.text, L"Chờ Main bàn giao cho launcher hoặc kết thúc…");
            reports.push_back(progress.detail);
        };
        return test::failure_of([&] { ensure_game_closed(L"C:\\Game\\Client", cancel, report, system.calls); });
    }
};

TEST_F(GameGuard, AnUnreadableProcessListFailsTheCall) {
    EXPECT_EQ(guard(nullptr), "(no failure)");  // an empty list
    system.first_error = ERROR_ACCESS_DENIED;
    EXPECT_TRUE(test::starts_with(guard(nullptr), "Không đọc được danh sách tiến trình: ")) << guard(nullptr);
    system.snapshot_error = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_TRUE(test::starts_with(guard(nullptr), "Không kiểm tra được tiến trình game: ")) << guard(nullptr);
}

TEST_F(GameGuard, OnlyLiveGameImagesDirectlyInTheFolderCount) {
    system.processes = {
        {4242, L"Main.exe", L"C:\\Game\\Client\\Main.exe"},  // the launcher itself
        {10, L"notepad.exe", L"C:\\Game\\Client\\notepad.exe"},
        {11, L"Main.exe.bak", L"C:\\Game\\Client\\Main.exe.bak"},
        {12, L"Main.exe", L"C:\\Game\\Client\\Data\\Main.exe"},  // a sub-folder
        {13, L"MAIN_X64.EXE", L"C:\\Game\\Client2\\MAIN_X64.EXE"},
        {14, L"main.exe", L"C:\\Game\\Client\\main.exe", forever, false},  // protected
        {15, L"Main.exe", L"C:\\Game\\Client\\Main.exe", forever, true, false},
        {16, L"Main.exe", L"C:\\Game\\Client\\Main.exe", 0},  // already ended
    };
    EXPECT_EQ(guard(nullptr), "(no failure)");
    // Without a Cancel a live game fails the call at once, unreported.
    system.processes.push_back({17, L"main_x64.exe", L"\\\\?\\c:\\game\\CLIENT\\main_x64.exe"});
    EXPECT_EQ(guard(nullptr), running("main_x64.exe", 17, L"\\\\?\\c:\\game\\CLIENT\\main_x64.exe"));
    EXPECT_EQ(system.now, 50000u);
    EXPECT_TRUE(reports.empty());
}

// Two games, each reported while the guard waits for it; a second one that runs on
// gets what is left of the grace, if anything. The clock starts at 50000.
TEST_F(GameGuard, TheGraceIsCountedOnceFromTheFirstGameFound) {
    const std::wstring image = L"C:\\Game\\Client\\Main_x64.exe";
    const std::tuple<ULONGLONG, ULONGLONG, ULONGLONG> cases[] = {  // the games' ends, the call's
        {52000, forever, 53000}, {53000, forever, 53000}, {52000, 52500, 52500}};
    for (const auto& [first_ends, second_ends, ends_at] : cases) {
        system.now = 50000;
        reports.clear();
        system.processes = {{41, L"Main.exe", L"C:\\Game\\Client\\Main.exe", first_ends},
                            {42, L"Main_x64.exe", image, second_ends}};
        Cancel cancel;
        EXPECT_EQ(guard(&cancel), second_ends == forever ? running("Main_x64.exe", 42, image) : "(no failure)");
        EXPECT_EQ(system.now, ends_at);
        EXPECT_EQ(reports, (std::vector<std::wstring>{L"Main.exe · PID 41", L"Main_x64.exe · PID 42"}));
    }
}

// A stop within the grace is seen in the next 100 ms slice; one in the last slice
// wins over the game that still runs.
TEST_F(GameGuard, AStopDuringTheGraceEndsTheCallWithCancelled) {
    system.processes = {{51, L"Main.exe", L"C:\\Game\\Client\\Main.exe"}};
    for (const ULONGLONG stop_at : {50500u, 53000u}) {
        Cancel cancel;
        system.now = 50000;
        system.after_wait = [&] { system.now >= stop_at ? cancel.cancel() : void(); };
        EXPECT_EQ(guard(&cancel), "Đã dừng xử lý.");
        EXPECT_EQ(system.now, stop_at);
    }
}

}  // namespace
}  // namespace qorn
