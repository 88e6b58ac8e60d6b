// Brings the files a scan found missing or different into the staging area,
// verified: single files, or the release's packages on a first installation, up to
// four transfers at once after a disk-space check. Runs on the update run's thread;
// the progress callback is also entered from the download workers, one at a time.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "net/network.hpp"
#include "release/manifest.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
#include "state/state.hpp"

#include <vector>

namespace qorn {

// What a run will fetch and how much disk it needs, from sizes alone.
struct DownloadPlan {
    bool packages = false;    // a first installation from the release's packages
    std::uint64_t total = 0;  // bytes to transfer in all (packages or files)
    std::uint64_t need = 0;   // free space required: margin, missing bytes, backups
};
// installed: the valid installed release or null; inventory: the scan's, when it
// covers the files. A staging area that does not fit the files is cleared first.
DownloadPlan plan_downloads(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                            const Manifest* installed, const Inventory* inventory, const Cancel& cancel,
                            const ProgressCallback& progress = {});

// On return every entry of files lies verified in the staging area. staged, when
// given, receives each verified file's size, time and digest for the hash cache.
// cache: the run's hash cache, when it holds one (otherwise it is read if needed).
void download_files(const State& state, const Manifest& manifest, const std::vector<ClientFile>& files,
                    const Manifest* installed, Network& network, const Cancel& cancel,
                    const ProgressCallback& progress, const Inventory* inventory, HashCache* staged,
                    const HashCache* cache = nullptr);

}  // namespace qorn
