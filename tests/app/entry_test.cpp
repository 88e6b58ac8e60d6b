#include "app/console.hpp"
#include "app/entry.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qorn {
namespace {

// Records which modes ran, in order, with the arguments they got.
struct Recorder {
    std::vector<std::wstring> calls;

    RunModes modes() {
        RunModes m;
        m.handle_launcher_arguments = [this](Arguments& args) -> std::optional<int> {
            calls.push_back(L"handoff");
            std::erase(args, L"--skip-launcher-update");
            if (!args.empty() && args[0] == L"--apply-launcher") return 7;
            return std::nullopt;
        };
        m.self_test = [this] {
            calls.push_back(L"self-test");
            return 3;
        };
        m.sync = [this](const Arguments& args) {
            calls.push_back(L"sync " + args[1] + L" " + args[2] + (args.size() > 3 ? L" " + args[3] : L""));
            return 0;
        };
        m.refresh_shortcut = [this] { calls.push_back(L"shortcut"); };
        m.run_window = [this](const Arguments& args) {
            calls.push_back(L"window " + std::to_wstring(args.size()));
            return 5;
        };
        return m;
    }
};

TEST(Entry, ExactlyOneModeInTheFixedOrder) {
    struct Case {
        const wchar_t* command_line;
        int code;
        std::vector<std::wstring> calls;
    };
    const Case cases[] = {
        {L"Updater.exe", 5, {L"handoff", L"shortcut", L"window 0"}},
        {L"Updater.exe --apply-launcher C:\\c token", 7, {L"handoff"}},
        {L"Updater.exe --self-test", 3, {L"handoff", L"self-test"}},
        {L"Updater.exe x --self-test", 5, {L"handoff", L"window 2"}},
        {L"Updater.exe --sync C:\\c", 5, {L"handoff", L"window 2"}},
        {L"Updater.exe --sync \"C:\\Trò chơi\" http://127.0.0.1/api/manifest --FULL", 0,
         {L"handoff", L"sync C:\\Trò chơi http://127.0.0.1/api/manifest --FULL"}},
        {L"Updater.exe --skip-launcher-update --sync C:\\c u", 0, {L"handoff", L"sync C:\\c u"}},
        {L"Updater.exe --SYNC C:\\c u", 5, {L"handoff", L"window 3"}},
    };
    for (const Case& c : cases) {
        Recorder recorder;
        EXPECT_EQ(run_entry(c.command_line, recorder.modes()), c.code) << c.command_line;
        EXPECT_EQ(recorder.calls, c.calls) << c.command_line;
    }
}

TEST(Entry, EscapedFailureBecomesOneCompactUtf8LineAndExitCodeOne) {
    RunModes modes;
    modes.sync = [](const Arguments&) -> int { throw std::runtime_error("Không mở được file \"Đồ.bmd\""); };
    test::CapturedOutput output;
    EXPECT_EQ(run_entry(L"Updater.exe --sync C:\\c u", modes), 1);
    EXPECT_EQ(output.text(), "{\"error\":\"Không mở được file \\\"Đồ.bmd\\\"\"}\n");
}

TEST(Entry, ModesMissingFromTheBuildFailClearly) {
    test::CapturedOutput output;
    EXPECT_EQ(run_entry(L"Updater.exe --self-test", RunModes{}), 1);
    EXPECT_EQ(report_failure("bad \xFF byte", false), 1);  // a library's non-UTF-8 text still gets out
    EXPECT_EQ(output.text(),
              "{\"error\":\"Chế độ chạy này chưa có trong bản Updater này.\"}\n"
              "{\"error\":\"bad \xEF\xBF\xBD byte\"}\n");
}

TEST(Console, PrintLineWithoutStandardOutputIsSilent) {
    const HANDLE previous = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    EXPECT_NO_THROW(print_line("nobody listens"));
    SetStdHandle(STD_OUTPUT_HANDLE, previous);
    EXPECT_TRUE(std::filesystem::exists(launcher_folder()));
}

}  // namespace
}  // namespace qorn
