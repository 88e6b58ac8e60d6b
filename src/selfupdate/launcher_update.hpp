// Preparing the launcher's own update: picks the manifest's newer build for this
// architecture, downloads it into the self-update area and leaves it verified for
// the hand-off. Runs on the update run's worker thread while the caller holds the
// client folder's update lock; it never replaces the running launcher itself.
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "game/game_guard.hpp"
#include "net/network.hpp"
#include "release/launcher_offer.hpp"
#include "selfupdate/launcher_metadata.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qorn {

// What a run learned about the launcher's own update.
struct LauncherCheck {
    bool restart = false;  // ready.json and a verified candidate.exe wait for the hand-off
    std::wstring message;  // shown to the user; empty when there is nothing to say
};

// The system calls of the offer check, as a table so that tests can stand in for
// the running executable and the process list.
struct LauncherCalls {
    ModulePathCall module_path;
    ProcessCalls processes;
};
const LauncherCalls& system_launcher_calls();

// A file directly in the self-update area ("offer.json", "candidate.exe", ...).
std::filesystem::path self_update_path(const State& state, std::string_view name);

// The one writer of offer.json: the last offers seen, for a run without a manifest.
void write_offer_record(const State& state, const std::vector<LauncherOffer>& offers);

// The first offer for the running architecture that is newer than the running build.
const LauncherOffer* newer_offer(const std::vector<LauncherOffer>& offers, const LauncherMetadata& running);

// True when another Updater.exe runs from this client folder. A game running
// there fails the call with the game guard's message.
bool launcher_instance_running(const State& state, const ProcessCalls& calls = system_process_calls());

// offers: the manifest's launcher offers, or null when this run has no manifest
// (the last offers seen are used, else the installed release's). retry_failed lets
// an offer that was rolled back be tried again. Only Cancelled escapes: every
// other failure is logged and answered with the message that the current launcher stays.
LauncherCheck prepare_launcher(State& state, const std::vector<LauncherOffer>* offers, InstalledRelease& installed,
                               Network& network, Cancel& cancel, const ProgressCallback& progress, bool retry_failed,
                               const LauncherCalls& calls = system_launcher_calls());

}  // namespace qorn
