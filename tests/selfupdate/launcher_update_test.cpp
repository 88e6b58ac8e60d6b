#include "selfupdate/launcher_update.hpp"
#include "release/launcher_offer.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/script_server.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qorn {
namespace {

using test::answer;
using test::read_bytes;
using test::Seen;

const std::wstring stay_text = L"Chưa cập nhật được Updater — vẫn dùng bản hiện tại; chi tiết trong launcher.log.";

// The running launcher the offer check sees.
std::wstring running_image;
DWORD WINAPI fake_module_path(HMODULE, LPWSTR buffer, DWORD) {
    std::copy(running_image.begin(), running_image.end(), buffer);
    buffer[running_image.size()] = L'\0';
    return static_cast<DWORD>(running_image.size());
}

class LauncherUpdate : public testing::Test {
protected:
    LauncherUpdate() {
        test::write_bytes(client_ / L"Updater.exe", build_);
        running_image = (client_ / L"Updater.exe").wstring();
        system_.processes = {{4242, L"Updater.exe", client_ / L"Updater.exe"}};
    }

    LauncherCheck prepare(const std::vector<qorn::LauncherOffer>* offers) {
        Network network(server_.url(), cancel_);
        InstalledRelease installed(state_, server_.url());
        return prepare_launcher(state_, offers, installed, network, cancel_, on_report, false,
                                {&fake_module_path, system_.calls});
    }
    LauncherCheck prepare() { return prepare(&offers_); }
    bool ready() const { return file_info(self_update_path(state_, "ready.json")).exists; }
    std::string log() const {
        const auto path = client_ / L".qorn-launcher" / L"launcher.log";
        return file_info(path).exists ? read_bytes(path) : "";
    }

    test::FakeSystem system_;
    test::TempFolder client_;
    State state_{client_.path()};
    const std::string build_ = read_bytes(QORN_UPDATER_EXE);  // 2.0.8.0
    size_t stall_after_ = std::string::npos;
    test::ScriptServer server_{[this](const Seen& request) {
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

TEST_F(LauncherUpdate, AnotherUpdaterOrAGameInThisFolderHoldsTheUpdateBack) {
    const std::filesystem::path image = client_ / L"Updater.exe";
    std::vector<test::FakeProcess>& processes = system_.processes;
    processes = {{4242, L"Updater.exe", image},
                 {10, L"UPDATER.EXE", image, 0},  // ended
                 {11, L"Updater.exe", image, ~0ULL, false},
                 {12, L"Updater.exe", client_ / L"Data" / L"Updater.exe"},
                 {13, L"Updater.exe", client_.path().wstring() + L"2\\Updater.exe"},
                 {14, L"Main.exe", client_ / L"Data" / L"Main.exe"}};
    EXPECT_FALSE(launcher_instance_running(state_, system_.calls));
    EXPECT_FALSE(launcher_instance_running(state_));  // the real process table

    processes.push_back({15, L"uPDATER.exe", client_ / L"." / L"Updater.exe"});
    EXPECT_TRUE(launcher_instance_running(state_, system_.calls));
    EXPECT_EQ(prepare().message, L"Có Updater mới — sẽ thay khi đóng game/launcher khác.");

    // A game in the folder fails the check with the guard's message: logged, the current launcher stays.
    processes.back() = {16, L"Main.exe", client_ / L"Main.exe"};
    EXPECT_EQ(prepare().message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Main.exe (PID 16) vẫn đang chạy"), std::string::npos) << log();
    EXPECT_TRUE(server_.seen().empty());
}

TEST_F(LauncherUpdate, TheLastOffersSeenAreReadBackWhateverTheirUrlsLengthAndOnlyTheOfferedBuildIsReady) {
    // Two offers with long addresses: far past the few kilobytes a record of two offers usually takes.
    std::vector<qorn::LauncherOffer> long_urls = offers_;
    long_urls[0].url += "?" + std::string(20000, 'q');
    long_urls.push_back({"win-x86", "2.0.9.0", 1, std::string(64, 'a'), long_urls[0].url});
    write_offer_record(state_, long_urls);
    EXPECT_EQ(prepare(nullptr).message, stay_text);  // read back, fetched, and found not to be the offered build
    EXPECT_EQ(server_.seen().size(), 1u);
    EXPECT_TRUE(log().ends_with(" Launcher update: Updater tải về sai phiên bản hoặc kiến trúc.\r\n")) << log();
    EXPECT_FALSE(ready());
}

TEST_F(LauncherUpdate, AStopDuringTheDownloadIsTheStopAndIsNotLogged) {
    stall_after_ = build_.size() / 2;
    on_report = [this](const Progress& p) { p.done > 0 ? cancel_.cancel() : void(); };
    EXPECT_THROW(prepare(), Cancelled);
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(ready());
}

}  // namespace
}  // namespace qorn
