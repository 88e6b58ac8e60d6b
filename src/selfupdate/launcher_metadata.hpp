// What a launcher executable is: its architecture and file version read from the
// PE headers and the version resource, and the proof that a file is the offered
// build. Stateless; safe on any thread (each call opens the file it reads).
#pragma once

#include "core/cancel.hpp"
#include "release/launcher_offer.hpp"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace qorn {

struct LauncherMetadata {
    std::string runtime;        // "win-x64" or "win-x86"
    std::uint64_t version = 0;  // file-version-MS in the high 32 bits, LS in the low 32 bits
};

// Refuses anything but a 64-bit or 32-bit x86 application image with a version resource.
LauncherMetadata read_launcher_metadata(const std::filesystem::path& path);

// Throws unless the file is exactly the launcher the offer describes: size and
// SHA-256 first, then its architecture and file version. The Cancel stops the hashing.
void verify_launcher_file(const std::filesystem::path& path, const LauncherOffer& offer,
                          const Cancel& cancel = Cancel());

// The module-path call, a seam so that tests can stand in for the running executable.
using ModulePathCall = decltype(&::GetModuleFileNameW);
std::filesystem::path current_executable_path(ModulePathCall module_path = &::GetModuleFileNameW);

// Both paths made absolute, normal and upper case (as path_key) name the same location.
bool same_file_path(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace qorn
