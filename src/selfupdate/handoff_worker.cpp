// The worker of a launcher hand-over (worker.exe --apply-launcher): waits for the old
// launcher to exit, swaps the verified candidate in, starts it and waits for its
// confirmation; anything failing from the wait on puts the old launcher back.
#include "selfupdate/handoff.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/client_path.hpp"
#include "release/urls.hpp"
#include "selfupdate/launcher_update.hpp"
#include "selfupdate/processes.hpp"
#include "state/state.hpp"

#include <algorithm>

namespace qorn {
namespace {

constexpr DWORD query_and_wait = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD parent_exit_ms = 30000;
constexpr ULONGLONG confirmation_ms = 15000;
constexpr DWORD close_wait_ms = 5000;

bool matches(const std::filesystem::path& file, const LauncherJob& job) {
    const Cancel never;
    return file_matches(file, job.old_size, job.old_hash, never);
}

class Swap {
public:
    Swap(const State& state, LauncherJob job, const ProcessCalls& calls)
        : state_(state), job_(std::move(job)), calls_(calls), updater_(client_path(state.root(), "Updater.exe", true)),
          previous_(self_update_path(state, "Updater.previous.exe")) {}

    int run() {
        wait_for_parent();
        UpdateLock lock = lock_update(state_);
        if (launcher_instance_running(state_, calls_)) {
            delete_file(self_update_path(state_, "job.json"));
            start_process(updater_, restart_arguments(job_, true), state_.root(), true);
            return 0;
        }
        verify_launcher_file(self_update_path(state_, "candidate.exe"), job_.offer);
        require(matches(updater_, job_), "Updater gốc đã thay đổi trong lúc bàn giao.");
        install();
        job_.phase = "installed";
        write_job(state_, job_);
        lock.reset();
        launcher_ = start_process(updater_, restart_arguments(job_, false), state_.root(), true);
        await_confirmation();
        for (const char* name : {"failed.json", "ready.json", "job.json", "boot-ok.json"}) {
            delete_file(self_update_path(state_, name));
        }
        write_log(state_.root(), "Launcher self-update completed: " + job_.offer.version);
        return 0;
    }

    int roll_back(const std::string& failure) noexcept {
        write_log(state_.root(), "Launcher apply/rollback: " + failure);
        try {
            write_failed_offer(state_, job_.offer.sha256);
            if (replaced_) restore();
            for (const char* name : {"job.json", "ready.json"}) delete_file(self_update_path(state_, name));
            start_process(updater_, restart_arguments(job_, true), state_.root(), true);
        } catch (const std::exception& rollback_failure) {
            write_log(state_.root(), rollback_failure.what());
            std::wstring text = L"Không phục hồi được Updater cũ.";
            try {
                text = to_wide(rollback_failure.what());
            } catch (...) {
            }
            MessageBoxW(nullptr, text.c_str(), L"QORN.TV — Phục hồi Updater", MB_OK | MB_ICONERROR);
        }
        return 1;
    }

private:
    // The old launcher must have exited; a process with its id but another creation
    // time is somebody else.
    void wait_for_parent() {
        const UniqueHandle parent(calls_.open(query_and_wait, FALSE, job_.parent_pid));
        if (!parent) {
            const DWORD code = GetLastError();
            require(code == ERROR_INVALID_PARAMETER, "Không xác nhận được launcher cũ đã thoát.");
            return;  // gone
        }
        require(creation_time(parent.get(), calls_) == job_.parent_created, "PID launcher cũ đã được dùng lại.");
        if (calls_.wait(parent.get(), 0) != WAIT_TIMEOUT) return;
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        const bool read = calls_.image_path(parent.get(), 0, image.data(), &length) != FALSE;
        image.resize(read ? std::min<DWORD>(length, 32767) : 0);
        require(read && same_file_path(image, updater_), "Tiến trình bàn giao không phải Updater của client này.");
        require(calls_.wait(parent.get(), parent_exit_ms) == WAIT_OBJECT_0,
                "Launcher cũ chưa thoát. Hãy đóng launcher rồi mở lại.");
    }

