#include "selfcheck/self_test.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "release/client_path.hpp"
#include "release/manifest.hpp"
#include "release/urls.hpp"
#include "selfcheck/checker.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"
#include "state/state.hpp"
#include "update/apply.hpp"
#include "update/journal.hpp"

#include <limits>
#include <string>
#include <vector>

namespace qorn {
namespace {

using nlohmann::json;

const std::wstring local_manifest_url = L"http://127.0.0.1:54321/api/manifest";

json one_file_manifest(const std::vector<std::string>& paths) {
    json files = json::array();
    for (const std::string& path : paths) {
        files.push_back({{"path", path},
                         {"size", 3},
                         {"sha256", sha256_hex("abc")},
                         {"url", "http://127.0.0.1:54321/files/" + sha256_hex("abc")}});
    }
    return {{"schemaVersion", 1}, {"releaseId", "r1"}, {"files", files}};
}

}  // namespace

const std::vector<std::string>& refused_client_paths() {
    static const std::vector<std::string> paths = {
        "../Main.exe", "C:/Main.exe", "Data//a", "Data/a.", "Data/a ", "CON.txt", "A/NUL", "COM\xC2\xB9.txt",
        "a:b", "a\\b", ".qorn-launcher/a", "Updater.exe", "Data/../a"};
    return paths;
}

void check_native_rules(Checker& check, const std::vector<std::string>& refused) {
    check.that(sha256_hex("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string mixed = "Nhân vật MU/漢字";
    check.that(to_utf8(to_wide(mixed)) == mixed);
    for (const std::string& path : refused) check.fails([&] { require_client_path(path, false); });
    require_client_path("Data/nhân vật/a.bmd", false);  // a refusal is the run's failure, in the rule's words
    check.fails([] { crack_url(L"http://update.example.vn/api/manifest"); });
    check.fails([] { crack_url(L"https://user:secret@" + update_host() + L"/api/manifest"); });
    check.fails([] { require_same_host(L"https://elsewhere.example.vn/a.exe", default_manifest_url()); });
    check.that(crack_url(L"https://" + update_host()).path == L"/");
    check.that(prefix_release(R"({"schemaVersion":1,"releaseId":"r1","files":[)") == "r1");
    check.that(manifest_from_json(one_file_manifest({"Main.exe"}), local_manifest_url).files.size() == 1);
    check.fails([] { manifest_from_json(one_file_manifest({"Main.exe", "MAIN.exe"}), local_manifest_url); });
}

namespace {

void check_client(Checker& check, const std::filesystem::path& folder) {
    const State state(folder);
    const Cancel cancel;
    check.fails([&] { require_disk_space(state.root(), std::numeric_limits<std::int64_t>::max()); });
    check.fails([] { add_size(std::numeric_limits<std::int64_t>::max(), 1); });

    const Manifest manifest = manifest_from_json(one_file_manifest({"Main.exe"}), local_manifest_url);
    const std::filesystem::path main = state.root() / L"Main.exe";
    write_file_atomic(main, "abc", state.root());
    write_state_file(state, "installed.json", manifest.text);
    check.that(scan(state, manifest, true, nullptr, cancel, {}, Stage::checking).empty());
    write_verified(state, manifest);
    check_ready(state);
    check.that(true);

    write_file_atomic(main, "bad", state.root());
    check.that(scan(state, manifest, true, nullptr, cancel, {}, Stage::checking).size() == 1);

    std::filesystem::create_directories(state.file("transaction/backup"));
    write_state_file(state, "transaction/backup/Main.exe", "abc");
    write_journal(state, {{"Main.exe", true, false}}, &manifest, false);
    recover_transaction(state, local_manifest_url, {}, Stage::cleaning);
    check.that(read_file_limited(main, 16) == "abc");
    check.fails([&] { check_ready(state); });
    check.that(file_info(state.file("backup-last/Main.exe")).exists);
    check.that(read_hash_cache(state).empty());

    const UpdateLock lock = lock_update(state);
    check.fails([&] { lock_update(state); });
}

}  // namespace

std::uint32_t native_self_test() {
    Checker check("Native self-test assertion ");
    check_native_rules(check);
    return in_scratch_folder(L"qorn-native-test-", "Self-test folder already exists.",
                             [&](const std::filesystem::path& folder) {
                                 check_client(check, folder);
                                 return check.count();
                             });
}

int self_test(const std::function<void(std::string_view)>& print) {
    std::uint32_t total = native_self_test();
    for (const auto suite : {&first_start_self_test, &shortcut_self_test, &game_launch_self_test,
                             &self_update_self_test}) {
        total += suite();
    }
    print("Native assertions passed: " + std::to_string(total));
    return 0;
}

}  // namespace qorn
