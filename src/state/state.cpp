#include "state/state.hpp"

#include "core/files.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "core/tree_removal.hpp"
#include "release/client_path.hpp"

namespace qorn {
namespace {

constexpr std::uint64_t walk_report_interval = 30;

}  // namespace

State::State(const std::filesystem::path& client_folder)
    : root_(std::filesystem::absolute(client_folder).lexically_normal()) {
    // "C:\client\" normalises with a trailing separator; the root is kept without one.
    if (!root_.has_filename() && root_.has_relative_path()) root_ = root_.parent_path();
    refuse_links_up(root_, root_);
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(client_path(root_, ".qorn-launcher", true));
}

std::filesystem::path State::file(std::string_view name) const {
    return client_path(root_ / L".qorn-launcher", name, true);
}

void write_state_file(const State& state, std::string_view name, std::string_view bytes) {
    write_file_atomic(state.file(name), bytes, state.root());
}

void write_state_streamed(const State& state, std::string_view name,
                          const std::function<void(const ByteSink&)>& produce) {
    write_file_streamed(state.file(name), produce, state.root());
}

void write_state_json(const State& state, std::string_view name, const nlohmann::json& value, JsonStyle style) {
    write_state_file(state, name, json_text(value, style));
}

std::filesystem::path staging_path(const State& state, std::string_view client_path_text) {
    return client_path(state.file("staging"), client_path_text, false);
}

UpdateLock lock_update(const State& state) {
    UpdateLock lock(CreateFileW(state.file("update.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    require(static_cast<bool>(lock), "Launcher khác đang kiểm tra hoặc cập nhật thư mục này.");
    return lock;
}

void write_log(const std::filesystem::path& client_folder, std::string_view message) noexcept {
    try {
        const State state(client_folder);
        append_log_line(state.file("launcher.log"), state.file("launcher.previous.log"), message);
    } catch (...) {
        // The caller's operation goes on as if the line had been written.
    }
}

void clean_temporary(const State& state, std::string_view name, const ProgressCallback& progress, Stage stage) {
    const std::filesystem::path folder = state.file(name);
    if (!file_info(folder).exists) return;
    const Reporter report(progress);
    std::uint64_t entries = 0;
    TreeRemoval removal(folder, true, [&](const std::filesystem::path& entry) {
        ++entries;
        if (entries % walk_report_interval == 0) {
            report.note(stage, L"Đang kiểm tra dữ liệu tạm trước khi dọn…", entry.filename());
        }
    });
    if (report.active()) report.items(stage, L"Đang dọn dữ liệu cài đặt tạm…", to_wide(name), 0, entries, false);
    // The walk refused every link; a link made since makes its folder fail to go.
    removal.remove();
}

}  // namespace qorn
