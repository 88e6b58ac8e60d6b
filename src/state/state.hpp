// A client folder and its state folder ".qorn-launcher": where every state file
// lives, the update lock, the launcher log and the removal of work areas.
// A State is a cheap value built per use; its operations run on the thread of the
// run that holds the update lock.
#pragma once

#include "core/files.hpp"
#include "core/json_text.hpp"
#include "core/progress.hpp"
#include "core/unique_handle.hpp"

#include <filesystem>
#include <functional>
#include <string_view>

namespace qorn {

class State {
public:
    // Makes the folder absolute, refuses links on it and above it, and creates the
    // client folder and its state folder when missing.
    explicit State(const std::filesystem::path& client_folder);

    const std::filesystem::path& root() const { return root_; }
    // A state file or sub-folder ("installed.json", "self-update/offer.json"); the
    // link tests run on every use.
    std::filesystem::path file(std::string_view name) const;

private:
    std::filesystem::path root_;
};

// The atomic writes of state files by name ("installed.json", "self-update/ready.json"):
// links are refused on the whole way, judged from the client folder down.
void write_state_file(const State& state, std::string_view name, std::string_view bytes);
void write_state_streamed(const State& state, std::string_view name,
                          const std::function<void(const ByteSink&)>& produce);
void write_state_json(const State& state, std::string_view name, const nlohmann::json& value,
                      JsonStyle style = JsonStyle::indented);

// Where a verified new file waits before it is swapped in.
std::filesystem::path staging_path(const State& state, std::string_view client_path);

// Held while the handle lives; a second launcher on the same folder is refused.
using UpdateLock = UniqueHandle;
UpdateLock lock_update(const State& state);

// One line in the folder's launcher log; never fails (a line that cannot be written is lost).
void write_log(const std::filesystem::path& client_folder, std::string_view message) noexcept;

// Removes a work area ("staging", "downloads", "transaction", "backup-last") after
// making sure that no link inside it could lead the removal elsewhere.
void clean_temporary(const State& state, std::string_view name, const ProgressCallback& progress, Stage stage);

}  // namespace qorn
