#include "selfupdate/launcher_update.hpp"
#include "selfupdate/launcher_offers.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

const std::wstring ready_text = L"Khởi động lại để áp dụng Updater mới…";
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
                                  &fake_wait,     &fake_image_path, &GetTickCount64, &fake_own_id};

// The running launcher the offer check sees.
std::wstring running_image;
DWORD WINAPI fake_module_path(HMODULE, LPWSTR buffer, DWORD) {
    std::copy(running_image.begin(), running_image.end(), buffer);
    buffer[running_image.size()] = L'\0';
    return static_cast<DWORD>(running_image.size());
}

const LauncherCalls fake_calls{&fake_module_path, fake_processes};

// The launcher of this build (2.0.8.0) with another file version in its version resource.
std::string launcher_build(const std::string& version) {
    static const std::string built = read_bytes(QORN_UPDATER_EXE);
    std::string bytes = built;
    // VS_FIXEDFILEINFO's signature right after the resource's key (the same four bytes
    // also stand in the code that checks them).
    const std::string key("V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0", 30);
    const size_t fixed = bytes.find("\xBD\x04\xEF\xFE", bytes.find(key));
    if (fixed == std::string::npos) throw std::runtime_error("test: Updater.exe has no version resource");
    const std::uint64_t value = parse_launcher_version(version);
    for (size_t i = 0; i < 4; ++i) {
        bytes[fixed + 8 + i] = static_cast<char>((value >> (32 + 8 * i)) & 0xFF);
        bytes[fixed + 12 + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

TEST(LauncherInstances, OnlyAnotherLiveUpdaterOfThisFolderCounts) {
    TempFolder client;
    const State state(client.path());
    processes = {{own_id, L"Updater.exe", client / L"Updater.exe"},
                 {10, L"UPDATER.EXE", client / L"Updater.exe", false},
                 {11, L"Updater.exe", client / L"Updater.exe", true, false},
                 {12, L"Updater.exe", client / L"Data" / L"Updater.exe"},
                 {13, L"Updater.exe", client.path().wstring() + L"2\\Updater.exe"},
                 {14, L"Main.exe", client / L"Data" / L"Main.exe"}};
    EXPECT_FALSE(launcher_instance_running(state, fake_processes));
    processes.push_back({15, L"uPDATER.exe", client / L"." / L"Updater.exe"});
    EXPECT_TRUE(launcher_instance_running(state, fake_processes));

    processes = {{16, L"Main.exe", client / L"Main.exe"}};
    EXPECT_TRUE(test::starts_with(failure_of([&] { launcher_instance_running(state, fake_processes); }),
                                  "Main.exe (PID 16) vẫn đang chạy trong thư mục game."));
    EXPECT_FALSE(launcher_instance_running(state));  // the real process table
}

class LauncherOffer : public testing::Test {
protected:
    LauncherOffer() {
        write_bytes(client_ / L"Updater.exe", launcher_build("2.0.8.0"));
        running_image = (client_ / L"Updater.exe").wstring();
        processes = {{own_id, L"Updater.exe", client_ / L"Updater.exe"}};
    }

    // An offer the server answers with these bytes.
    json serve(const std::string& name, const std::string& bytes, const std::string& version,
               const std::string& runtime = "win-x64") {
        served_["/launchers/" + name] = bytes;
        return {{"runtime", runtime},
                {"version", version},
                {"size", bytes.size()},
                {"sha256", sha256_hex(bytes)},
                {"url", to_utf8(server_.url("/launchers/" + name))}};
    }

    LauncherCheck prepare(const json* launchers, bool retry_failed = false) {
        Network network(server_.url(), cancel_);
        return prepare_launcher(
            state_, launchers, network, cancel_, [&](const Progress& p) { on_report(p); }, retry_failed, fake_calls);
    }

    std::filesystem::path area(const wchar_t* name) const {
        return client_ / L".qorn-launcher" / L"self-update" / name;
    }
    std::string log() const {
        const auto path = client_ / L".qorn-launcher" / L"launcher.log";
        return file_info(path).exists ? read_bytes(path) : "";
    }

    TempFolder client_;
    State state_{client_.path()};
    std::map<std::string, std::string> served_;
    size_t stall_after_ = std::string::npos;
    ScriptServer server_{[this](const Seen& request) {
        const auto found = served_.find(request.target);
        if (found == served_.end()) return answer(404);
        test::Answer reply = answer(200, found->second);
        reply.stall_after = stall_after_;
        return reply;
    }};
    Cancel cancel_;
    std::vector<Progress> reports_;
    std::function<void(const Progress&)> on_report = [this](const Progress& p) { reports_.push_back(p); };
};

TEST_F(LauncherOffer, TheNewerBuildForThisArchitectureEndsReadyForTheHandOff) {
    const std::string build = launcher_build("2.0.9.0");
    const json list = json::array(
        {serve("x86.exe", "not for this machine", "9.0.0.0", "win-x86"), serve("x64.exe", build, "2.0.9.0")});
    const LauncherCheck check = prepare(&list);
    EXPECT_TRUE(check.restart) << log();
    EXPECT_EQ(check.message, ready_text);
    EXPECT_EQ(read_bytes(area(L"candidate.exe")), build);
    EXPECT_EQ(read_json_file(area(L"ready.json")), list[1]);
    EXPECT_EQ(read_json_file(area(L"offer.json")), list);
    ASSERT_EQ(server_.seen().size(), 1u);
    EXPECT_EQ(server_.seen()[0].target, "/launchers/x64.exe");
    EXPECT_EQ(log(), "");

    ASSERT_GE(reports_.size(), 3u);
    const Progress& downloaded = reports_[reports_.size() - 2];
    for (size_t i = 0; i + 1 < reports_.size(); ++i) {
        EXPECT_EQ(reports_[i].stage, 2u);
        EXPECT_EQ(reports_[i].text, L"Đang tải bản Updater mới…");
        EXPECT_EQ(reports_[i].detail, L"2.0.9.0");
        EXPECT_EQ(reports_[i].total, build.size());
        EXPECT_TRUE(reports_[i].in_bytes);
    }
    EXPECT_EQ(downloaded.done, build.size());
    EXPECT_EQ(downloaded.extra, build.size());  // every byte came from the network
    const Progress& checking = reports_.back();
    EXPECT_EQ(checking.stage, 4u);
    EXPECT_EQ(checking.text, L"Kiểm tra Updater mới…");
    EXPECT_EQ(checking.done, 0u);
    EXPECT_EQ(checking.total, 1u);
}

TEST_F(LauncherOffer, SameOlderOrOtherArchitectureBuildsAreNotFetched) {
    const json other = serve("x86.exe", "x", "9.0.0.0", "win-x86");
    for (const char* version : {"2.0.8.0", "2.0.7.65535", "1.9.9.9"}) {
        const json list = json::array({serve("x64.exe", "y", version), other});
        const LauncherCheck check = prepare(&list);
        EXPECT_FALSE(check.restart) << version;
        EXPECT_EQ(check.message, L"") << version;
        EXPECT_EQ(read_json_file(area(L"offer.json")), list);
    }
    // An empty list ends before the running launcher is even looked at.
    running_image = (client_ / L"missing.exe").wstring();
    const json empty = json::array();
    EXPECT_EQ(prepare(&empty).message, L"");
    EXPECT_TRUE(server_.seen().empty());
    EXPECT_FALSE(file_info(area(L"candidate.exe")).exists);
    EXPECT_EQ(log(), "");
}

TEST_F(LauncherOffer, WithoutAManifestTheLastOfferOrTheInstalledReleaseIsUsed) {
    const json offer = serve("x64.exe", "y", "2.0.8.0");
    // No record at all: an empty list is recorded.
    EXPECT_EQ(prepare(nullptr).message, L"");
    EXPECT_EQ(read_json_file(area(L"offer.json")), json::array());

    delete_file(area(L"offer.json"));
    const std::string main_url = to_utf8(server_.url("/files/main"));
    const json installed = {
        {"schemaVersion", 1},
        {"releaseId", "r1"},
        {"files", {{{"path", "Main.exe"}, {"size", 3}, {"sha256", sha256_hex("abc")}, {"url", main_url}}}},
        {"directories", json::array()},
        {"launchers", {offer}}};
    write_bytes(client_ / L".qorn-launcher" / L"installed.json", installed.dump());
    EXPECT_EQ(prepare(nullptr).message, L"");
    EXPECT_EQ(read_json_file(area(L"offer.json")), json::array({offer}));

    // The record wins over the installed release, and it is judged like a manifest's list.
    write_bytes(area(L"offer.json"), json::array({offer, offer}).dump());
    EXPECT_EQ(prepare(nullptr).message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Kiến trúc Updater sai hoặc trùng.\r\n"), std::string::npos) << log();
    write_bytes(area(L"offer.json"), "[" + std::string(8192, ' ') + "]");
    EXPECT_EQ(prepare(nullptr).message, stay_text);
    EXPECT_TRUE(server_.seen().empty());
}

TEST_F(LauncherOffer, ARolledBackBuildWaitsForTheUserAndAnotherInstanceHoldsTheUpdateBack) {
    const json list = json::array({serve("x64.exe", launcher_build("2.0.9.0"), "2.0.9.0")});
    write_json_file(area(L"failed.json"), {{"sha256", list[0]["sha256"]}});
    LauncherCheck check = prepare(&list);
    EXPECT_FALSE(check.restart);
    EXPECT_EQ(check.message, L"Đã phục hồi Updater cũ. Bấm Kiểm tra lại để thử cập nhật launcher.");
    EXPECT_TRUE(server_.seen().empty());

    processes.push_back({20, L"Updater.exe", client_ / L"Updater.exe"});
    EXPECT_EQ(prepare(&list, true).message, L"Có Updater mới — sẽ thay khi đóng game/launcher khác.");
    EXPECT_TRUE(server_.seen().empty());
    processes.back().name = L"Main.exe";
    processes.back().image = client_ / L"Main.exe";
    EXPECT_EQ(prepare(&list, true).message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Main.exe (PID 20) vẫn đang chạy"), std::string::npos) << log();

    processes.pop_back();
    EXPECT_EQ(prepare(&list, true).message, ready_text);
    EXPECT_EQ(server_.seen().size(), 1u);
    // A failure record of another build does not hold this one back (already verified: no request).
    write_json_file(area(L"failed.json"), {{"sha256", sha256_hex("other build")}});
    EXPECT_EQ(prepare(&list).message, ready_text);
    EXPECT_EQ(server_.seen().size(), 1u);
}

TEST_F(LauncherOffer, ACandidateThatIsNotTheOfferIsRefusedAndOnlyLogged) {
    // The host serves a build whose file version is not the one offered.
    json list = json::array({serve("x64.exe", launcher_build("2.0.9.1"), "2.0.9.0")});
    EXPECT_EQ(prepare(&list).message, stay_text);
    EXPECT_NE(log().find(" Launcher update: Updater tải về sai phiên bản hoặc kiến trúc.\r\n"), std::string::npos)
        << log();
    EXPECT_FALSE(file_info(area(L"ready.json")).exists);

    // Bytes that do not match the offered digest never pass the download.
    list[0]["sha256"] = sha256_hex("another build");
    const LauncherCheck check = prepare(&list);
    EXPECT_FALSE(check.restart);
    EXPECT_EQ(check.message, stay_text);
    EXPECT_NE(log().find(" Launcher update: File tải về sai SHA-256.\r\n"), std::string::npos) << log();
    EXPECT_FALSE(file_info(area(L"ready.json")).exists);
}

TEST_F(LauncherOffer, AStopDuringTheDownloadIsTheStopAndIsNotLogged) {
    const std::string build = launcher_build("2.0.9.0");
    const json list = json::array({serve("x64.exe", build, "2.0.9.0")});
    stall_after_ = build.size() / 2;
    on_report = [this](const Progress& p) {
        if (p.done > 0) cancel_.cancel();
    };
    EXPECT_THROW(prepare(&list), Cancelled);
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(file_info(area(L"ready.json")).exists);
}

}  // namespace
}  // namespace qorn
