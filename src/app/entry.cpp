#include "app/entry.hpp"

#include "app/console.hpp"
#include "app/process_flags.hpp"
#include "app/sync_mode.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "game/desktop_shortcut.hpp"
#include "selfcheck/self_test.hpp"
#include "ui/ui.hpp"

#include <windows.h>
#include <shellapi.h>

#include <nlohmann/json.hpp>

namespace qorn {
namespace {

const char* const missing_mode = "Chế độ chạy này chưa có trong bản Updater này.";

template <typename Mode>
const Mode& require_mode(const Mode& mode) {
    require(static_cast<bool>(mode), missing_mode);
    return mode;
}

Arguments split_command_line(const wchar_t* command_line) {
    int count = 0;
    UniqueLocal owner;
    wchar_t** list = CommandLineToArgvW(command_line, &count);
    owner.reset(list);
    require(list != nullptr, "Không đọc được tham số launcher.");
    Arguments arguments;
    for (int i = 1; i < count; ++i) arguments.emplace_back(list[i]);
    return arguments;
}

}  // namespace

RunModes built_in_modes() {
    RunModes modes;
    modes.handle_launcher_arguments = [](Arguments& arguments) -> std::optional<int> {
        return handle_launcher_arguments(arguments, process_flags());
    };
    modes.sync = [](const Arguments& arguments) {
        return run_sync_mode(arguments, process_flags().skip_launcher_update);
    };
    modes.self_test = [] { return self_test(&print_line); };
    modes.refresh_shortcut = [] { refresh_desktop_shortcut(); };
    modes.run_window = [](const Arguments& arguments) {
        return run_window(arguments, process_flags());
    };
    return modes;
}

int run_modes(Arguments arguments, const RunModes& modes) {
    if (modes.handle_launcher_arguments) {
        if (const std::optional<int> handed_off = modes.handle_launcher_arguments(arguments)) return *handed_off;
    }
    if (!arguments.empty() && arguments[0] == L"--self-test") return require_mode(modes.self_test)();
    if (arguments.size() >= 3 && arguments[0] == L"--sync") {
        require_mode(modes.sync)(arguments);
        return 0;
    }
    if (arguments.empty() && modes.refresh_shortcut) modes.refresh_shortcut();
    return require_mode(modes.run_window)(arguments);
}

int run_entry(const wchar_t* command_line, const RunModes& modes) {
    bool without_arguments = false;
    try {
        Arguments arguments = split_command_line(command_line);
        without_arguments = arguments.empty();
        return run_modes(std::move(arguments), modes);
    } catch (const std::exception& failure) {
        return report_failure(failure.what(), without_arguments);
    } catch (...) {
        return report_failure("Lỗi không xác định.", without_arguments);
    }
}

int report_failure(const std::string& message, bool started_without_arguments) {
    try {
        // A message that is not valid UTF-8 (a library's text) must still reach the user.
        print_line(nlohmann::json{{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        if (started_without_arguments) {
            std::wstring text;
            try {
                text = to_wide(message);
            } catch (const std::exception&) {
                text = L"Lỗi không xác định.";
            }
            MessageBoxW(nullptr, text.c_str(), L"QORN.TV", MB_OK | MB_ICONERROR);
        }
    } catch (...) {
        // Nothing more can be told; the exit code still says that the run failed.
    }
    return 1;
}

}  // namespace qorn
