// The launcher log's lines: "<unix seconds> <message>" CR LF, appended to a log
// file that is first moved aside once it is past 2 MiB. The state layer says where
// the log lives (write_log). No lock: the file is opened without sharing per line,
// and a line that meets another writer is lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace qorn {

inline constexpr std::uint64_t log_rotation_size = 2097152;

// Throws on failure; write_log is the caller that never fails.
void append_log_line(const std::filesystem::path& log, const std::filesystem::path& previous_log,
                     std::string_view message);

}  // namespace qorn
