#include "selfcheck/checker.hpp"

#include "core/files.hpp"
#include "core/tree_removal.hpp"

#include <windows.h>

namespace qorn {

std::uint32_t in_scratch_folder(const std::wstring& name, const char* exists_message,
                                const std::function<std::uint32_t(const std::filesystem::path&)>& suite) {
    wchar_t temporary[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH) {
        const DWORD code = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
        throw_windows_error("Không tìm được thư mục tạm", code);
    }
    const std::filesystem::path folder =
        std::filesystem::path(temporary) / (name + std::to_wstring(GetCurrentProcessId()));
    // Made here or refused: a folder someone else made is never reused or removed.
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        const DWORD code = GetLastError();
        require(code != ERROR_ALREADY_EXISTS, exists_message);
        throw_windows_error("Không tạo được thư mục kiểm tra", code);
    }
    std::uint32_t count = 0;
    try {
        count = suite(folder);
    } catch (...) {
        remove_tree(folder);  // a failure here is the one reported
        throw;
    }
    remove_tree(folder);
    return count;
}

}  // namespace qorn
