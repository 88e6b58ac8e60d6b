#include "core/launcher_folder.hpp"

#include "core/text.hpp"

#include <windows.h>

#include <vector>

namespace qorn {

std::filesystem::path launcher_folder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    require(length != 0 && length < buffer.size(), "Không tìm được thư mục launcher.");
    return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
}

}  // namespace qorn
