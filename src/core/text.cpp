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

namespace {

// WinHTTP's own codes: Windows keeps their texts in winhttp.dll, not in the system table.
constexpr DWORD first_winhttp_code = 12001;
constexpr DWORD last_winhttp_code = 12186;

// The text of the code in one message table (the system's when module is null), as
// Windows gives it; empty when that table has none.
std::string message_text(DWORD code, HMODULE module) {
    wchar_t* text = nullptr;
    const DWORD table = module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | table, module,
                                        code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const UniqueLocal buffer(text);
    if (length == 0 || text == nullptr) return {};
    return to_utf8(std::wstring_view(text, length));
}

}  // namespace

std::string windows_error_message(std::string_view context, DWORD code) {
    const bool winhttp = code >= first_winhttp_code && code <= last_winhttp_code;
    return windows_error_message(context, code, winhttp ? GetModuleHandleW(L"winhttp.dll") : nullptr);
}

std::string windows_error_message(std::string_view context, DWORD code, HMODULE messages) {
    std::string text = messages != nullptr ? message_text(code, messages) : std::string();
    if (text.empty()) text = message_text(code, nullptr);
    if (text.empty()) text = "Windows error " + std::to_string(code);
    std::string message(context);
    message += ": ";
    message += text;
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
