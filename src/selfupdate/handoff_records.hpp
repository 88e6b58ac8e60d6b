// The records of a launcher hand-over in the self-update area, each with one reader
// and one writer: the job (job.json), the new launcher's confirmation (boot-ok.json)
// and the digest of an offer that was rolled back (failed.json). The processes of a
// hand-over meet only through these files and the update lock.
#pragma once

#include "release/launcher_offer.hpp"
#include "state/state.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

struct LauncherJob {
    std::string token;     // 64 hex characters naming this hand-over
    std::string root;      // the client folder, UTF-8
    std::string endpoint;  // the manifest URL of the run
    LauncherOffer offer;
    std::string old_hash;  // the Updater.exe being replaced
    std::uint64_t old_size = 0;
    std::uint32_t parent_pid = 0;
    std::uint64_t parent_created = 0;
    std::uint32_t helper_pid = 0;  // 0 until the worker records itself
    std::uint64_t helper_created = 0;
    std::vector<std::string> restart;                  // empty, or "--test-ui", folder, URL
    std::string phase;                                 // "prepared", then "installed"
    bool full_check = false;
};

// Nothing when there is no job; the library's errors for one that is not one. The
// offer is read as written (its rules are checked where it is used).
std::optional<LauncherJob> read_job(const State& state);
void write_job(const State& state, const LauncherJob& job);

// The token of boot-ok.json, when there is one.
std::optional<std::string> read_boot_token(const State& state);
void write_boot_token(const State& state, const std::string& token);

// The digest of failed.json, when there is one.
std::optional<std::string> read_failed_offer(const State& state);
void write_failed_offer(const State& state, const std::string& sha256);

}  // namespace qorn
