#include "app/sync_mode.hpp"

#include "app/console.hpp"
#include "sync/sync.hpp"

#include <nlohmann/json.hpp>

#include <set>

namespace qorn {

int run_sync_mode(const Arguments& arguments, bool skip_launcher_update) {
    Cancel cancel;  // never stopped in this mode
    std::set<Stage> seen;
    // Reports come from one thread at a time (the workers serialise theirs), so the set needs no lock.
    const ProgressCallback print_stages = [&seen](const Progress& report) {
        if (seen.insert(report.stage).second) print_line(nlohmann::json{{"stage", stage_number(report.stage)}}.dump());
    };
    const bool full = arguments.size() > 3 && arguments[3] == L"--full";
    const SyncResult result = run_sync(arguments[1], arguments[2], full, cancel, print_stages, skip_launcher_update);
    print_line(nlohmann::json{{"releaseId", result.releaseId},
                              {"downloaded", result.downloaded},
                              {"offline", result.offline},
                              {"quick", result.quick},
                              {"launcherReady", result.launcherReady}}
                   .dump());
    return 0;
}

}  // namespace qorn
