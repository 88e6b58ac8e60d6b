#include "core/text.hpp"

#include "core/unique_handle.hpp"

#include <stdexcept>

namespace qorn {

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int source_length = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), source_length,
                                           nullptr, 0, nullptr, nullptr);
    require(length >= 1 && text.size() < 0x7fffffff, "Chuỗi Unicode không hợp lệ.");
    std::string result(static_cast<size_t>(length), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), source_length,
                                            result.data(), length, nullptr, nullptr);
    require(written == length, "Chuỗi Unicode không hợp lệ.");
    return result;
}

std::wstring to_wide(std::string_view text) {
    if (text.empty()) return {};
    const int source_length = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), source_length, nullptr, 0);
    require(length >= 1 && text.size() < 0x7fffffff, "Chuỗi UTF-8 không hợp lệ.");
    std::wstring result(static_cast<size_t>(length), L'\0');
    const int written =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), source_length, result.data(), length);
    require(written == length, "Chuỗi UTF-8 không hợp lệ.");
    return result;
}

void require(bool condition, const std::string& message) {
    if (!condition) throw std::runtime_error(message);
}

std::string windows_error_message(std::string_view context, DWORD code) {
    UniqueLocal buffer;
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    buffer.reset(text);
    std::string message(context);
    message += ": ";
    if (length > 0 && text != nullptr) {
        message += to_utf8(std::wstring_view(text, length));
    } else {
        message += "Windows error " + std::to_string(code);
    }
    return message;
}

void throw_windows_error(std::string_view context, DWORD code) {
    throw std::runtime_error(windows_error_message(context, code));
}

std::string file_name_text(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    const size_t slash = text.find_last_of(L"\\/");
    return to_utf8(slash == std::wstring::npos ? std::wstring_view(text) : std::wstring_view(text).substr(slash + 1));
}

std::string path_text(const std::filesystem::path& path) { return to_utf8(path.native()); }

}  // namespace qorn
