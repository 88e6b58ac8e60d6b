// The launcher log: ".qorn-launcher/launcher.log" of a client folder, one
// "<unix seconds> <message>" line per call, rotated past 2 MiB. Never fails its
// caller. No lock: the file is opened without sharing per line, a line that meets
// another writer is lost.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace qorn {

inline constexpr std::uint64_t log_rotation_size = 2097152;

void write_log(const std::filesystem::path& client_folder, std::string_view message) noexcept;

}  // namespace qorn
