// The start of Updater.exe in this process, and the built image's resources; the
// whole-program tests run the image itself.
#include "app/console.hpp"
#include "app/entry.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace qorn {
namespace {

// Each escaped failure becomes one compact UTF-8 error line and exit code 1.
TEST(Entry, EscapedFailureBecomesOneCompactUtf8LineAndExitCodeOne) {
    std::function<void()> failure;
    RunModes modes;
    modes.sync = [&](const Arguments&) -> int { return failure(), 0; };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { throw std::runtime_error("Không mở được file \"Đồ.bmd\""); },
         "{\"error\":\"Không mở được file \\\"Đồ.bmd\\\"\"}\n"},
        // A library's text that is not UTF-8 still gets out.
        {[] { throw std::runtime_error("bad \xFF byte"); }, "{\"error\":\"bad \xEF\xBF\xBD byte\"}\n"},
        {[] { throw 42; }, "{\"error\":\"Lỗi không xác định.\"}\n"},
    };
    const std::string missing_mode = "{\"error\":\"Chế độ chạy này chưa có trong bản Updater này.\"}\n";
    const test::TempFolder folder;
    const UniqueHandle output(CreateFileW((folder / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          CREATE_ALWAYS, 0, nullptr));
    const HANDLE previous = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, output.get());
    std::string lines;
    for (const auto& [thrown, line] : cases) {
        failure = thrown;
        EXPECT_EQ(run_entry(L"Updater.exe --sync C:\\c u", modes), 1);
        lines += line;
    }
    // "--sync" with one argument opens the window, whose pictures this test program lacks;
    // a build without a mode says so.
    EXPECT_EQ(run_entry(L"Updater.exe --sync C:\\c", built_in_modes()), 1);
    EXPECT_EQ(run_entry(L"Updater.exe --self-test", RunModes{}), 1);
    // Started without standard output (as from Explorer), a line goes nowhere quietly.
    SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
    EXPECT_NO_THROW(print_line("nobody listens"));
    SetStdHandle(STD_OUTPUT_HANDLE, previous);
    EXPECT_EQ(test::read_bytes(folder / L"out.txt"),
              lines + "{\"error\":\"Thiếu ảnh giao diện nhúng trong EXE.\"}\n" + missing_mode);
}

// A GUI program (no console window) whose manifest asks for no elevation, long
// paths and per-monitor DPI, with an icon.
TEST(UpdaterExe, GuiImageWithManifestAndIcon) {
    const std::string image = test::read_bytes(QORN_UPDATER_EXE);
    const auto pe = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data())->e_lfanew;
    EXPECT_EQ(reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + pe)->OptionalHeader.Subsystem,
              IMAGE_SUBSYSTEM_WINDOWS_GUI);
    const HMODULE module =
        LoadLibraryExW(QORN_UPDATER_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                           SizeofResource(module, manifest));
    for (const char* setting : {"PerMonitorV2", "level=\"asInvoker\"", "WindowsSettings\">true</longPathAware>"}) {
        EXPECT_NE(text.find(setting), std::string::npos) << setting;
    }
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
    FreeLibrary(module);
}

}  // namespace
}  // namespace qorn
