#include "selfupdate/launcher_update.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "net/download.hpp"
#include "release/client_path.hpp"
#include "selfupdate/launcher_offers.hpp"
#include "state/records.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace qorn {
namespace {

using nlohmann::json;

constexpr std::uint64_t offer_record_limit = 8192;
constexpr std::uint64_t disk_space_margin = 67108864;
constexpr DWORD query_and_wait = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD image_path_capacity = 32768;

constexpr wchar_t other_instance_text[] = L"Có Updater mới — sẽ thay khi đóng game/launcher khác.";
constexpr wchar_t failed_before_text[] = L"Đã phục hồi Updater cũ. Bấm Kiểm tra lại để thử cập nhật launcher.";
constexpr wchar_t ready_text[] = L"Khởi động lại để áp dụng Updater mới…";
constexpr wchar_t stay_text[] = L"Chưa cập nhật được Updater — vẫn dùng bản hiện tại; chi tiết trong launcher.log.";

// Whether a listed Updater.exe process is alive and started from the client folder.
bool runs_from(const std::filesystem::path& folder, DWORD process_id, const ProcessCalls& calls) {
    // Processes we may not open (protected, already gone) are not counted.
    const UniqueHandle process(calls.open(query_and_wait, FALSE, process_id));
    if (!process || calls.wait(process.get(), 0) != WAIT_TIMEOUT) return false;
    std::wstring image(image_path_capacity, L'\0');
    DWORD length = image_path_capacity;
    if (!calls.image_path(process.get(), 0, image.data(), &length)) return false;
    image.resize(std::min(length, image_path_capacity));
    return same_file_path(std::filesystem::path(image).parent_path(), folder);
}

// The launchers list of this run, recorded in offer.json so that a run without a
// manifest still sees the last offer.
json choose_list(const State& state, const json* launchers, const Network& network) {
    const std::filesystem::path record = self_update_path(state, "offer.json");
    if (launchers != nullptr) {
        write_json_file(record, *launchers);
        return *launchers;
    }
    if (file_info(record).exists) return json::parse(read_file_limited(record, offer_record_limit));
    const std::optional<Manifest> installed = read_installed(state, network.manifest_url());
    json list = installed ? installed->launchers : json::array();
    write_json_file(record, list);
    return list;
}

// The first entry for the running architecture that is newer than the running build.
const json* newer_offer(const json& list, const LauncherMetadata& running) {
    for (const json& entry : list) {
        if (entry.at("runtime").get<std::string>() != running.runtime) continue;
        if (parse_launcher_version(entry.at("version").get<std::string>()) <= running.version) continue;
        return &entry;
    }
    return nullptr;
}

// An offer whose installation was rolled back is not retried on its own.
bool failed_before(const State& state, const json& offer) {
    const std::filesystem::path record = self_update_path(state, "failed.json");
    return file_info(record).exists && read_json_file(record).at("sha256") == offer.at("sha256");
}

Progress progress_at(Stage stage, const wchar_t* text) {
    Progress progress;
    progress.stage = stage;
    progress.text = text;
    progress.in_bytes = true;
    return progress;
}

void download_candidate(const State& state, const json& offer, Network& network, const ProgressCallback& progress) {
    const auto size = offer.at("size").get<std::uint64_t>();
    const std::wstring version = to_wide(offer.at("version").get<std::string>());
    std::uint64_t received = 0;
    ByteCallback total;
    if (progress) {
        total = [&](std::uint64_t bytes) {
            Progress downloading = progress_at(2, L"Đang tải bản Updater mới…");
            downloading.detail = version;
            downloading.done = bytes;
            downloading.total = size;
            downloading.extra = received;
            progress(downloading);
        };
    }
    // Counts every byte the network delivered, also those of failed attempts.
    const ByteCallback piece = [&](std::uint64_t bytes) { received += bytes; };
    download_file(network, to_wide(offer.at("url").get<std::string>()), self_update_path(state, "candidate.exe"), size,
                  offer.at("sha256").get<std::string>(), total, piece);
}

LauncherCheck check_offer(const State& state, const json* launchers, Network& network, Cancel& cancel,
                          const ProgressCallback& progress, bool retry_failed, const LauncherCalls& calls) {
    const json list = choose_list(state, launchers, network);
    validate_launchers(list, network.manifest_url());
    if (list.empty()) return {};
    const LauncherMetadata running = read_launcher_metadata(current_executable_path(calls.module_path));
    const json* offer = newer_offer(list, running);
    if (offer == nullptr) return {};
    if (launcher_instance_running(state, calls.processes)) return {false, other_instance_text};
    if (!retry_failed && failed_before(state, *offer)) return {false, failed_before_text};
    // Room for the candidate and the copies the hand-off makes of the launchers, plus a margin.
    const auto size = offer->at("size").get<std::uint64_t>();
    require_disk_space(state.root(), add_size(add_size(size, size), add_size(size, disk_space_margin)));
    download_candidate(state, *offer, network, progress);
    if (progress) {
        Progress checking = progress_at(4, L"Kiểm tra Updater mới…");
        checking.total = 1;
        progress(checking);
    }
    const std::filesystem::path candidate = self_update_path(state, "candidate.exe");
    verify_launcher_file(candidate, *offer, cancel);
    write_json_file(self_update_path(state, "ready.json"), *offer);
    return {true, ready_text};
}

}  // namespace

const LauncherCalls& system_launcher_calls() {
    static const LauncherCalls calls{&::GetModuleFileNameW, system_process_calls()};
    return calls;
}

std::filesystem::path self_update_path(const State& state, std::string_view name) {
    return state.file("self-update/" + std::string(name));
}

bool launcher_instance_running(const State& state, const ProcessCalls& calls) {
    // Immediate: without a Cancel a running game fails at once.
    ensure_game_closed(state.root(), nullptr, {}, calls);
    const UniqueHandle snapshot(calls.snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) throw_windows_error("Không kiểm tra được launcher khác", GetLastError());
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    require(calls.first(snapshot.get(), &entry) != FALSE, "Không đọc được tiến trình launcher.");
    const DWORD own_id = calls.own_id();
    do {
        if (entry.th32ProcessID == own_id || case_key(entry.szExeFile) != L"UPDATER.EXE") continue;
        if (runs_from(state.root(), entry.th32ProcessID, calls)) return true;
    } while (calls.next(snapshot.get(), &entry));
    return false;
}

LauncherCheck prepare_launcher(State& state, const json* launchers, Network& network, Cancel& cancel,
                               const ProgressCallback& progress, bool retry_failed, const LauncherCalls& calls) {
    try {
        return check_offer(state, launchers, network, cancel, progress, retry_failed, calls);
    } catch (const Cancelled&) {
        throw;
    } catch (const std::exception& failure) {
        // A failure that a stop caused (a closed request, an interrupted read) is the stop.
        cancel.check();
        write_log(state.root(), std::string("Launcher update: ") + failure.what());
        return {false, stay_text};
    }
}

}  // namespace qorn
