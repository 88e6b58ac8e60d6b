// Unpacks one downloaded ZIP package of a first installation into the staging
// area, trusting nothing in the archive: only names the manifest lists are written,
// under the manifest's own spelling. One call owns its reader and handles; it runs
// on the calling thread.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "release/manifest.hpp"
#include "state/state.hpp"

#include <filesystem>

namespace qorn {

// Every file of the package lies in the staging area with its manifest size on
// return. Throws the first refused entry or Cancelled; files extracted before a
// failure stay (the caller verifies or replaces them). The package file is kept.
void extract_package(const std::filesystem::path& package_file, const Package& package, const Manifest& manifest,
                     const State& state, const Cancel& cancel, const ProgressCallback& progress);

}  // namespace qorn
