#include "game/game_launch.hpp"

#include "core/com.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "game/game_settings.hpp"
#include "release/client_path.hpp"

#include <string>

namespace qorn {
namespace {

constexpr DWORD elevation_required = 740;
constexpr HRESULT other_apartment_mode = static_cast<HRESULT>(0x80010106);
constexpr ULONG keep_process_no_async_no_ui = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;

UniqueHandle start_elevated(const std::filesystem::path& game, const std::filesystem::path& working_folder,
                            HWND owner, const GameLaunchApi& api) {
    HRESULT com_result = S_OK;
    const ComInitialisation com = initialise_com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE, com_result);
    require(SUCCEEDED(com_result) || com_result == other_apartment_mode,
            "Không khởi tạo được cơ chế xin quyền quản trị Windows.");
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    request.fMask = keep_process_no_async_no_ui;
    request.hwnd = owner;
    request.lpVerb = L"runas";
    request.lpFile = game.c_str();
    request.lpDirectory = working_folder.c_str();
    request.nShow = SW_SHOWNORMAL;
    const BOOL started = api.shell_execute(&request);
    const DWORD code = GetLastError();
    UniqueHandle process(request.hProcess);  // also closes what a failed call filled in
    if (!started) {
        if (code == ERROR_CANCELLED) return UniqueHandle(INVALID_HANDLE_VALUE);
        throw_windows_error("Không mở được Main.exe với quyền quản trị", code);
    }
    require(static_cast<bool>(process), "Windows không trả về tiến trình Main.exe. Hãy thử Vào Game lại.");
    return process;
}

}  // namespace

const GameLaunchApi& system_game_launch_api() {
    static constexpr GameLaunchApi api{&::CreateProcessW, &::ShellExecuteExW};
    return api;
}

UniqueHandle start_game_process(const std::filesystem::path& game, const std::filesystem::path& working_folder,
                                HWND owner, const GameLaunchApi& api) {
    // The path alone, quoted: the game gets no arguments, whatever its path holds.
    std::wstring command_line = L"\"" + game.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (api.create_process(game.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           working_folder.c_str(), &startup, &started)) {
        return take_process(started);
    }
    const DWORD code = GetLastError();
    if (code != elevation_required) throw_windows_error("Không mở được Main.exe", code);
    return start_elevated(game, working_folder, owner, api);
}

UniqueHandle launch_game(const std::filesystem::path& client_folder, bool window_mode, bool sound, HWND owner) {
    const std::filesystem::path game = client_path(client_folder, game_executable, false);
    require(file_info(game).exists, "Chưa có Main.exe. Hãy bấm Kiểm tra lại.");
    save_window_mode(window_mode);
    save_sound(sound);
    return start_game_process(game, client_folder, owner, system_game_launch_api());
}

}  // namespace qorn
