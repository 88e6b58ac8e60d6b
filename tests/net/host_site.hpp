// The project's update-host tool (tools/qorn_host.py serve) on 127.0.0.1, started
// from a test program under Wine, serving a site the test writes file by file.
// One host serves a whole test program; it is used from the test thread only.
#pragma once

#include "support/sandbox.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qorn::test {

// Wine's Unix path of a Windows path (empty outside Wine).
std::string unix_path_of(const std::filesystem::path& path);

class HostSite {
public:
    // Starts the server and waits until it listens; fails the test program otherwise.
    HostSite();
    // Asks the server to stop; it ends by itself a little later in any case.
    ~HostSite();
    HostSite(const HostSite&) = delete;
    HostSite& operator=(const HostSite&) = delete;

    std::wstring manifest_url() const;
    // Publishes bytes under files/<sha256>; answers their URL path and their URL.
    std::string add_file(std::string_view bytes);
    std::wstring url(std::string_view path) const;
    // Replaces the whole faults file (written beside, then renamed over it).
    void set_faults(const nlohmann::json& rules);
    // The log entries for a path, once there are at least `count` (or after a while).
    std::vector<nlohmann::json> log_for(std::string_view path, size_t count) const;

private:
    TempFolder work_;
    int port_ = 0;
};

// The host shared by all tests of this program, started on first use.
HostSite& shared_host();

}  // namespace qorn::test
