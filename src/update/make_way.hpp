// Where a release turns a folder into a file or a file into a folder: which old
// entries may make way inside the transaction, and the folders an update empties.
// Runs on the transaction's thread, inside the folder's update lock.
#pragma once

#include "core/files.hpp"
#include "release/manifest.hpp"
#include "state/state.hpp"

#include <set>
#include <string>

namespace qorn {

// Case keys of the client paths the transaction removes.
using RemovedKeys = std::set<std::wstring>;

// Judges, before the journal is written, whether each file of an update can take
// its place. One per transaction; each folder on the way is looked at once.
class Way {
public:
    Way(const State& state, const RemovedKeys& removed) : state_(state), removed_(removed) {}

    // Every folder on the way to `file` must be absent, a folder, or a file being
    // removed; a folder standing at its place (`found`) may hold nothing but files
    // being removed and empty folders. Answers whether such a folder makes way.
    bool require_for(const ClientFile& file, const FileInfo& found);

private:
    const State& state_;
    const RemovedKeys& removed_;
    std::set<std::wstring> folders_judged_;
};

// After the commit: the folders the installed release had and the new one has
// not are removed when they are empty (deepest first); nothing that holds anything.
void remove_emptied_folders(const State& state, const Manifest& installed, const Manifest& release) noexcept;

}  // namespace qorn
