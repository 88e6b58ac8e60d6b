#include "net/header_numbers.hpp"

#include "core/unique_handle.hpp"

#include <gtest/gtest.h>

#include <process.h>

namespace qorn {
namespace {

TEST(ContentRange, OnlyTheExactFormWithNumbersThatFit64BitsIsRead) {
    const std::pair<std::wstring, std::optional<ContentRange>> cases[] = {
        {L"bytes 1000-4999/5000", ContentRange{1000, 4999, 5000}},
        {L"bytes 0-1/18446744073709551615", ContentRange{0, 1, 18446744073709551615u}},
        {L"bytes 1000-4999/18446744073709551616", std::nullopt},  // 2^64
        {L"bytes " + std::wstring(60000, L'9') + L"-1/2", std::nullopt},
        {L"bytes 1000-4999/5000 ", std::nullopt},
        {L" bytes 1000-4999/5000", std::nullopt},
        {L"bytes +1000-4999/5000", std::nullopt},
        {L"bytes 1000-4999/-5000", std::nullopt},
        {L"bytes 1000-4999", std::nullopt},
        {L"bytes 1000-/5000", std::nullopt},
        {L"bytes -4999/5000", std::nullopt},
        {L"bytes */5000", std::nullopt},
        {L"bytes 1000/5000-4999", std::nullopt},
        {L"bytes \x0661-4999/5000", std::nullopt},  // a digit, but not an ASCII one
        {L"Bytes 1000-4999/5000", std::nullopt},
        {L"items 1000-4999/5000", std::nullopt},
        {L"", std::nullopt},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(parse_content_range(value), expected) << value.substr(0, 40);
}

// The host's value may be 64 KB long: its parse must not grow the stack with its
// length, so it runs here on a thread whose whole stack is 64 KiB.
TEST(ContentRange, AVeryLongValueIsReadOnASmallStack) {
    struct Job {
        std::wstring value = L"bytes " + std::wstring(60000, L'0') + L"1000-4999/5000";
        std::optional<ContentRange> range;
    } job;
    const auto parse = [](void* argument) -> unsigned {
        auto& job = *static_cast<Job*>(argument);
        job.range = parse_content_range(job.value);
        return 1;
    };
    UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 65536, parse, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 1u);  // the parse returned; an overflow ends the thread without its result
    EXPECT_EQ(job.range, (ContentRange{1000, 4999, 5000}));
}

}  // namespace
}  // namespace qorn
