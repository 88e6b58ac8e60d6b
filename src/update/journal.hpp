// The journal of the apply transaction (journal.json): the operations in the
// order they are carried out, the release installed before, and whether every
// change is on disk. One reader and one writer; the transaction's thread only.
#pragma once

#include "release/manifest.hpp"
#include "state/state.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

inline constexpr std::size_t journal_operation_limit = 400000;

struct JournalOperation {
    std::string path;           // client path as the release or the installed record gives it
    bool had_original = false;  // a file stood there when the journal was written
    bool remove = false;        // removed; otherwise the staged file takes its place
};

struct Journal {
    nlohmann::json previous;  // the manifest installed before (a document), or null
    std::vector<JournalOperation> operations;
    bool committed = false;
};

// Nothing when there is no journal. A journal that cannot be read as one fails
// with "Nhật ký phục hồi không hợp lệ." (or the read's own failure) and stays.
std::optional<Journal> read_journal(const State& state);

// The installed release goes in as the text it was read from, not a re-serialised
// document, so the journal is never larger than that text and the operations.
void write_journal(const State& state, const std::vector<JournalOperation>& operations, const Manifest* previous,
                   bool committed);

}  // namespace qorn
