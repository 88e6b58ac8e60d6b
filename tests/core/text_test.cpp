#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::failure_of;

TEST(Text, ConversionsRoundTripAndRefuseInvalidInput) {
    const std::string vietnamese = "Cập nhật Ề \xF0\x9F\x8E\xAE";  // one character outside the basic plane
    EXPECT_EQ(to_utf8(to_wide(vietnamese)), vietnamese);
    EXPECT_EQ(to_wide(vietnamese).size(), 13u);  // the last character takes two units

    EXPECT_EQ(failure_of([] { to_wide("a\x80z"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_wide("\xC3"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_utf8(std::wstring(1, wchar_t(0xD800))); }), "Chuỗi Unicode không hợp lệ.");
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
