#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;

// A path's limit in UTF-16 units and a cut-off character are the client path test's.
TEST(Text, ConversionsRoundTripAndRefuseInvalidInput) {
    const std::string text = "Cập nhật \xF0\x9F\x8E\xAE";  // a character outside the basic plane
    EXPECT_EQ(to_utf8(to_wide(text)), text);
    EXPECT_EQ(failure_of([] { to_wide("a\x80z"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_utf8(std::wstring(1, wchar_t(0xD800))); }), "Chuỗi Unicode không hợp lệ.");
}

// WinHTTP's codes (12001-12186) are not in the system's message table. Windows words
// them from winhttp.dll's own table; Wine's winhttp.dll has none, but its wininet.dll
// words the same codes and stands in for a module that does.
TEST(WindowsError, AModulesOwnTextComesFirstThenTheSystemsThenTheNumber) {
    const UniqueAny<ReleasedBy<HMODULE, &::FreeLibrary>> wininet(LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(wininet);
    const std::string denied = windows_error_message("Không xóa được file", ERROR_ACCESS_DENIED);
    const std::string lost = windows_error_message("Không kết nối được hosting", 12029, wininet.get());
    // Texts of Windows after the context, kept as Windows gives them (with their line end).
    for (const auto& [message, context] :
         {std::pair(denied, "Không xóa được file: "), std::pair(lost, "Không kết nối được hosting: ")}) {
        EXPECT_TRUE(message.starts_with(context) && message.ends_with("\r\n")) << message;
        EXPECT_EQ(message.find("Windows error"), std::string::npos) << message;
    }
    const std::pair<std::string, std::string> fallbacks[] = {
        {windows_error_message("Không xóa được file", ERROR_ACCESS_DENIED, wininet.get()), denied},  // not the module's
        {windows_error_message("Không kết nối được hosting", 12029, nullptr),
         "Không kết nối được hosting: Windows error 12029"},
        {windows_error_message("x", 0x20000001, wininet.get()), "x: Windows error 536870913"},  // nobody's
    };
    for (const auto& [message, expected] : fallbacks) EXPECT_EQ(message, expected);
}

TEST(UniqueHandle, ClosesOnceAndKeepsTheCallersLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    UniqueHandle owner(raw);
    UniqueHandle moved(std::move(owner));
    EXPECT_FALSE(owner);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
    SetLastError(1234);
    moved.reset();
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_FALSE(GetHandleInformation(raw, &flags));  // closed by reset
    moved.reset();                                   // nothing left to close
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
}

}  // namespace
}  // namespace qorn
