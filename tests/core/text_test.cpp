#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;
using test::starts_with;

TEST(Text, ConversionsRoundTripAndRefuseInvalidInput) {
    EXPECT_EQ(to_utf8(L""), "");
    EXPECT_EQ(to_wide(""), L"");
    const std::string vietnamese = "Cập nhật Ề \xF0\x9F\x8E\xAE";  // one character outside the basic plane
    EXPECT_EQ(to_utf8(to_wide(vietnamese)), vietnamese);
    EXPECT_EQ(to_wide(vietnamese).size(), 13u);  // the last character takes two units

    EXPECT_EQ(failure_of([] { to_wide("a\x80z"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_wide("\xC3"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_utf8(std::wstring(1, wchar_t(0xD800))); }), "Chuỗi Unicode không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_utf8(L"a" + std::wstring(1, wchar_t(0xDC00)) + L"b"); }),
              "Chuỗi Unicode không hợp lệ.");
}

TEST(Text, WindowsErrorFormKeepsSystemTextAndLineBreak) {
    const std::string denied = failure_of([] { throw_windows_error("Không xóa được file", ERROR_ACCESS_DENIED); });
    ASSERT_TRUE(starts_with(denied, "Không xóa được file: ")) << denied;
    EXPECT_GT(denied.size(), std::string("Không xóa được file: \r\n").size());
    EXPECT_EQ(denied.substr(denied.size() - 2), "\r\n");

    EXPECT_EQ(windows_error_message("Ngữ cảnh", 0x2BADF00Du), "Ngữ cảnh: Windows error 732819469");
}

TEST(Text, FileNamesInMessages) {
    EXPECT_EQ(file_name_text(L"C:\\client\\Data/Đồ.bmd"), "Đồ.bmd");
    EXPECT_EQ(file_name_text(L"Main.exe"), "Main.exe");
    EXPECT_EQ(path_text(L"C:\\client\\Đồ"), "C:\\client\\Đồ");
}

TEST(UniqueHandle, ClosesOnceAndKeepsTheCallersLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        UniqueHandle owner(raw);
        UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner);
        EXPECT_TRUE(moved);
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
        SetLastError(1234);
        moved.reset();
        EXPECT_EQ(GetLastError(), 1234u);
        EXPECT_FALSE(GetHandleInformation(raw, &flags));  // closed by reset
        moved.reset();                                   // nothing left to close
    }
    UniqueHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(invalid);
    UniqueFind no_search;
    EXPECT_EQ(no_search.get(), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace qorn
