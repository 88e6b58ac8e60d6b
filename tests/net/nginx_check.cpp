// Talks to a real nginx serving a published site (started by nginx_download.py):
// the release question, the manifest, and a download resumed from a partial file.
// Usage: nginx_check.exe MANIFEST_URL WORK_FOLDER. Prints one line per check and
// exits 0 when every check held, 1 otherwise.
#include "core/cancel.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/download.hpp"
#include "net/manifest_fetch.hpp"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

using namespace qorn;

int failures = 0;

void check(bool held, const std::string& what) {
    std::printf("%s %s\n", held ? "ok" : "FAILED", what.c_str());
    if (!held) ++failures;
}

void run(const std::wstring& manifest_url, const std::filesystem::path& work) {
    Cancel cancel;
    Network network(manifest_url, cancel);
    const Manifest manifest = fetch_manifest(network);
    check(manifest.releaseId == "nginx1", "manifest of release " + manifest.releaseId);

    const nlohmann::json record = {{"releaseId", manifest.releaseId}, {"manifestSha256", manifest.sha256}};
    const auto head =
        network.request(manifest_url, L"HEAD", L"If-None-Match: \"" + to_wide(manifest.sha256) + L"\"\r\n", 5000);
    check(head->status() == 304, "HEAD with the manifest's entity tag answered " + std::to_string(head->status()));
    check(release_is_current(network, record), "the recorded release is current");
    const nlohmann::json older = {{"releaseId", manifest.releaseId}, {"manifestSha256", sha256_hex("older")}};
    check(!release_is_current(network, older), "another manifest digest is not current (ETag compared)");

    const auto largest = std::max_element(manifest.files.begin(), manifest.files.end(),
                                          [](const ClientFile& a, const ClientFile& b) { return a.size < b.size; });
    const std::filesystem::path whole = work / L"whole.bin";
    download_file(network, largest->url, whole, largest->size, largest->sha256, {}, {});
    check(file_matches(whole, largest->size, largest->sha256, cancel), "whole download of " + largest->path);

    // The first 60 % on disk: only the rest may come over the wire.
    const std::uint64_t kept = largest->size * 6 / 10;
    const std::filesystem::path partial = work / L"partial.bin";
    write_file_atomic(partial, read_file_limited(whole, largest->size).substr(0, kept));
    std::uint64_t first_total = ~0ULL;
    std::uint64_t received = 0;
    download_file(
        network, largest->url, partial, largest->size, largest->sha256,
        [&](std::uint64_t total) { first_total = std::min(first_total, total); },
        [&](std::uint64_t piece) { received += piece; });
    check(first_total == kept && received == largest->size - kept,
          "resumed at " + std::to_string(first_total) + " and received " + std::to_string(received));
    check(file_matches(partial, largest->size, largest->sha256, cancel), "resumed file verified");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: nginx_check.exe MANIFEST_URL WORK_FOLDER\n", stderr);
        return 2;
    }
    try {
        run(argv[1], argv[2]);
    } catch (const std::exception& failure) {
        std::printf("FAILED %s\n", failure.what());
        return 1;
    }
    return failures == 0 ? 0 : 1;
}
