// The largest records a release allows, written and read back by the launcher's
// own writers and readers: the hash cache of 200,000 files with 230-unit
// Vietnamese paths, the journal of an update between two such releases (400,000
// operations) over a 64 MiB installed manifest, and offer.json with two offers of
// 16 MiB addresses. Each is set against a plain write and read of the same bytes.
// "write FOLDER" and "read FOLDER" run in separate processes so that the read's
// peak working set holds only what reading builds.
#include "bench_support.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/manifest.hpp"
#include "selfupdate/launcher_update.hpp"
#include "state/records.hpp"
#include "update/journal.hpp"

#include <cstdio>
#include <string>

using nlohmann::json;
using qorn::bench::seconds_now;

namespace {

const std::wstring manifest_url = L"https://update.qorn.tv/api/manifest";
constexpr size_t files = 200000;

// 230 UTF-16 units of Vietnamese letters, unique per index.
std::string long_path(size_t i, char release) {
    std::wstring path = L"Dữ liệu " + std::wstring(1, release) + L"/" + std::to_wstring(i) + L" ";
    while (path.size() < 230) path += L"ệ";
    return qorn::to_utf8(path);
}

// A manifest of 200,000 files whose text is just under 64 MiB (paths as long as fit).
std::string largest_manifest() {
    json list = json::array();
    const std::string digest = qorn::sha256_hex("body");
    for (size_t i = 0; i < files; ++i) {
        std::string path = i == 0 ? "Main.exe" : "Dữ liệu/" + std::to_string(i) + " " + std::string(60, 'x');
        list.push_back({{"path", path}, {"size", i}, {"sha256", digest}, {"url", "https://update.qorn.tv/f/" + digest}});
    }
    std::string text = json{{"schemaVersion", 1}, {"releaseId", "r1"}, {"files", list}}.dump();
    if (text.size() + 20 > qorn::manifest_text_limit) throw std::runtime_error("the file list alone passes 64 MiB");
    text.insert(text.size() - 1, ",\"pad\":\"" + std::string(qorn::manifest_text_limit - text.size() - 10, 'p') + "\"");
    return text;
}

std::string row(const char* record, double own, double reference) {
    return "| " + std::string(record) + " | " + qorn::bench::fixed(own, 2) + " s | " +
           qorn::bench::fixed(reference, 2) + " s | " + qorn::bench::fixed(own / reference, 2) + " |\n";
}

// The same bytes written and read without the record's own work.
double plain_write(const std::filesystem::path& path) {
    const std::string bytes = qorn::read_file_limited(path, 1ULL << 31);
    const double start = seconds_now();
    qorn::write_file_atomic(path.wstring() + L".plain", bytes, path.parent_path());
    return seconds_now() - start;
}

int write_records(const qorn::State& state) {
    std::string table;
    qorn::HashCache cache;
    const std::string digest = qorn::sha256_hex("body");
    for (size_t i = 0; i < files; ++i) cache[long_path(i, 'A')] = {i, 638000000000000000ULL + i, digest};
    double start = seconds_now();
    qorn::write_hash_cache(state, cache);
    table += row("hash-cache.json", seconds_now() - start, plain_write(state.file("hash-cache.json")));

    const qorn::Manifest previous = qorn::parse_manifest(largest_manifest(), manifest_url);
    std::vector<qorn::JournalOperation> operations;
    for (size_t i = 0; i < 2 * files; ++i) operations.push_back({long_path(i, 'B'), true, i % 2 == 0});
    start = seconds_now();
    qorn::write_journal(state, operations, &previous, false);
    table += row("journal.json", seconds_now() - start, plain_write(state.file("journal.json")));

    const std::string url = "https://update.qorn.tv/launchers/a.exe?" + std::string(16 << 20, 'q');
    const std::vector<qorn::LauncherOffer> offers = {{"win-x64", "2.0.9.0", 1, digest, url},
                                                     {"win-x86", "2.0.9.0", 1, digest, url}};
    start = seconds_now();
    qorn::write_offer_record(state, offers);
    table += row("self-update/offer.json", seconds_now() - start, plain_write(state.file("self-update/offer.json")));
    std::printf("%s", table.c_str());
    return 0;
}

double plain_read(const std::filesystem::path& path) {
    const double start = seconds_now();
    const std::string bytes = qorn::read_file_limited(path, 1ULL << 31);
    return seconds_now() - start;
}

int read_records(const qorn::State& state) {
    std::string table;
    double start = seconds_now();
    const size_t members = qorn::read_hash_cache(state).size();
    table += row("hash-cache.json", seconds_now() - start, plain_read(state.file("hash-cache.json")));
    start = seconds_now();
    const size_t operations = qorn::read_journal(state)->operations.size();
    table += row("journal.json", seconds_now() - start, plain_read(state.file("journal.json")));
    const std::filesystem::path offer = state.file("self-update/offer.json");
    start = seconds_now();
    const size_t offers = qorn::validate_launchers(qorn::read_json_file(offer), manifest_url).size();
    table += row("self-update/offer.json", seconds_now() - start, plain_read(offer));
    std::printf("%s\nRead back: %zu cache members, %zu operations, %zu offers; sizes %s, %s, %s; "
                "peak working set of the reading process %s.\n",
                table.c_str(), members, operations, offers,
                qorn::bench::mib(qorn::file_info(state.file("hash-cache.json")).size).c_str(),
                qorn::bench::mib(qorn::file_info(state.file("journal.json")).size).c_str(),
                qorn::bench::mib(qorn::file_info(offer).size).c_str(),
                qorn::bench::mib(qorn::bench::peak_working_set()).c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc != 3) throw std::runtime_error("usage: records_bench write|read FOLDER");
        const qorn::State state(argv[2]);
        return std::wstring(argv[1]) == L"write" ? write_records(state) : read_records(state);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "records_bench: %s\n", failure.what());
        return 1;
    }
}
