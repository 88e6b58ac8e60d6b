#include "ui/ui.hpp"

#include "core/launcher_folder.hpp"
#include "core/text.hpp"
#include "game/game_launch.hpp"
#include "game/game_settings.hpp"
#include "release/urls.hpp"
#include "selfupdate/handoff.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

#include <process.h>

#include <cstdio>

namespace qorn {
namespace {

constexpr UINT_PTR poll_timer = 1;
constexpr UINT game_poll_ms = 500;
constexpr ULONGLONG speed_sample_ms = 750;

std::wstring size_text(std::uint64_t bytes) {
    static constexpr const wchar_t* units[] = {L"KB", L"MB", L"GB"};
    if (bytes < 1024) return std::to_wstring(bytes) + L" B";
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    for (std::uint64_t limit = 1048576; unit < 2 && bytes >= limit; limit <<= 10) {
        value /= 1024;
        ++unit;
    }
    wchar_t text[64];
    std::swprintf(text, 64, L"%.1f %ls", value, units[unit]);
    return text;
}

// The worker thread of one run: nothing leaves it but result, worker_error and, last, worker_done.
unsigned __stdcall run_worker(void* argument) {
    Ui& ui = *static_cast<Ui*>(argument);
    try {
        const ProgressCallback keep = [&ui](const Progress& report) {
            std::lock_guard lock(ui.progress_mutex);
            ui.progress = report;
        };
        ui.result = run_sync(ui.client_folder, ui.manifest_url, ui.full_check, *ui.cancel, keep,
                             ui.skip_launcher_update);
    } catch (const std::exception& failure) {
        try {
            ui.worker_error = to_wide(failure.what());
        } catch (...) {
            ui.worker_error = L"Lỗi không xác định.";
        }
    } catch (...) {
        ui.worker_error = L"Lỗi không xác định.";
    }
    ui.worker_done.exchange(true);
    return 0;
}

void show_error(HWND owner, const std::exception& failure) {
    std::wstring text;
    try {
        text = to_wide(failure.what());
    } catch (...) {
        text = L"Lỗi không xác định.";
    }
    MessageBoxW(owner, text.c_str(), L"QORN.TV", MB_OK | MB_ICONERROR);
}

}  // namespace

std::wstring status_caption(const Progress& progress, double speed) {
    if (progress.stage == Stage::ready) return L"Đã xác nhận client hoàn chỉnh · Bấm VÀO GAME để bắt đầu";
    std::wstring text;
    if (progress.total != 0) {
        text = progress.in_bytes ? size_text(progress.done) + L" / " + size_text(progress.total)
                                 : std::to_wstring(progress.done) + L" / " + std::to_wstring(progress.total) + L" mục";
    }
    if (progress.files_total != 0 && progress.in_bytes) {
        text += L"  ·  " + std::to_wstring(progress.files_done) + L"/" + std::to_wstring(progress.files_total) + L" file";
    }
    if (progress.stage == Stage::downloading) {
        text += L"  ·  " + size_text(static_cast<std::uint64_t>(speed > 0 ? speed : 0)) + L"/s";
    }
    return text.empty() ? L"Đang xử lý…" : text;
}

std::wstring elapsed_text(std::chrono::steady_clock::duration elapsed) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    return std::to_wstring(seconds / 60) + L" phút " + std::to_wstring(seconds % 60) + L" giây";
}

float window_scale(int work_width, int work_height, unsigned dpi) {
    return std::min({(static_cast<float>(work_height) - 24) / design_height,
                     (static_cast<float>(work_width) - 24) / design_width, static_cast<float>(dpi) / 96});
}

Ui::Ui()
    : background(load_embedded_image(101)),
      artwork(load_embedded_image(102)),
      window_mode(load_window_mode()),
      sound(load_sound()),
      client_folder(launcher_folder()),
      manifest_url(default_manifest_url()) {}

Ui::~Ui() {
    if (worker) {
        cancel->cancel();
        WaitForSingleObject(worker.get(), INFINITE);
    }
}

void Ui::begin(bool full) {
    if (busy) return;
    ready = false;
    full_check = full;
    busy = true;
    error_text.clear();
    worker_error.clear();
    result.reset();
    worker_done.exchange(false);
    speed = 0;
    speed_bytes = 0;
    speed_tick = GetTickCount64();
    started_at = std::chrono::steady_clock::now();
    cancel = std::make_unique<Cancel>();
    {
        std::lock_guard lock(progress_mutex);
        progress = {Stage::asking_host, L"Kết nối " + update_host() + L"…", {}, 0, 0, 0, 0, 0, true};
    }
    worker.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, run_worker, this, 0, nullptr)));
    if (!worker) {
        busy = false;
        error_text = L"Không khởi động được luồng cập nhật.";
    }
    update_buttons();
}

