// The two questions the sync driver asks the update host about its manifest:
// is the verified release still current (one HEAD, or at most 64 KiB of the
// manifest), and the whole manifest. Stateless; safe on any thread with a shared Network.
#pragma once

#include "net/network.hpp"
#include "release/manifest.hpp"

#include <nlohmann/json.hpp>

namespace qorn {

// record: the verified-release record (its releaseId and manifestSha256). False
// when the host publishes another release or its answer does not tell.
bool release_is_current(Network& network, const nlohmann::json& record);

Manifest fetch_manifest(Network& network);

}  // namespace qorn
