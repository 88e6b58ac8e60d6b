// The apply transaction: verified staged files replace client files behind a
// journal written first, so a crash, a power cut or a stop at any point is undone
// (or, once committed, tidied up) by recover_transaction. Runs on the update run's
// thread while the folder's update lock is held.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "release/manifest.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <windows.h>

#include <string>
#include <vector>

namespace qorn {

// The call that moves an original aside as its backup, so that tests can make it fail
// and see the copy that stands in for it.
struct ApplyCalls {
    decltype(&::MoveFileExW) move_file;
};
const ApplyCalls& system_apply_calls();

// Installs `files` (verified copies waiting in the staging area) and removes what
// `installed` (the valid installed release, or null) had and `release` has not.
// A folder that stands where a file goes may make way when it holds nothing but
// files being removed and empty folders, and so may a removed file where a folder
// goes; anything of the player's stops the update before anything changes.
// `staged` holds the hash-cache entries of the staged files (may be null). `cache`, when
// given, is the hash cache as the file holds it (the run's, handed down from its scan):
// it is updated and written instead of read, and emptied when the transaction fails.
void apply(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
           const Manifest* installed, const std::wstring& manifest_url, const Cancel& cancel,
           const ProgressCallback& progress, const HashCache* staged, HashCache* cache = nullptr,
           const ApplyCalls& calls = system_apply_calls());

// Finishes a transaction left by an earlier run: rolls an open one back, tidies a
// committed one up. Answers whether there was one (installed.json may have changed).
bool recover_transaction(const State& state, const std::wstring& manifest_url, const ProgressCallback& progress,
                         Stage cleanup_stage);

}  // namespace qorn
