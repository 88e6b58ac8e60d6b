#include "sync/release_trust.hpp"

#include "core/sha256.hpp"
#include "net/manifest_fetch.hpp"
#include "release/release_keys.hpp"

namespace qorn {
namespace {

// The statement's own checks fail with plain messages; each of them is a refusal.
template <typename Check>
void refuse_unless(Check&& check) {
    try {
        check();
    } catch (const Cancelled&) {
        throw;
    } catch (const std::runtime_error& failure) {
        throw ReleaseRefused(failure.what());
    }
}

}  // namespace

ReleaseTrust::ReleaseTrust(const State& state) : state_(state), required_(!build_release_keys().empty()) {}

void ReleaseTrust::fetch(Network& network) {
    if (!required_) return;
    const std::optional<std::string> text = fetch_release_statement(network);
    if (!text) throw ReleaseRefused("Hosting không có thông tin bản phát hành đã ký (release.json).");
    accepted_ = read_accepted_statement(state_);
    refuse_unless([&] {
        ReleaseStatement statement = read_release_statement(*text);
        require_not_older(statement, accepted_ ? accepted_->sequence : 0);
        require_not_expired(statement, utc_now_ticks());
        statement_ = std::move(statement);
    });
}

bool ReleaseTrust::names(const std::string& release_id, const std::string& manifest_sha256) const {
    return statement_ && statement_->release_id == release_id && statement_->manifest_sha256 == manifest_sha256;
}

Manifest ReleaseTrust::accept_manifest(std::string text, std::wstring_view manifest_url) const {
    // Bytes nobody signed never reach the parser.
    if (sha256_hex(text) != statement_->manifest_sha256) {
        throw ReleaseRefused("Manifest không khớp với bản phát hành đã ký.");
    }
    Manifest manifest = parse_manifest(std::move(text), manifest_url);
    refuse_unless([&] { require_statement_of(*statement_, manifest); });
    return manifest;
}

void ReleaseTrust::remember() const {
    if (!statement_) return;
    if (!accepted_ || accepted_->sequence != statement_->sequence || accepted_->release_id != statement_->release_id ||
        accepted_->manifest_sha256 != statement_->manifest_sha256) {
        write_accepted_statement(state_, *statement_);
    }
}

}  // namespace qorn
