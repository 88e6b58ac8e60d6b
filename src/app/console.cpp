#include "app/console.hpp"

#include "core/text.hpp"

#include <windows.h>

#include <vector>

namespace qorn {

void print_line(std::string_view text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    std::string line(text);
    line += '\n';
    DWORD written = 0;
    WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::filesystem::path launcher_folder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    require(length != 0 && length < buffer.size(), "Không tìm được thư mục launcher.");
    return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
}

}  // namespace qorn
