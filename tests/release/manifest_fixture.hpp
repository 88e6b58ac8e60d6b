// Small valid manifests for tests, built as JSON so each case changes one thing.
#pragma once

#include "core/sha256.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace qorn::test {

inline const std::wstring manifest_url = L"http://127.0.0.1:54321/api/manifest";
inline const std::string host = "http://127.0.0.1:54321";

inline nlohmann::json file_entry(const std::string& path, std::uint64_t size = 3, const std::string& body = "abc") {
    return {{"path", path}, {"size", size}, {"sha256", sha256_hex(body)}, {"url", host + "/files/" + sha256_hex(body)}};
}

inline nlohmann::json valid_manifest() {
    return {{"schemaVersion", 1},
            {"releaseId", "r1"},
            {"files", nlohmann::json::array({file_entry("Main.exe"), file_entry("Data/nhân vật/a.bmd", 4, "abcd")})},
            {"directories", nlohmann::json::array({"Data/Trống"})}};
}

inline nlohmann::json package_entry(const nlohmann::json& files, const std::string& seed = "p1") {
    return {{"url", host + "/packages/" + seed + ".zip"}, {"size", 100}, {"sha256", sha256_hex(seed)}, {"files", files}};
}

}  // namespace qorn::test
