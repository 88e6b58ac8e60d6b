// The two questions the sync driver asks the update host about its manifest:
// is the verified release still current (one HEAD, or at most 64 KiB of the
// manifest), and the whole manifest. Stateless; safe on any thread with a shared Network.
#pragma once

#include "net/network.hpp"
#include "release/manifest.hpp"

#include <optional>
#include <string>

namespace qorn {

// The verified release's id and manifest digest against the host's. False when the
// host publishes another release or its answer does not tell.
bool release_is_current(Network& network, const std::string& release_id, const std::string& manifest_sha256);

Manifest fetch_manifest(Network& network);
// The manifest's text as the host sent it, not yet parsed.
std::string fetch_manifest_text(Network& network);

// The text of the host's signed release statement (release.json beside the
// manifest), unread; nothing when the host answers that it has none (404).
std::optional<std::string> fetch_release_statement(Network& network);

}  // namespace qorn
