// The launcher window's controller: one update run at a time on a worker thread,
// its progress shown on the window, and "VÀO GAME" once the folder is confirmed.
// The window thread owns every field but `progress` and the speed fields (guarded
// by progress_mutex, written by the worker's callback) and `worker_done` (atomic).
#pragma once

#include "core/cancel.hpp"
#include "core/progress.hpp"
#include "core/unique_handle.hpp"
#include "selfupdate/handoff.hpp"
#include "sync/sync.hpp"
#include "ui/embedded_image.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qorn {

// The seven owner-drawn buttons, in the order of creation, navigation, layout and enabling.
struct ButtonEntry {
    int id;
    const wchar_t* text;
    float x, y, width, height;  // design units
    bool initially_disabled;
};
inline constexpr int game_button = 201, check_button = 202, window_mode_button = 203, sound_button = 207,
                     stop_button = 204, close_button = 205, minimise_button = 206;
inline constexpr ButtonEntry buttons[] = {
    {game_button, L"VÀO GAME", 704, 440, 224, 60, true},
    {check_button, L"Kiểm tra lại", 32, 494, 128, 30, true},
    {window_mode_button, L"Window — Chế độ cửa sổ", 704, 405, 224, 26, false},
    {sound_button, L"Âm thanh game", 704, 373, 224, 26, false},
    {stop_button, L"Dừng", 168, 494, 66, 30, true},
    {close_button, L"×", 916, 8, 32, 28, false},
    {minimise_button, L"—", 880, 8, 32, 28, false},
};
inline constexpr float design_width = 960, design_height = 560;

struct Ui {
    HWND window = nullptr;
    float scale = 1.0f;
    EmbeddedImage background;
    EmbeddedImage artwork;
    Progress progress{Stage::asking_host, {}, {}, 0, 0, 0, 0, 0, true};
    std::mutex progress_mutex;
    UniqueHandle worker;
    std::unique_ptr<Cancel> cancel = std::make_unique<Cancel>();
    UniqueHandle game_process;
    std::atomic<bool> worker_done{false};
    std::optional<SyncResult> result;
    std::wstring error_text;
    std::wstring worker_error;
    bool busy = false;
    bool launching = false;
    bool skip_launcher_update = false;
    bool full_check = false;
    std::vector<std::wstring> arguments;
    bool ready = false;
    bool close_requested = false;
    bool window_mode = true;
    bool sound = true;
    std::chrono::steady_clock::time_point started_at = std::chrono::steady_clock::now();
    double speed = 0;
    std::uint64_t speed_bytes = 0;
    std::uint64_t speed_tick = 0;
    std::filesystem::path client_folder;
    std::wstring manifest_url;

    // Reads the two pictures, the game settings, the launcher's folder and the default manifest URL.
    Ui();
    Ui(const Ui&) = delete;
    Ui& operator=(const Ui&) = delete;
    ~Ui();

    void begin(bool full);
    void stop();
    void on_timer();
    void on_command(int id);
    void update_buttons();
    void on_dpi_changed(unsigned dpi);
    HWND button(int id) const { return GetDlgItem(window, id); }
};

// The window mode (also --test-ui and --preview) with the process's flags of the
// command line; the process exit code.
int run_window(const std::vector<std::wstring>& arguments, const LauncherFlags& flags);

// The counter line under the progress bar.
std::wstring status_caption(const Progress& progress, double speed);
// "3 phút 7 giây".
std::wstring elapsed_text(std::chrono::steady_clock::duration elapsed);
// Design units to pixels for a monitor's work area and DPI: the window must fit.
float window_scale(int work_width, int work_height, unsigned dpi);

}  // namespace qorn
