// One complete update run of a client folder: lock, recovery, the host's answer,
// the launcher offer, scan, downloads, apply, re-check and the verified record,
// with the offline fallback to the verified release. It drives the parts below it
// and sits above them all. Runs on one thread (the window's worker or the --sync
// main thread); only the Cancel crosses threads.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace qorn {

struct SyncResult {
    std::string releaseId;
    std::uint64_t downloaded = 0;  // files found missing or different, fetched and applied
    bool offline = false;          // the host was lost; the verified release stands
    bool quick = false;            // rests on the verified record without a scan
    bool launcherReady = false;    // a verified new launcher waits for the hand-off
};

SyncResult run_sync(const std::filesystem::path& client_folder, const std::wstring& manifest_url, bool full,
                    Cancel& cancel, const ProgressCallback& progress, bool skip_launcher_update);

}  // namespace qorn
