// The hand-over to a verified new launcher, across three processes that meet only
// through the self-update area's files and the update lock: the old launcher writes
// the job and starts a copy of itself as the worker; the worker swaps the new build in
// and waits for it to confirm; the new build confirms. A build that does not confirm
// is rolled back by the worker. Each call runs on its process's first thread.
#pragma once

#include "game/game_guard.hpp"
#include "selfupdate/handoff_records.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

// What the command line tells a launcher about the hand-over and its run.
struct LauncherFlags {
    bool skip_launcher_update = false;  // "--skip-launcher-update"
    bool full_check = false;            // "--full-check"
    std::string acknowledgement;        // the token after "--launcher-ack", or empty
};

// Runs the whole worker process ("--apply-launcher", folder, token: its exit code), or
// strips the hand-over options wherever they stand into `flags`, runs the start-up
// recovery for a start without arguments or with "--test-ui", and answers nothing.
std::optional<int> handle_launcher_arguments(std::vector<std::wstring>& arguments, LauncherFlags& flags);

// The arguments a launcher is started with again: the job's "--test-ui" ones, then
// "--skip-launcher-update" (after a roll-back) or "--launcher-ack" and the token,
// then "--full-check" when the run asked for it.
std::vector<std::wstring> restart_arguments(const LauncherJob& job, bool rollback);

// In the old launcher after a run readied a candidate: true when the worker was
// started and this launcher must exit; false when another launcher or the game is
// active here and nothing was done.
bool start_launcher_handoff(const std::filesystem::path& client_folder, const std::wstring& manifest_url,
                            const std::vector<std::wstring>& arguments, bool full_check);

// The worker's whole run (the copy worker.exe); 0 after a swap or a clean abort, 1
// after a roll-back.
int apply_launcher(const std::filesystem::path& client_folder, const std::string& token,
                   const ProcessCalls& calls = system_process_calls());

// In the new launcher while its window is made: proves it is the offered build and
// confirms with the job's token. Nothing happens without a job.
void acknowledge_launcher(const std::filesystem::path& client_folder, const std::string& token);

// At a start without arguments (or with "--test-ui"): a job whose worker is gone
// before the swap happened is removed.
void recover_launcher_handoff();

}  // namespace qorn
