#include "core/log.hpp"

#include "core/files.hpp"

#include <string>

namespace qorn {
namespace {

// Windows file time of 1970-01-01 00:00:00 UTC.
constexpr std::uint64_t unix_epoch_file_time = 116444736000000000ULL;

std::uint64_t unix_seconds_now() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t file_time = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (file_time - unix_epoch_file_time) / 10000000;
}

}  // namespace

void append_log_line(const std::filesystem::path& log, const std::filesystem::path& previous_log,
                     std::string_view message) {
    const FileInfo info = file_info(log);
    if (info.exists && info.size > log_rotation_size) move_replace(log, previous_log);
    UniqueHandle file = open_write(log, true);
    std::string line = std::to_string(unix_seconds_now());
    line += ' ';
    line += message;
    line += "\r\n";
    write_all(file.get(), line);
}

}  // namespace qorn