    // A copy of the old launcher first, then one move of the new one over it: at every
    // moment the client folder holds a whole Updater.exe, the old or the new.
    void install() {
        delete_file(previous_);
        qorn::copy_file(updater_, previous_);
        const std::filesystem::path candidate = self_update_path(state_, "candidate.exe");
        if (!MoveFileExW(candidate.c_str(), updater_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không thay được Updater. Kiểm tra quyền ghi hoặc launcher khác còn chạy", code);
        }
        replaced_ = true;
    }

    void await_confirmation() {
        const ULONGLONG deadline = GetTickCount64() + confirmation_ms;
        for (;;) {
            const bool ended = WaitForSingleObject(launcher_.get(), 100) == WAIT_OBJECT_0;
            std::optional<std::string> token;
            try {
                token = read_boot_token(state_);
            } catch (const std::exception&) {
                // not written whole yet
            }
            if (token == job_.token) return;
            require(!ended && GetTickCount64() < deadline, "Updater mới không xác nhận khởi động thành công.");
        }
    }

    void close_new_launcher() {
        if (!launcher_ || WaitForSingleObject(launcher_.get(), 0) != WAIT_TIMEOUT) return;
        const DWORD pid = GetProcessId(launcher_.get());
        EnumWindows(
            [](HWND window, LPARAM wanted) -> BOOL {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == static_cast<DWORD>(wanted)) PostMessageW(window, WM_CLOSE, 0, 0);
                return TRUE;
            },
            static_cast<LPARAM>(pid));
        require(WaitForSingleObject(launcher_.get(), close_wait_ms) == WAIT_OBJECT_0,
                "Updater mới chưa phản hồi. Đóng Updater rồi khôi phục Updater.previous.exe trong self-update.");
    }

    void restore() {
        close_new_launcher();
        const UpdateLock lock = lock_update(state_);
        bool active = true;
        try {
            active = launcher_instance_running(state_, calls_);
        } catch (const std::exception&) {
            // the game runs: just as much a reason to wait
        }
        require(!active, "Chờ đóng game/launcher trước khi phục hồi Updater.");
        require(matches(previous_, job_), "Bản sao lưu Updater không hợp lệ.");
        const std::filesystem::path failed = self_update_path(state_, "Updater.failed.exe");
        delete_file(failed);
        qorn::copy_file(updater_, failed);
        if (!MoveFileExW(previous_.c_str(), updater_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không phục hồi được Updater cũ", code);
        }
    }

    const State& state_;
    LauncherJob job_;
    const ProcessCalls& calls_;
    std::filesystem::path updater_, previous_;
    bool replaced_ = false;
    UniqueHandle launcher_;
};

}  // namespace

int apply_launcher(const std::filesystem::path& client_folder, const std::string& token, const ProcessCalls& calls) {
    require_sha256(token);
    const State state(client_folder);
    const std::filesystem::path worker = current_executable_path();
    require(same_file_path(worker, self_update_path(state, "worker.exe")), "Sai vị trí chương trình thay launcher.");
    std::optional<LauncherJob> job = read_job(state);
    require(job && job->token == token && same_file_path(to_wide(job->root), state.root()),
            "Giao dịch launcher không khớp.");
    const std::wstring endpoint = to_wide(job->endpoint);
    crack_url(endpoint);
    validate_launchers(nlohmann::json::array({launcher_offer_json(job->offer)}), endpoint);
    require_sha256(job->old_hash);
    require(matches(worker, *job), "Chương trình thay launcher không khớp bản đang chạy.");
    const ProcessIdentity me = this_process(calls);
    job->helper_pid = me.pid;
    job->helper_created = me.created;
    write_job(state, *job);
    Swap swap(state, std::move(*job), calls);
    try {
        return swap.run();
    } catch (const std::exception& failure) {
        return swap.roll_back(failure.what());
    }
}

}  // namespace qorn
