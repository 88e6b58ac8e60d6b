// Where a release turns a folder into a file or a file into a folder: which old
// entries may make way inside the transaction, and the folders an update empties.
// Runs on the transaction's thread, inside the folder's update lock.
#pragma once

#include "release/manifest.hpp"
#include "state/state.hpp"

#include <set>
#include <string>

namespace qorn {

// Case keys of the client paths the transaction removes.
using RemovedKeys = std::set<std::wstring>;

// Before the journal: every folder on the way to `file` must be absent, a folder,
// or a file being removed; a folder standing at its place may hold nothing but
// files being removed and empty folders. Answers whether such a folder stands there.
bool require_way_for(const State& state, const ClientFile& file, const RemovedKeys& removed);

// After the commit: the folders the installed release had and the new one has
// not are removed when they are empty (deepest first); nothing that holds anything.
void remove_emptied_folders(const State& state, const Manifest& installed, const Manifest& release) noexcept;

}  // namespace qorn
