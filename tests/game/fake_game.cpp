// A stand-in for the game in the guard's tests; built by the project, never shipped.
// "fake_game.exe <milliseconds>" runs that long and exits 0. "fake_game.exe --guard"
// runs the game guard on its own folder, as a launcher named Main.exe would, and
// exits 0 when the guard let it pass, 3 when the guard refused.
#include "app/console.hpp"
#include "game/game_guard.hpp"

#include <cwchar>
#include <exception>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    if (std::wcscmp(argv[1], L"--guard") != 0) return Sleep(std::wcstoul(argv[1], nullptr, 10)), 0;
    try {
        qorn::ensure_game_closed(qorn::launcher_folder(), nullptr, {});
        return 0;
    } catch (const std::exception&) {
        return 3;
    }
}
