// The head-less "--sync" mode: one update run on the main thread, each stage
// printed once as {"stage":N}, then the compact result line.
#pragma once

#include "app/entry.hpp"

namespace qorn {

// arguments: "--sync", client folder, manifest URL[, "--full"].
int run_sync_mode(const Arguments& arguments, bool skip_launcher_update);

}  // namespace qorn
