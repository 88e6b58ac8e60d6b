// The hand-over to a verified new launcher, as the window calls it: the new build
// confirms its start, and the old one hands over once a run has a candidate ready.
// Called on the window thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qorn {

// Confirms to a waiting hand-over worker that this launcher started (with the
// token of its command line); nothing to do when none waits.
void acknowledge_launcher(const std::filesystem::path& client_folder);

// Starts the hand-over to the verified candidate. False when it was not taken: the
// caller then runs again without the launcher update, so the game stays playable.
bool start_launcher_handoff(const std::filesystem::path& client_folder, const std::wstring& manifest_url,
                            const std::vector<std::wstring>& arguments, bool full_check);

}  // namespace qorn
