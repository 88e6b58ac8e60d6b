// A stand-in for the game in the whole-program tests; built by the project, never
// shipped. "fake_game.exe <milliseconds>" runs that long and exits 0.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    Sleep(std::wcstoul(argv[1], nullptr, 10));
    return 0;
}
