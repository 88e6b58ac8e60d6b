// A stand-in for the game; built by the project, never shipped.
// "fake_game.exe <milliseconds> [pid file]" runs that long and exits 0 (the whole-program
// tests), first writing its process id to the pid file when one is named.
// "fake_game.exe --echo <file> <arguments...>" writes the arguments it was given to the
// file in UTF-8, one per line (the tests of the launcher's command-line quoting).
// Started without arguments, as the launcher starts the game, it writes its command
// line and working folder to launched.txt beside itself, one per line, and exits, after
// the milliseconds that play-ms.txt beside it names, if there is one.
#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

void write_utf8(const std::filesystem::path& file, const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, nullptr));
    std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wstring(argv[1]) == L"--echo") {
        std::wstring text;
        for (int i = 3; i < argc; ++i) text += std::wstring(argv[i]) + L"\n";
        write_utf8(argv[2], text);
        return 0;
    }
    if (argc == 1) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::filesystem::path beside = std::filesystem::path(self).parent_path();
        wchar_t folder[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, folder);
        write_utf8(beside / L"launched.txt", std::wstring(GetCommandLineW()) + L"\n" + folder + L"\n");
        unsigned long playing = 0;
        std::ifstream(beside / L"play-ms.txt") >> playing;
        Sleep(playing);
        return 0;
    }
    if (argc > 3) return 2;
    if (argc == 3) write_utf8(argv[2], std::to_wstring(GetCurrentProcessId()));
    Sleep(std::wcstoul(argv[1], nullptr, 10));
    return 0;
}
