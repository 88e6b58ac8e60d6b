// One complete update run of a client folder: lock, recovery, the host's answer,
// the launcher offer, scan, downloads, apply, re-check and the verified record,
// with the offline fallback to the verified release. Runs on one thread (the
// window's worker or the --sync main thread); only the Cancel crosses threads.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace qorn {

struct SyncResult {
    std::string releaseId;
    std::uint64_t downloaded = 0;
    bool offline = false;
    bool quick = false;
    bool launcherReady = false;
};

SyncResult run_sync(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full,
                    Cancel& cancel, const ProgressCallback& progress, bool skip_launcher_update);

}  // namespace qorn
