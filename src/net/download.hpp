// Resumable, verified download of one file of known size and SHA-256: the bytes
// already at the destination are kept and only the missing tail is asked for.
// Several calls may run at once on different destinations with one Network.
#pragma once

#include "core/files.hpp"
#include "core/progress.hpp"
#include "net/network.hpp"

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace qorn {

// On return the destination holds exactly the expected file. Three attempts, 300
// then 600 ms apart; a stop ends it at once with Cancelled. total: bytes of this
// file on disk so far; piece: the size of each piece just written. Both may be empty.
// Answers the destination's information as read just before its bytes were checked.
FileInfo download_file(Network& network, std::wstring_view url, const std::filesystem::path& destination,
                       std::uint64_t size, std::string_view sha256, const ByteCallback& total,
                       const ByteCallback& piece);

}  // namespace qorn
