// A stand-in for the game in the guard's tests; built by the project, never shipped.
// "fake_game.exe <milliseconds>" runs that long and exits 0. "fake_game.exe --guard"
// runs the game guard on its own folder, as a launcher named Main.exe would, and
// exits 0 when the guard let it pass, 3 when the guard refused.
#include "game/game_guard.hpp"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <exception>
#include <filesystem>
#include <string>

namespace {

std::filesystem::path own_folder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return std::filesystem::path(path).parent_path();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"--guard") {
        try {
            qorn::ensure_game_closed(own_folder(), nullptr, {});
            return 0;
        } catch (const std::exception& failure) {
            std::fputs(failure.what(), stderr);
            return 3;
        }
    }
    if (argc != 2) return 2;
    Sleep(static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)));
    return 0;
}
