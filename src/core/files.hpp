// Durable file operations with fixed flags and Vietnamese failure messages:
// links refused, bounded reads, atomic ".new" replacement, disk-space checks.
// Stateless and re-entrant; different files may be handled on different threads.
#pragma once

#include "core/json_text.hpp"
#include "core/unique_handle.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace qorn {

// Offset between the Windows file time origin (1601) and ticks counted from 0001-01-01 UTC.
inline constexpr std::uint64_t file_time_to_ticks = 504911232000000000ULL;
inline constexpr std::uint64_t json_file_limit = 67108864;  // 64 MiB
inline constexpr std::uint64_t size_limit = 0x7fffffffffffffffULL;  // sizes stay below 2^63

struct FileInfo {
    bool exists = false;
    bool is_directory = false;
    std::uint64_t size = 0;
    std::uint64_t modified_ticks = 0;  // 100 ns units since 0001-01-01 UTC
};

// A missing file or folder on the way answers exists = false.
FileInfo file_info(const std::filesystem::path& path);
// The codes of a path that names nothing, whether its last part or a folder on the way.
bool is_absent_error(DWORD code);

// True under Wine, which shows every Unix mount point (the root of Z: among them)
// and every folder symlink as a reparse point, and answers no handle query about it.
bool running_under_wine();

// Refuse any entry carrying the reparse-point attribute (symbolic link, junction, mount point).
void refuse_link(const std::filesystem::path& path);
// The same for the entry and every folder above it up to and including `top`, and
// on up to the volume root; under Wine the folders above `top` are not judged,
// since there they read as links whenever they lie on another Unix mount.
void refuse_links_up(const std::filesystem::path& path, const std::filesystem::path& top);

// Read access, others may read; a link itself is opened and refused.
UniqueHandle open_read(const std::filesystem::path& path);
// Creates missing parent folders; no sharing; cut to 0 unless appending (then positioned at the end).
UniqueHandle open_write(const std::filesystem::path& path, bool append);
// Writes everything in pieces of at most 1 MiB.
void write_all(HANDLE file, std::string_view bytes);

std::string read_file_limited(const std::filesystem::path& path, std::uint64_t limit);
// Strict, with the nesting bound of parse_json.
nlohmann::json read_json_file(const std::filesystem::path& path, std::uint64_t limit = json_file_limit);

// Writes the whole text under path + ".new", flushes it, then moves it over the
// target. No link may stand on the path or above it (refuse_links_up to `top`;
// without a top every folder up to the root is judged, under Wine too).
void write_file_atomic(const std::filesystem::path& path, std::string_view bytes,
                       const std::filesystem::path& top = {});
// The same for a text made piece by piece: `produce` hands each piece to its sink, so
// that a record of tens of megabytes is never held whole in memory.
using ByteSink = std::function<void(std::string_view)>;
void write_file_streamed(const std::filesystem::path& path, const std::function<void(const ByteSink&)>& produce,
                         const std::filesystem::path& top = {});
// Keys ascending, no trailing line break, in the given style.
void write_json_file(const std::filesystem::path& path, const nlohmann::json& value,
                     JsonStyle style = JsonStyle::indented, const std::filesystem::path& top = {});

// Copies with a flush of the target; progress gets the running byte total.
void copy_file(const std::filesystem::path& source, const std::filesystem::path& target,
               const std::function<void(std::uint64_t)>& progress = {});
// Replaces the target in one step, written through to disk.
void move_replace(const std::filesystem::path& source, const std::filesystem::path& target);
// Succeeds when the file is already absent; refuses links.
void delete_file(const std::filesystem::path& path);
// Clears the read-only attribute, which Windows honours by refusing to replace or
// delete the file; answers the attributes the file had (0 when it is absent).
DWORD make_writable(const std::filesystem::path& path);
// Fails with the whole need in MiB when the caller may not use that many bytes there.
void require_disk_space(const std::filesystem::path& path, std::uint64_t need);
// Overflow-guarded sum of sizes; both the addend and the sum stay below 2^63.
std::uint64_t add_size(std::uint64_t total, std::uint64_t n);

}  // namespace qorn
