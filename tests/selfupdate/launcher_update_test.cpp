#include "selfupdate/launcher_update.hpp"
#include "release/launcher_offer.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace qorn {
namespace {

using nlohmann::json;
using test::answer;
using test::failure_of;
using test::read_bytes;
using test::ScriptServer;
using test::Seen;
using test::TempFolder;
using test::write_bytes;

const std::wstring stay_text = L"Chưa cập nhật được Updater — vẫn dùng bản hiện tại; chi tiết trong launcher.log.";

// The process table the fake process calls show; handles are real events so that
// their owners close them as usual.
struct FakeProcess {
    DWORD id;
    std::wstring name;
    std::filesystem::path image;
    bool running = true;
    bool openable = true;
};
std::vector<FakeProcess> processes;
size_t listed = 0;
std::map<HANDLE, FakeProcess> opened;
constexpr DWORD own_id = 4;

HANDLE WINAPI fake_snapshot(DWORD, DWORD) { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
BOOL WINAPI fake_next(HANDLE, PROCESSENTRY32W* entry) {
    if (listed == processes.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    entry->th32ProcessID = processes[listed].id;
    wcsncpy(entry->szExeFile, processes[listed++].name.c_str(), MAX_PATH - 1);
    return TRUE;
}
BOOL WINAPI fake_first(HANDLE snapshot, PROCESSENTRY32W* entry) {
    listed = 0;
    return fake_next(snapshot, entry);
}
HANDLE WINAPI fake_open(DWORD, BOOL, DWORD id) {
    const auto found = std::find_if(processes.begin(), processes.end(), [&](const auto& p) { return p.id == id; });
    if (found == processes.end() || !found->openable) return nullptr;
    const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    opened[handle] = *found;
    return handle;
}
DWORD WINAPI fake_wait(HANDLE process, DWORD) { return opened.at(process).running ? WAIT_TIMEOUT : WAIT_OBJECT_0; }
BOOL WINAPI fake_image_path(HANDLE process, DWORD, LPWSTR buffer, PDWORD size) {
    const std::wstring image = opened.at(process).image.wstring();
    std::copy(image.begin(), image.end(), buffer);
    buffer[image.size()] = L'\0';
    *size = static_cast<DWORD>(image.size());
    return TRUE;
}
DWORD WINAPI fake_own_id() { return own_id; }

const ProcessCalls fake_processes{&fake_snapshot, &fake_first,      &fake_next,      &fake_open,
                                  &fake_wait,     &fake_image_path, &GetTickCount64, &fake_own_id,
                                  &GetProcessTimes};

// The running launcher the offer check sees.
std::wstring running_image;
DWORD WINAPI fake_module_path(HMODULE, LPWSTR buffer, DWORD) {
    std::copy(running_image.begin(), running_image.end(), buffer);
    buffer[running_image.size()] = L'\0';
    return static_cast<DWORD>(running_image.size());
}

const LauncherCalls fake_calls{&fake_module_path, fake_processes};

class LauncherUpdate : public testing::Test {
protected:
    LauncherUpdate() {
        write_bytes(client_ / L"Updater.exe", build_);
        running_image = (client_ / L"Updater.exe").wstring();
        processes = {{own_id, L"Updater.exe", client_ / L"Updater.exe"}};
    }

    LauncherCheck prepare(const std::vector<qorn::LauncherOffer>* offers) {
        Network network(server_.url(), cancel_);
        InstalledRelease installed(state_, server_.url());
        return prepare_launcher(state_, offers, installed, network, cancel_, on_report, false, fake_calls);
    }
    LauncherCheck prepare() { return prepare(&offers_); }

    std::filesystem::path area(const wchar_t* name) const {
        return client_ / L".qorn-launcher" / L"self-update" / name;
    }
    std::string log() const {
        const auto path = client_ / L".qorn-launcher" / L"launcher.log";
        return file_info(path).exists ? read_bytes(path) : "";
    }

    TempFolder client_;
    State state_{client_.path()};
    const std::string build_ = read_bytes(QORN_UPDATER_EXE);  // 2.0.8.0
    size_t stall_after_ = std::string::npos;
    ScriptServer server_{[this](const Seen& request) {
        if (!request.target.starts_with("/launchers/x64.exe")) return answer(404);
        test::Answer reply = answer(200, build_);
        reply.stall_after = stall_after_;
        return reply;
    }};
    // The host offers 2.0.9.0 but serves this build: a candidate that is not the offer.
    const std::vector<qorn::LauncherOffer> offers_ = {
        {"win-x64", "2.0.9.0", build_.size(), sha256_hex(build_), to_utf8(server_.url("/launchers/x64.exe"))}};
    Cancel cancel_;
    ProgressCallback on_report;
};

TEST_F(LauncherUpdate, AnotherUpdaterOfThisFolderHoldsTheUpdateBackAndOnlyTheOfferedBuildIsReady) {
    const std::filesystem::path image = client_ / L"Updater.exe";
    processes = {{own_id, L"Updater.exe", image},
                 {10, L"UPDATER.EXE", image, false},
                 {11, L"Updater.exe", image, true, false},
                 {12, L"Updater.exe", client_ / L"Data" / L"Updater.exe"},
                 {13, L"Updater.exe", client_.path().wstring() + L"2\\Updater.exe"},
                 {14, L"Main.exe", client_ / L"Data" / L"Main.exe"}};
    EXPECT_FALSE(launcher_instance_running(state_, fake_processes));
    EXPECT_FALSE(launcher_instance_running(state_));  // the real process table

    processes.push_back({15, L"uPDATER.exe", client_ / L"." / L"Updater.exe"});
    EXPECT_TRUE(launcher_instance_running(state_, fake_processes));
    EXPECT_EQ(prepare().message, L"Có Updater mới — sẽ thay khi đóng game/launcher khác.");
    EXPECT_TRUE(server_.seen().empty());

    // A game in the folder fails the check with the guard's message: logged, the current launcher stays.
    processes.back() = {16, L"Main.exe", client_ / L"Main.exe"};
    EXPECT_TRUE(test::starts_with(failure_of([&] { launcher_instance_running(state_, fake_processes); }),
                                  "Main.exe (PID 16) vẫn đang chạy trong thư mục game."));
    EXPECT_EQ(prepare().message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Main.exe (PID 16) vẫn đang chạy"), std::string::npos) << log();
    EXPECT_TRUE(server_.seen().empty());

    processes.pop_back();
    EXPECT_EQ(prepare().message, stay_text);
    EXPECT_EQ(server_.seen().size(), 1u);
    EXPECT_NE(log().find(" Launcher update: Updater tải về sai phiên bản hoặc kiến trúc.\r\n"), std::string::npos)
        << log();
    EXPECT_FALSE(file_info(area(L"ready.json")).exists);
}

TEST_F(LauncherUpdate, TheLastOffersSeenAreReadBackWhateverTheirUrlsLength) {
    // Two offers with long addresses: far past the few kilobytes a record of two offers usually takes.
    std::vector<qorn::LauncherOffer> long_urls = offers_;
    long_urls[0].url += "?" + std::string(20000, 'q');
    long_urls.push_back({"win-x86", "2.0.9.0", 1, std::string(64, 'a'), long_urls[0].url});
    write_offer_record(state_, long_urls);
    EXPECT_EQ(prepare(nullptr).message, stay_text);  // read back, fetched, and found not to be the offered build
    EXPECT_EQ(server_.seen().size(), 1u);
    EXPECT_NE(log().find(" Launcher update: Updater tải về sai phiên bản hoặc kiến trúc.\r\n"), std::string::npos)
        << log();
}

TEST_F(LauncherUpdate, AStopDuringTheDownloadIsTheStopAndIsNotLogged) {
    stall_after_ = build_.size() / 2;
    on_report = [this](const Progress& p) {
        if (p.done > 0) cancel_.cancel();
    };
    EXPECT_THROW(prepare(), Cancelled);
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(file_info(area(L"ready.json")).exists);
}

}  // namespace
}  // namespace qorn
