// The client scan: walks only the folders a release needs, refusing links and
// names that collide on Windows, then decides for each file whether it matches,
// hashing on up to four threads and trusting the hash cache in a quick check.
// Runs on the calling thread; its workers are joined before it returns.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "core/unique_handle.hpp"
#include "release/manifest.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qorn {

struct InventoryEntry {
    bool exists = false;
    bool is_directory = false;
    std::uint64_t size = 0;
    std::uint64_t modified_ticks = 0;
};

// What a walk found. The folders it opened stay open, without delete sharing, for
// the inventory's life, so none of them can be moved away meanwhile.
struct Inventory {
    std::map<std::wstring, InventoryEntry> entries;  // keyed by the case key of the relative path
    std::vector<UniqueHandle> folder_handles;
    std::uint64_t folders_read = 0;
    std::uint64_t files_seen = 0;
    // False when an entry is a folder where the release wants a file, or the reverse.
    bool fits = true;

    // All fields zero for a path the walk did not find.
    InventoryEntry find(const std::wstring& key) const;
};

// What a folder holds of the given files, walked as the scan walks (links refused,
// only folders on the way opened); no reports. A missing folder holds nothing.
// An entry of the other kind than the files need is recorded and clears `fits`.
Inventory inventory_of(const std::filesystem::path& folder, const std::vector<ClientFile>& files, const Cancel& cancel);

// The files of the list (all of the manifest's when files is null) that do not
// match, in list order; the hash cache is rewritten with those that do. `cache`, when
// given, is the hash cache as the file holds it, read once by the caller and handed
// from step to step of a run: it is used instead of reading the file, and left as the
// file is left (emptied when a failed write may have left them apart).
std::vector<ClientFile> scan(const State& state, const Manifest& manifest, bool full,
                             const std::vector<ClientFile>* files, const Cancel& cancel,
                             const ProgressCallback& progress, Stage stage, Inventory* inventory = nullptr,
                             HashCache* cache = nullptr);

// Decides every file on up to four threads (the first failure ends the others and is
// passed on), reporting the bytes and files done across them as one total under `text`;
// check(i, hashed) reports the bytes of file i hashed so far. An element per file:
// whether it matched.
std::vector<char> check_files(const std::vector<ClientFile>& files, const Cancel& cancel, const Reporter& report,
                              Stage stage, const wchar_t* text,
                              const std::function<bool(size_t, const ByteCallback&)>& check);

}  // namespace qorn
