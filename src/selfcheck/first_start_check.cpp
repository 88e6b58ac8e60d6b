#include "selfcheck/self_test.hpp"

#include "core/files.hpp"
#include "core/keys.hpp"
#include "core/sha256.hpp"
#include "release/manifest.hpp"
#include "selfcheck/checker.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
#include "state/state.hpp"
#include "update/apply.hpp"

#include <windows.h>

namespace qorn {
namespace {

const std::wstring manifest_url = L"http://127.0.0.1:12345/api/manifest";

Manifest first_release() {
    const nlohmann::json file = {{"path", "Main.exe"},
                                 {"size", 3},
                                 {"sha256", sha256_hex("abc")},
                                 {"url", "http://127.0.0.1:12345/files/" + sha256_hex("abc")}};
    return manifest_from_json({{"schemaVersion", 1}, {"releaseId", "test-r1"}, {"files", {file}}}, manifest_url);
}

void set_write_time(const std::filesystem::path& path, std::uint64_t ticks) {
    const UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::uint64_t file_time = ticks - file_time_to_ticks;
    const FILETIME when{static_cast<DWORD>(file_time), static_cast<DWORD>(file_time >> 32)};
    require(file.get() != INVALID_HANDLE_VALUE && SetFileTime(file.get(), nullptr, nullptr, &when),
            "Cannot set staged-file test timestamp.");
}

// Stages Main.exe with `body`, applies it with a cache member that claims "abc" at
// the staged file's time plus `shift` ticks, and returns what a quick scan then fetches.
std::size_t apply_staged(const State& state, const Manifest& release, const Manifest* installed,
                         const std::string& body, std::uint64_t shift) {
    const std::filesystem::path staged = staging_path(state, "Main.exe");
    std::filesystem::create_directories(staged.parent_path());
    write_file_atomic(staged, body, state.root());
    const std::uint64_t ticks = file_info(staged).modified_ticks;
    if (shift != 0) set_write_time(staged, ticks + shift);
    const HashCache entries{{"Main.exe", {3, ticks, sha256_hex("abc")}}};
    const Cancel cancel;
    apply(state, release, release.files, installed, manifest_url, cancel, {}, &entries);
    return scan(state, release, false, nullptr, cancel, {}, Stage::checking).size();
}

std::uint32_t check_first_start(const std::filesystem::path& folder) {
    Checker check("First-start assertion ");
    const State state(folder / L"client");
    const Manifest release = first_release();
    const std::filesystem::path main = state.root() / L"Main.exe";
    const Cancel cancel;
    check.that(apply_staged(state, release, nullptr, "abc", 0) == 0);
    check.that(read_hash_cache(state).count("Main.exe") == 1);
    {
        // Trusted from its cache member, a file held without sharing is never opened.
        const UniqueHandle held(
            CreateFileW(main.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        check.that(held.get() != INVALID_HANDLE_VALUE);
        check.that(scan(state, release, false, nullptr, cancel, {}, Stage::checking).empty());
        check.fails([&] { scan(state, release, true, nullptr, cancel, {}, Stage::checking); });
    }
    write_file_atomic(main, "bad", state.root());
    check.that(scan(state, release, false, nullptr, cancel, {}, Stage::checking).size() == 1);

    // A staged file changed after it was recorded is installed but never trusted.
    check.that(apply_staged(state, release, &release, "bad", 10000000) == 1);
    check.that(read_hash_cache(state).count("Main.exe") == 0);

    write_file_atomic(folder / L"Empty", "not a directory", folder);
    check.fails([&] { State{folder / L"Empty"}; });

    // The walk holds every folder it read: none can be renamed away under a running update.
    const std::filesystem::path walked = folder / L"walk";
    std::filesystem::create_directories(walked / L"Data");
    write_file_atomic(walked / L"Data" / L"asset.bin", "asset", folder);
    const ClientFile asset{"Data/asset.bin", 5, sha256_hex("asset"), "", case_key(L"Data/asset.bin")};
    const Inventory inventory = inventory_of(walked, {asset}, cancel);
    check.that(inventory.files_seen == 1);
    check.that(!MoveFileW((walked / L"Data").c_str(), (walked / L"Data-renamed").c_str()));
    return check.count();
}

}  // namespace

std::uint32_t first_start_self_test() {
    return in_scratch_folder(L"qorn-first-start-", "First-start test folder already exists.", &check_first_start);
}

}  // namespace qorn
