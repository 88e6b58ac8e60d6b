#include "selfupdate/launcher_update.hpp"

#include "core/files.hpp"
#include "core/keys.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "net/download.hpp"
#include "selfupdate/handoff_records.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace qorn {
namespace {

using nlohmann::json;

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

// The launcher offers of this run, recorded in offer.json so that a run without a
// manifest still sees the last offer.
std::vector<LauncherOffer> choose_offers(const State& state, const std::vector<LauncherOffer>* offers,
                                         InstalledRelease& installed, const Network& network) {
    const std::filesystem::path record = self_update_path(state, "offer.json");
    if (offers != nullptr) {
        write_offer_record(state, *offers);
        return *offers;
    }
    if (file_info(record).exists) return validate_launchers(read_json_file(record), network.manifest_url());
    const Manifest* manifest = installed.get();
    std::vector<LauncherOffer> list = manifest != nullptr ? manifest->launchers : std::vector<LauncherOffer>{};
    write_offer_record(state, list);
    return list;
}

// An offer whose installation was rolled back is not retried on its own.
bool failed_before(const State& state, const LauncherOffer& offer) {
    return read_failed_offer(state) == offer.sha256;
}

void download_candidate(const State& state, const LauncherOffer& offer, Network& network,
                        const ProgressCallback& progress) {
    const Reporter report(progress);
    const std::wstring version = to_wide(offer.version);
    std::uint64_t received = 0;
    ByteCallback total;
    if (report.active()) {
        total = [&](std::uint64_t bytes) {
            report.bytes(Stage::downloading, L"Đang tải bản Updater mới…", version,
                         {.done = bytes, .total = offer.size, .extra = received});
        };
    }
    // Counts every byte the network delivered, also those of failed attempts.
    const ByteCallback piece = [&](std::uint64_t bytes) { received += bytes; };
    download_file(network, to_wide(offer.url), self_update_path(state, "candidate.exe"), offer.size, offer.sha256,
                  total, piece);
}

LauncherCheck check_offer(const State& state, const std::vector<LauncherOffer>* offers, InstalledRelease& installed,
                          Network& network, Cancel& cancel, const ProgressCallback& progress, bool retry_failed,
                          const LauncherCalls& calls) {
    const std::vector<LauncherOffer> list = choose_offers(state, offers, installed, network);
    if (list.empty()) return {};
    const LauncherMetadata running = read_launcher_metadata(current_executable_path(calls.module_path));
    const LauncherOffer* offer = newer_offer(list, running);
    if (offer == nullptr) return {};
    if (launcher_instance_running(state, calls.processes)) return {false, other_instance_text};
    if (!retry_failed && failed_before(state, *offer)) return {false, failed_before_text};
    // Room for the candidate and the copies the hand-off makes of the launchers, plus a margin.
    require_disk_space(state.root(),
                       add_size(add_size(offer->size, offer->size), add_size(offer->size, disk_space_margin)));
    download_candidate(state, *offer, network, progress);
    Reporter(progress).bytes(Stage::verifying, L"Kiểm tra Updater mới…", {}, {.total = 1});
    verify_launcher_file(self_update_path(state, "candidate.exe"), *offer, cancel);
    write_state_json(state, "self-update/ready.json", launcher_offer_json(*offer), JsonStyle::compact);
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

void write_offer_record(const State& state, const std::vector<LauncherOffer>& offers) {
    write_state_json(state, "self-update/offer.json", launcher_offers_json(offers), JsonStyle::compact);
}

const LauncherOffer* newer_offer(const std::vector<LauncherOffer>& offers, const LauncherMetadata& running) {
    for (const LauncherOffer& offer : offers) {
        if (offer.runtime == running.runtime && parse_launcher_version(offer.version) > running.version) return &offer;
    }
    return nullptr;
}

bool launcher_instance_running(const State& state, const ProcessCalls& calls) {
    // Immediate: without a Cancel a running game fails at once.
    ensure_game_closed(state.root(), nullptr, {}, calls);
    const UniqueHandle snapshot(calls.snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        const DWORD code = GetLastError();
        throw_windows_error("Không kiểm tra được launcher khác", code);
    }
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

LauncherCheck prepare_launcher(State& state, const std::vector<LauncherOffer>* offers, InstalledRelease& installed,
                               Network& network, Cancel& cancel, const ProgressCallback& progress, bool retry_failed,
                               const LauncherCalls& calls) {
    try {
        return check_offer(state, offers, installed, network, cancel, progress, retry_failed, calls);
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
