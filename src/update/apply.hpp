// The apply transaction: verified staged files replace client files behind a
// journal written first, so a crash, a power cut or a stop at any point is undone
// (or, once committed, tidied up) by recover_transaction. Runs on the update run's
// thread while the folder's update lock is held.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "release/manifest.hpp"
#include "state/state.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace qorn {

inline constexpr size_t journal_operation_limit = 400000;

// Installs `files` (verified copies waiting in the staging area) and removes what
// the installed release had and `release` has not. `staged` maps client paths to
// the hash-cache members of the staged files (may be null).
void apply(const State& state, const Manifest& release, const std::vector<ClientFile>& files,
           const std::wstring& manifest_url, const Cancel& cancel, const ProgressCallback& progress,
           const nlohmann::json* staged);

// Finishes a transaction left by an earlier run: rolls an open one back, tidies a
// committed one up. Nothing happens without a journal.
void recover_transaction(const State& state, const std::wstring& manifest_url, const ProgressCallback& progress,
                         Stage cleanup_stage);

}  // namespace qorn
