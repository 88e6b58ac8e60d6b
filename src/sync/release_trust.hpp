// What a build that carries release keys believes about the host's release: the
// signed statement beside the manifest, held to this folder's last accepted
// sequence and to the clock. Used by one sync run on its own thread.
#pragma once

#include "net/network.hpp"
#include "release/release_statement.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <optional>
#include <stdexcept>

namespace qorn {

// The host answered, but with a release this launcher must not trust; the run
// plays the verified release as when the host cannot be reached.
struct ReleaseRefused : std::runtime_error {
    explicit ReleaseRefused(const std::string& message) : std::runtime_error(message) {}
};

class ReleaseTrust {
public:
    explicit ReleaseTrust(const State& state);

    // False in a build without keys: the host is trusted as far as TLS goes.
    bool required() const { return required_; }
    // Fetches and checks the statement (nothing without keys): a NetworkError when
    // the host cannot be asked, ReleaseRefused for a missing, forged, expired or older one.
    void fetch(Network& network);
    // Whether the accepted statement names this verified release.
    bool names(const std::string& release_id, const std::string& manifest_sha256) const;
    // The host's manifest text, parsed only when its digest is the one the accepted
    // statement names (and then its release id must be the statement's too).
    Manifest accept_manifest(std::string text, std::wstring_view manifest_url) const;
    // Records the accepted statement's sequence as this folder's floor when it changed
    // (nothing without keys).
    void remember() const;

private:
    const State& state_;
    bool required_;
    std::optional<AcceptedStatement> accepted_;
    std::optional<ReleaseStatement> statement_;
};

}  // namespace qorn
