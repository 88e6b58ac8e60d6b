#include "selfcheck/self_test.hpp"

#include "core/sha256.hpp"
#include "release/launcher_offer.hpp"
#include "release/urls.hpp"
#include "selfcheck/checker.hpp"
#include "selfupdate/launcher_metadata.hpp"
#include "selfupdate/launcher_update.hpp"

#include <limits>

namespace qorn {
namespace {

using nlohmann::json;

json offer(const std::string& runtime, const std::string& url, const std::string& sha256) {
    return {{"runtime", runtime}, {"version", "2.0.8.0"}, {"size", 1048576}, {"sha256", sha256}, {"url", url}};
}

}  // namespace

std::uint32_t self_update_self_test() {
    Checker check("Launcher metadata self-test ");
    check.that(parse_launcher_version("2.0.10.0") > parse_launcher_version("2.0.9.65535"));
    check.that(parse_launcher_version("65535.65535.65535.65535") == std::numeric_limits<std::uint64_t>::max());
    for (const char* text : {"2.0.8", "2.0.8.0.0", "-1.0.0.0", "65536.0.0.0", "1..2.3", "1.2.x.4"}) {
        check.fails([&] { parse_launcher_version(text); });
    }
    const std::wstring manifest_url = default_manifest_url();
    const std::string host = "https://" + to_utf8(update_host());
    const std::string digest = sha256_hex("launcher");
    const json good = offer("win-x64", host + "/launchers/Updater-2.0.8.0.exe", digest);
    const std::vector<LauncherOffer> offers = validate_launchers(json::array({good}), manifest_url);
    check.that(offers.size() == 1);
    for (const json& refused : {offer("arm64", good["url"], digest), offer("win-x64", "https://elsewhere.example.vn/a.exe", digest),
                                offer("win-x64", good["url"], "bad")}) {
        check.fails([&] { validate_launchers(json::array({refused}), manifest_url); });
    }
    // The offer for this machine: the running build's architecture, whatever its version.
    const LauncherMetadata running{read_launcher_metadata(current_executable_path()).runtime, 0};
    const LauncherOffer* chosen = newer_offer(offers, running);
    check.that(chosen != nullptr && chosen->runtime == "win-x64");
    return check.count();
}

}  // namespace qorn
