// SHA-256 through the system's cryptography provider (CNG). The provider is
// opened once per process and shared; each Sha256 belongs to one thread and one digest.
#pragma once

#include "core/cancel.hpp"
#include "core/files.hpp"
#include "core/progress.hpp"
#include "core/unique_handle.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorn {

// One digest job: create, add bytes, finish once.
class Sha256 {
public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    void add(std::string_view bytes);
    // 64 lower-case hexadecimal characters.
    std::string finish();
    // The 32 bytes themselves, for signatures.
    std::array<unsigned char, 32> finish_bytes();

private:
    std::vector<unsigned char> object_;  // CNG's working memory; outlives the hash handle
    UniqueHash hash_;
};

std::string sha256_hex(std::string_view bytes);
// Reads 128 KiB chunks, checking the token before each read; progress gets the running total.
std::string sha256_file(const std::filesystem::path& path, const Cancel& cancel, const ByteCallback& progress = {});
// False without reading when the file is missing, a folder, or of another size.
bool file_matches(const std::filesystem::path& path, std::uint64_t size, std::string_view sha256,
                  const Cancel& cancel, const ByteCallback& progress = {});
// As file_matches; a match answers the file's information as read just before its
// bytes were hashed, so a later look can tell whether it changed since.
std::optional<FileInfo> matching_file(const std::filesystem::path& path, std::uint64_t size,
                                      std::string_view sha256, const Cancel& cancel,
                                      const ByteCallback& progress = {});
// Accepts exactly 64 lower-case hexadecimal characters.
void require_sha256(std::string_view text);

}  // namespace qorn
