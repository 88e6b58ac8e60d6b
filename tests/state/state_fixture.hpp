// A client folder in a sandbox plus a release built from the files the test
// names, so each case says only what differs.
#pragma once

#include "core/text.hpp"
#include "release/manifest.hpp"
#include "release/manifest_fixture.hpp"
#include "state/state.hpp"
#include "support/sandbox.hpp"

#include <utility>
#include <vector>

namespace qorn::test {

using Bodies = std::vector<std::pair<std::string, std::string>>;  // client path, content

inline Manifest release_of(const Bodies& bodies, const std::vector<std::string>& directories = {}) {
    nlohmann::json files = nlohmann::json::array();
    for (const auto& [path, body] : bodies) files.push_back(file_entry(path, body.size(), body));
    return manifest_from_json(
        {{"schemaVersion", 1}, {"releaseId", "r1"}, {"files", files}, {"directories", directories}}, manifest_url);
}

inline void write_client(const std::filesystem::path& root, const Bodies& bodies) {
    for (const auto& [path, body] : bodies) write_bytes(root / std::filesystem::path(to_wide(path)), body);
}

inline void set_write_time(const std::filesystem::path& path, std::uint64_t file_time) {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FILETIME when{static_cast<DWORD>(file_time), static_cast<DWORD>(file_time >> 32)};
    SetFileTime(file.get(), nullptr, nullptr, &when);
}

}  // namespace qorn::test
