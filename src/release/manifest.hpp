// The release manifest: parsed strictly and validated whole, so that nothing of a
// manifest that breaks a rule is ever used. Values are plain and copied freely;
// the functions are stateless and safe on any thread.
#pragma once

#include "release/launcher_offer.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorn {

inline constexpr std::uint64_t manifest_text_limit = 67108864;  // 64 MiB
inline constexpr size_t manifest_file_limit = 200000;

struct ClientFile {
    std::string path;  // client path exactly as the manifest writes it
    std::uint64_t size = 0;
    std::string sha256;
    std::string url;   // UTF-8: a release holds up to 200,000 of them
    std::wstring key;  // case key of the path, for every comparison of names
};

struct Package {
    std::wstring url;
    std::uint64_t size = 0;
    std::string sha256;
    std::vector<std::string> files;  // client paths, in document order
};

// Only what the launcher uses of a manifest: the file list is read entry by entry and
// the rest of the document is dropped once it is validated, as a release's whole
// document takes several times its text in memory and an update holds two manifests.
struct Manifest {
    std::string text;  // the parsed text, byte for byte
    std::string releaseId;
    std::string sha256;  // digest of text
    std::vector<ClientFile> files;
    std::vector<std::string> directories;
    std::vector<Package> packages;
    std::vector<LauncherOffer> launchers;
};

// Whether the files keep their download URLs, or only have them checked (a record of
// what is installed, from which nothing is fetched).
enum class FileUrls { kept, checked_only };

// Throws on the first broken rule; every URL must be on the manifest URL's host.
Manifest parse_manifest(std::string text, std::wstring_view manifest_url, FileUrls urls = FileUrls::kept);
// The manifest of a value's compact UTF-8 text.
Manifest manifest_from_json(const nlohmann::json& value, std::wstring_view manifest_url);
// The files of the installed release that the next one no longer has (compared by
// case key), in the installed release's order: what an update removes.
std::vector<ClientFile> files_dropped_by(const Manifest& next, const Manifest& installed);

// The release id at the start of a possibly incomplete manifest, once it is known
// to be schema 1; nothing otherwise.
std::optional<std::string> prefix_release(std::string_view text);

}  // namespace qorn
