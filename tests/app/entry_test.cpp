#include "app/console.hpp"
#include "app/entry.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qorn {
namespace {

TEST(Entry, EscapedFailureBecomesOneCompactUtf8LineAndExitCodeOne) {
    RunModes modes;
    modes.sync = [](const Arguments&) -> int { throw std::runtime_error("Không mở được file \"Đồ.bmd\""); };
    test::CapturedOutput output;
    EXPECT_EQ(run_entry(L"Updater.exe --sync C:\\c u", modes), 1);
    EXPECT_EQ(run_entry(L"Updater.exe --self-test", RunModes{}), 1);  // a mode missing from the build
    EXPECT_EQ(report_failure("bad \xFF byte", false), 1);  // a library's non-UTF-8 text still gets out
    EXPECT_EQ(output.text(),
              "{\"error\":\"Không mở được file \\\"Đồ.bmd\\\"\"}\n"
              "{\"error\":\"Chế độ chạy này chưa có trong bản Updater này.\"}\n"
              "{\"error\":\"bad \xEF\xBF\xBD byte\"}\n");
}

TEST(Console, PrintLineWithoutStandardOutputIsSilent) {
    const HANDLE previous = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    EXPECT_NO_THROW(print_line("nobody listens"));
    SetStdHandle(STD_OUTPUT_HANDLE, previous);
}

}  // namespace
}  // namespace qorn