void Ui::stop() {
    if (!busy) return;
    cancel->cancel();
    std::lock_guard lock(progress_mutex);
    progress.text = L"Đang dừng và phục hồi dữ liệu, vui lòng chờ…";
}

namespace {

// A hand-over that cannot start is written to the log, and the player goes on with
// this launcher as when another launcher is active.
bool hand_over(const Ui& ui) {
    try {
        return start_launcher_handoff(ui.client_folder, ui.manifest_url, ui.arguments, ui.full_check);
    } catch (const std::exception& failure) {
        write_log(ui.client_folder, std::string("Launcher handoff refused: ") + failure.what());
        return false;
    }
}

}  // namespace

void Ui::on_timer() {
    if (game_process) {
        if (WaitForSingleObject(game_process.get(), 0) != WAIT_TIMEOUT) DestroyWindow(window);
        return;
    }
    bool finished = false;
    if (busy && worker_done.load()) {
        WaitForSingleObject(worker.get(), INFINITE);
        worker.reset();
        busy = false;
        error_text = worker_error;
        ready = result.has_value();
        if (close_requested) {
            DestroyWindow(window);
            return;
        }
        if (ready && result->launcherReady) {
            ready = false;
            if (hand_over(*this)) {
                DestroyWindow(window);
                return;
            }
            skip_launcher_update = true;
            begin(full_check);
            return;
        }
        update_buttons();
        finished = true;
    }
    const ULONGLONG now = GetTickCount64();
    if (now - speed_tick >= speed_sample_ms) {
        std::lock_guard lock(progress_mutex);
        speed = progress.stage == Stage::downloading && progress.extra >= speed_bytes
                    ? static_cast<double>(progress.extra - speed_bytes) * 1000 / static_cast<double>(now - speed_tick)
                    : 0;
        speed_bytes = progress.extra;
        speed_tick = now;
    }
    if (busy || finished) InvalidateRect(window, nullptr, FALSE);
}

void Ui::on_command(int id) {
    if (launching) return;
    try {
        switch (id) {
        case game_button: {
            if (!ready || busy) return;
            launching = true;
            update_buttons();
            try {
                const State state(client_folder);
                const UpdateLock lock = lock_update(state);
                check_ready(state);
                UniqueHandle game = launch_game(client_folder, window_mode, sound, window);
                if (launch_declined(game)) {
                    MessageBoxW(window, L"Đã hủy yêu cầu quyền quản trị. Bấm Vào Game để thử lại.", L"QORN.TV",
                                MB_OK | MB_ICONINFORMATION);
                } else {
                    game_process = std::move(game);
                    ShowWindow(window, SW_HIDE);
                    SetTimer(window, poll_timer, game_poll_ms, nullptr);
                }
            } catch (const std::exception& failure) {
                show_error(window, failure);
            }
            launching = false;
            update_buttons();
            return;
        }
        case check_button:
            return begin(true);
        case window_mode_button:
            save_window_mode(!window_mode);
            window_mode = !window_mode;
            return update_buttons();
        case sound_button:
            save_sound(!sound);
            sound = !sound;
            return update_buttons();
        case stop_button:
            return stop();
        case close_button:
            SendMessageW(window, WM_CLOSE, 0, 0);
            return;
        case minimise_button:
            ShowWindow(window, SW_MINIMIZE);
            return;
        default:
            return;
        }
    } catch (const std::exception& failure) {
        show_error(window, failure);
        update_buttons();
    }
}

void Ui::update_buttons() {
    for (const ButtonEntry& entry : buttons) {
        bool enabled = !launching;
        if (entry.id == game_button) enabled = ready && !launching;
        if (entry.id == check_button) enabled = !busy && !launching;
        if (entry.id == stop_button) enabled = busy && !close_requested && !launching;
        const HWND control = button(entry.id);
        EnableWindow(control, enabled);
        InvalidateRect(control, nullptr, FALSE);
    }
}

void Ui::on_dpi_changed(unsigned dpi) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const int work_width = work.right - work.left, work_height = work.bottom - work.top;
    scale = window_scale(work_width, work_height, dpi);
    const int width = static_cast<int>(design_width * scale), height = static_cast<int>(design_height * scale);
    SetWindowPos(window, nullptr, work.left + (work_width - width) / 2, work.top + (work_height - height) / 2, width,
                 height, SWP_NOZORDER | SWP_NOACTIVATE);
    for (const ButtonEntry& entry : buttons) {
        MoveWindow(button(entry.id), static_cast<int>(entry.x * scale), static_cast<int>(entry.y * scale),
                   static_cast<int>(entry.width * scale), static_cast<int>(entry.height * scale), FALSE);
    }
    InvalidateRect(window, nullptr, FALSE);
}

}  // namespace qorn
