// A stand-in for the game; built by the project, never shipped.
// "fake_game.exe <milliseconds>" runs that long and exits 0 (the whole-program tests).
// Started without arguments, as the launcher starts the game, it writes its command
// line and working folder to launched.txt beside itself, one per line, and exits.
#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc == 1) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring report = self;
        report = report.substr(0, report.find_last_of(L'\\')) + L"\\launched.txt";
        wchar_t folder[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, folder);
        const std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + folder + L"\n";
        std::string bytes(text.size() * 3, '\0');
        bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, nullptr));
        std::ofstream(std::filesystem::path(report), std::ios::binary) << bytes;
        return 0;
    }
    if (argc != 2) return 2;
    Sleep(std::wcstoul(argv[1], nullptr, 10));
    return 0;
}
