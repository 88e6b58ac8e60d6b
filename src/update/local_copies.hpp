// Bytes the client already holds: a file to fetch whose size and digest a file of the
// installed release has under another path (a release that moves or copies files) is
// copied into the staging area instead of downloaded. Runs on the update run's thread
// before the downloads; what it stages is verified with everything else.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "release/manifest.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <vector>

namespace qorn {

// The files that now lie in the staging area, copied from the client folder; the
// others are left to the download. A source counts only while its member of `cache`
// or a fresh hash vouches for it.
std::vector<ClientFile> stage_local_copies(const State& state, const std::vector<ClientFile>& files,
                                           const Manifest& installed, const HashCache& cache, const Cancel& cancel,
                                           const ProgressCallback& progress);

}  // namespace qorn
