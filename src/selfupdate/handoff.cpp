#include "selfupdate/handoff.hpp"

#include "core/files.hpp"
#include "core/keys.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/urls.hpp"
#include "selfupdate/launcher_update.hpp"
#include "selfupdate/processes.hpp"
#include "state/state.hpp"

#include <objbase.h>

namespace qorn {
namespace {

std::filesystem::path client_updater(const State& state) { return client_path(state.root(), "Updater.exe", true); }

std::vector<std::string> utf8_list(const std::vector<std::wstring>& list) {
    std::vector<std::string> result;
    for (const std::wstring& item : list) result.push_back(to_utf8(item));
    return result;
}

std::string new_token() {
    GUID guid{};
    require(SUCCEEDED(CoCreateGuid(&guid)), "Không tạo được mã giao dịch launcher.");
    return sha256_hex(std::string_view(reinterpret_cast<const char*>(&guid), sizeof guid));
}

LauncherJob prepare_job(const State& state, const std::wstring& manifest_url, const std::vector<std::wstring>& arguments,
                        bool full_check) {
    const nlohmann::json ready = read_json_file(self_update_path(state, "ready.json"));
    const LauncherOffer offer = validate_launchers(nlohmann::json::array({ready}), manifest_url).at(0);
    verify_launcher_file(self_update_path(state, "candidate.exe"), offer);
    const std::filesystem::path running = client_updater(state);
    const LauncherMetadata metadata = read_launcher_metadata(running);
    require(offer.runtime == metadata.runtime && parse_launcher_version(offer.version) > metadata.version,
            "Phiên bản Updater không mới hơn bản hiện tại.");
    LauncherJob job;
    job.token = new_token();
    job.root = path_text(state.root());
    job.endpoint = to_utf8(manifest_url);
    job.offer = offer;
    const Cancel never;
    job.old_hash = sha256_file(running, never);
    job.old_size = file_info(running).size;
    const ProcessIdentity me = this_process();
    job.parent_pid = me.pid;
    job.parent_created = me.created;
    job.restart = utf8_list(arguments);
    job.phase = "prepared";
    job.full_check = full_check;
    restart_arguments(job, false);  // a restart list the worker would refuse is refused now
    return job;
}

}  // namespace

std::optional<int> handle_launcher_arguments(std::vector<std::wstring>& arguments, LauncherFlags& flags) {
    if (!arguments.empty() && arguments[0] == L"--apply-launcher") {
        require(arguments.size() == 3, "Sai tham số thay Updater.");
        return apply_launcher(arguments[1], to_utf8(arguments[2]));
    }
    std::vector<std::wstring> kept;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--skip-launcher-update") {
            flags.skip_launcher_update = true;
        } else if (arguments[i] == L"--full-check") {
            flags.full_check = true;
        } else if (arguments[i] == L"--launcher-ack") {
            require(i + 1 < arguments.size(), "Thiếu mã xác nhận Updater.");
            flags.acknowledgement = to_utf8(arguments[++i]);
            require_sha256(flags.acknowledgement);
        } else {
            kept.push_back(arguments[i]);
        }
    }
    arguments = std::move(kept);
    if (arguments.empty() || arguments[0] == L"--test-ui") recover_launcher_handoff();
    return std::nullopt;
}

std::vector<std::wstring> restart_arguments(const LauncherJob& job, bool rollback) {
    bool valid = job.restart.empty();
    if (job.restart.size() == 3 && job.restart[0] == "--test-ui") {
        try {
            valid = !crack_url(to_wide(job.restart[2])).https;
        } catch (const std::exception&) {
        }
    }
    require(valid, "Tham số mở lại Updater không hợp lệ.");
    std::vector<std::wstring> result;
    for (const std::string& item : job.restart) result.push_back(to_wide(item));
    if (!result.empty()) require(same_file_path(result[1], to_wide(job.root)), "Sai thư mục kiểm thử.");
    if (rollback) {
        result.push_back(L"--skip-launcher-update");
    } else {
        result.push_back(L"--launcher-ack");
        result.push_back(to_wide(job.token));
    }
    if (job.full_check) result.push_back(L"--full-check");
    return result;
}

bool start_launcher_handoff(const std::filesystem::path& client_folder, const std::wstring& manifest_url,
                            const std::vector<std::wstring>& arguments, bool full_check) {
    const State state(client_folder);
    const UpdateLock lock = lock_update(state);
    require(same_file_path(current_executable_path(), client_updater(state)),
            "Tự cập nhật cần chạy đúng Updater.exe trong thư mục client.");
    if (launcher_instance_running(state)) return false;
    const LauncherJob job = prepare_job(state, manifest_url, arguments, full_check);
    const std::filesystem::path worker = self_update_path(state, "worker.exe");
    qorn::copy_file(client_updater(state), worker);
    delete_file(self_update_path(state, "boot-ok.json"));
    write_job(state, job);
    start_process(worker, {L"--apply-launcher", state.root().wstring(), to_wide(job.token)}, state.root(), false);
    return true;
}

void acknowledge_launcher(const std::filesystem::path& client_folder, const std::string& token) {
    const State state(client_folder);
    const std::optional<LauncherJob> job = read_job(state);
    if (!job) return;
    const std::filesystem::path running = current_executable_path();
    require(same_file_path(running, client_updater(state)), "Sai đích xác nhận launcher.");
    require(token.empty() || token == job->token, "Mã xác nhận launcher không khớp.");
    verify_launcher_file(running, job->offer);
    write_boot_token(state, job->token);
    if (!process_alive({job->helper_pid, job->helper_created})) {
        // The worker died before it could clean up after this confirmation.
        for (const char* name : {"job.json", "ready.json", "boot-ok.json"}) delete_file(self_update_path(state, name));
        write_log(state.root(), "Recovered interrupted launcher update; new launcher booted successfully.");
    }
}

void recover_launcher_handoff() {
    const std::filesystem::path running = current_executable_path();
    if (case_key(running.filename().wstring()) != L"UPDATER.EXE") return;
    const State state(running.parent_path());
    std::optional<LauncherJob> job;
    try {
        job = read_job(state);
    } catch (const std::exception& failure) {
        // A job nobody can read can never be finished: it must not keep the launcher from starting.
        delete_file(self_update_path(state, "job.json"));
        write_log(state.root(), std::string("Removed unreadable launcher handoff job: ") + failure.what());
        return;
    }
    const Cancel never;
    if (job && !process_alive({job->helper_pid, job->helper_created}) &&
        file_matches(running, job->old_size, job->old_hash, never)) {
        delete_file(self_update_path(state, "job.json"));
        write_log(state.root(), "Recovered launcher handoff before replacement.");
    }
}

}  // namespace qorn
