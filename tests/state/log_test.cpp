#include "core/log.hpp"
#include "state/state.hpp"
#include "core/files.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <ctime>

namespace qorn {
namespace {

using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

TEST(Log, LineFormatIsUnixSecondsMessageCrLf) {
    TempFolder client;
    const std::uint64_t before = static_cast<std::uint64_t>(std::time(nullptr));
    write_log(client.path(), "Lỗi mạng: hết giờ\r\n");
    write_log(client.path(), "hai");
    const std::uint64_t after = static_cast<std::uint64_t>(std::time(nullptr));

    const std::string text = read_bytes(client / L".qorn-launcher" / L"launcher.log");
    const size_t space = text.find(' ');
    ASSERT_NE(space, std::string::npos);
    const std::uint64_t seconds = std::stoull(text.substr(0, space));
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    EXPECT_EQ(text.substr(space), " Lỗi mạng: hết giờ\r\n\r\n" + text.substr(0, space) + " hai\r\n");
}

TEST(Log, RotatesOnlyPastTwoMebibytes) {
    TempFolder client;
    const auto log = client / L".qorn-launcher" / L"launcher.log";
    const auto previous = client / L".qorn-launcher" / L"launcher.previous.log";

    write_bytes(log, std::string(log_rotation_size, 'a'));
    write_log(client.path(), "kept");
    EXPECT_FALSE(file_info(previous).exists);
    EXPECT_GT(file_info(log).size, log_rotation_size);

    write_log(client.path(), "new");  // the log is now one line past the limit
    EXPECT_GT(file_info(previous).size, log_rotation_size);
    const std::string fresh = read_bytes(log);
    EXPECT_EQ(fresh.substr(fresh.find(' ')), " new\r\n");
}

TEST(Log, NeverFailsItsCaller) {
    TempFolder client;
    const auto log = client / L".qorn-launcher" / L"launcher.log";
    write_bytes(log, "");
    {
        test::HeldOpen other_writer(log);
        EXPECT_NO_THROW(write_log(client.path(), "lost"));
    }
    EXPECT_EQ(read_bytes(log), "");

    TempFolder blocked;
    write_bytes(blocked / L".qorn-launcher", "a file where the state folder belongs");
    EXPECT_NO_THROW(write_log(blocked.path(), "lost too"));
}

}  // namespace
}  // namespace qorn
