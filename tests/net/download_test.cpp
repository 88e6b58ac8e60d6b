#include "net/download.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <numeric>
#include <sstream>
#include <thread>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;
using test::read_bytes;
using test::write_bytes;

// ---- The update-host tool -------------------------------------------------

// Wine's Unix path of a Windows path.
std::string unix_path_of(const std::filesystem::path& path) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* text = convert == nullptr ? nullptr : convert(path.c_str());
    if (text == nullptr) throw std::runtime_error("test: these tests run under Wine only");
    std::string result(text);
    HeapFree(GetProcessHeap(), 0, text);
    return result;
}

// tools/qorn_host.py serve on 127.0.0.1, serving a site these tests write file by
// file; shared by the whole program. Wine starts Unix programs but cannot wait for
// or end them, so serve_site.py runs the server and ends it when the stop file
// appears (or the work folder goes, or two minutes have passed).
class HostSite {
public:
    HostSite() {
        std::filesystem::create_directories(work_ / L"site" / L"files");
        start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!std::filesystem::exists(work_ / L"port")) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("test: the update-host tool did not start: " +
                                         read_bytes(work_ / L"server.err"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        port_ = std::stoi(read_bytes(work_ / L"port"));
    }
    ~HostSite() {
        write_bytes(work_ / L"stop", "");
        // The watchdog removes the port file once the server has ended.
        for (int round = 0; round < 150 && std::filesystem::exists(work_ / L"port"); ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::wstring url(std::string_view path) const {
        return L"http://127.0.0.1:" + std::to_wstring(port_) + to_wide(path);
    }
    // Publishes the bytes under files/<sha256>; answers their URL path.
    std::string add_file(std::string_view bytes) const {
        const std::string digest = sha256_hex(bytes);
        write_then_rename(work_ / L"site" / L"files" / to_wide(digest), bytes);
        return "/files/" + digest;
    }
    void set_faults(const json& rules) const { write_then_rename(work_ / L"faults.json", rules.dump()); }
    // The request log's entries for a path, once there are `count` of them: a line
    // is written just after its answer went out.
    std::vector<json> log_for(std::string_view path, size_t count) const {
        std::vector<json> entries;
        for (int round = 0; round < 250 && entries.size() < count; ++round) {
            if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            entries.clear();
            if (!std::filesystem::exists(work_ / L"requests.log")) continue;
            std::istringstream lines(read_bytes(work_ / L"requests.log"));
            for (std::string line; std::getline(lines, line);) {
                json entry = json::parse(line);
                if (entry["path"] == path) entries.push_back(std::move(entry));
            }
        }
        return entries;
    }

private:
    static void write_then_rename(const std::filesystem::path& path, std::string_view bytes) {
        write_bytes(path.wstring() + L".new", bytes);
        std::filesystem::rename(path.wstring() + L".new", path);
    }

    void start() const {
        std::wstring command = to_wide("/usr/bin/python3 \"" QORN_SOURCE_DIR "/tests/net/serve_site.py\" \"") +
                               to_wide(unix_path_of(work_.path())) + L"\" 120";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(L"Z:\\usr\\bin\\python3", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            throw std::runtime_error("test: cannot start python3 for the update-host tool");
        }
        UniqueHandle thread(process.hThread);
        UniqueHandle child(process.hProcess);
    }

    test::TempFolder work_;
    int port_ = 0;
};

HostSite& shared_host() {
    static HostSite host;
    return host;
}

// ---- Downloads -------------------------------------------------------------

// Bytes that differ from test to test, so every test has a file of its own on the host.
std::string body_of(size_t size, std::string_view seed) {
    std::string body;
    std::string block = sha256_hex(seed);
    while (body.size() < size) {
        body += block;
        block = sha256_hex(block);
    }
    body.resize(size);
    return body;
}

// One download into a fresh folder, with what its callbacks reported.
struct Download {
    Cancel cancel;
    Network network;
    test::TempFolder folder;
    std::filesystem::path destination = folder / L"staging" / L"Data" / L"file.bin";
    std::vector<std::uint64_t> totals;
    std::vector<std::uint64_t> pieces;

    explicit Download(const std::wstring& manifest_url = shared_host().url("/api/manifest"))
        : network(manifest_url, cancel) {}

    void run(const std::wstring& url, const std::string& body) {
        download_file(
            network, url, destination, body.size(), sha256_hex(body), [this](std::uint64_t n) { totals.push_back(n); },
            [this](std::uint64_t n) { pieces.push_back(n); });
    }
    std::uint64_t piece_sum() const { return std::accumulate(pieces.begin(), pieces.end(), std::uint64_t{0}); }
    bool destination_exists() const { return std::filesystem::exists(destination); }
};

std::string range_of(const json& entry) {
    return entry["range"].is_null() ? "(none)" : entry["range"].get<std::string>();
}

TEST(DownloadFile, AVerifiedFileAtTheDestinationCostsNoRequest) {
    test::ScriptServer server([](const test::Seen&) { return test::answer(500); });
    Download download(server.url());
    const std::string body = body_of(5000, "verified");
    write_bytes(download.destination, body);
    download.run(server.url("/files/x"), body);
    EXPECT_EQ(server.connections(), 0);
    EXPECT_EQ(download.totals, std::vector<std::uint64_t>{5000});
    EXPECT_TRUE(download.pieces.empty());

    EXPECT_EQ(failure_of([&] { download.run(L"http://localhost:1/files/x", body_of(10, "other host")); }),
              "URL tải phải cùng hosting cập nhật.");
}

TEST(DownloadFile, APartialFileIsResumedWithAnOpenEndedRange) {
    const std::string body = body_of(5000, "resume");
    const std::string path = shared_host().add_file(body);
    Download download;
    write_bytes(download.destination, body.substr(0, 1000));
    download.run(shared_host().url(path), body);
    EXPECT_EQ(read_bytes(download.destination), body);
    const std::vector<json> log = shared_host().log_for(path, 1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(range_of(log[0]), "bytes=1000-");
    EXPECT_EQ(log[0]["status"], 206);
    EXPECT_EQ(log[0]["bytes"], 4000);
    EXPECT_EQ(download.totals.front(), 1000u);
    EXPECT_EQ(download.totals.back(), 5000u);
    EXPECT_EQ(download.piece_sum(), 4000u);
}

TEST(DownloadFile, AWholeBodyInsteadOfTheRangeRewritesTheFileFromTheStart) {
    const std::string body = body_of(5000, "ignored range");
    const std::string path = shared_host().add_file(body);
    shared_host().set_faults({{path, {{"ignoreRange", true}}}});
    Download download;
    write_bytes(download.destination, std::string(1000, 'x'));  // not even the right bytes
    download.run(shared_host().url(path), body);
    EXPECT_EQ(read_bytes(download.destination), body);
    const std::vector<json> log = shared_host().log_for(path, 1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(range_of(log[0]), "bytes=1000-");
    EXPECT_EQ(log[0]["status"], 200);
    EXPECT_EQ(download.totals.front(), 0u);
    EXPECT_EQ(download.piece_sum(), 5000u);
}

TEST(DownloadFile, AMisplacedContentRangeDeletesThePartialFileAndTheNextAttemptStartsAtZero) {
    const json rules[] = {
        {{"contentRange", "bytes 0-4999/5000"}},     {{"contentRange", "bytes 1000-4999/6000"}},
        {{"contentRange", "bytes 1000-4999"}},       {{"contentRange", "bytes 1000-99999999999999999999/5000"}},
        {{"headers", {{"Content-Range", nullptr}}}},
    };
    for (json rule : rules) {
        const std::string body = body_of(5000, rule.dump());
        const std::string path = shared_host().add_file(body);
        rule["times"] = 1;
        shared_host().set_faults({{path, rule}});
        Download download;
        // Garbage: kept and resumed, it would fail the digest.
        write_bytes(download.destination, std::string(1000, 'x'));
        download.run(shared_host().url(path), body);
        EXPECT_EQ(read_bytes(download.destination), body) << rule;
        const std::vector<json> log = shared_host().log_for(path, 2);
        ASSERT_EQ(log.size(), 2u) << rule;
        EXPECT_EQ(range_of(log[0]), "bytes=1000-");
        EXPECT_EQ(log[0]["status"], 206);
        EXPECT_EQ(range_of(log[1]), "(none)");
        EXPECT_EQ(log[1]["status"], 200);
    }
}

TEST(DownloadFile, APartialFileLargerThanTheFileIsDeletedAndTheWholeFileFetched) {
    const std::string body = body_of(5000, "too large");
    const std::string path = shared_host().add_file(body);
    Download download;
    write_bytes(download.destination, body + "trailing bytes");
    download.run(shared_host().url(path), body);
    EXPECT_EQ(read_bytes(download.destination), body);
    const std::vector<json> log = shared_host().log_for(path, 1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(range_of(log[0]), "(none)");
    EXPECT_EQ(download.totals.front(), 0u);
}

TEST(DownloadFile, ACutAfter60PercentIsResumedFromWhatReachedTheDisk) {
    const std::string body = body_of(1000000, "cut");
    const std::string path = shared_host().add_file(body);
    shared_host().set_faults({{path, {{"cutAfter", 600000}, {"times", 1}}}});
    Download download;
    download.run(shared_host().url(path), body);
    EXPECT_EQ(read_bytes(download.destination), body);
    const std::vector<json> log = shared_host().log_for(path, 2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(range_of(log[0]), "(none)");
    EXPECT_EQ(log[0]["bytes"], 600000);
    // The second attempt asks only for what is missing, and gets just that.
    EXPECT_EQ(range_of(log[1]), "bytes=600000-");
    EXPECT_EQ(log[1]["status"], 206);
    EXPECT_EQ(log[1]["bytes"], 400000);
    EXPECT_EQ(download.piece_sum(), 1000000u);  // every byte written once
}

TEST(DownloadFile, ADigestMismatchOnEveryAttemptFailsAndLeavesNoFile) {
    const std::string body = body_of(5000, "corrupt");
    const std::string path = shared_host().add_file(body);
    shared_host().set_faults({{path, {{"corruptOffset", 4321}}}});
    Download download;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failure_of([&] { download.run(shared_host().url(path), body); }), "File tải về sai SHA-256.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));  // 300 + 600 between
    EXPECT_FALSE(download.destination_exists());
    const std::vector<json> log = shared_host().log_for(path, 3);
    ASSERT_EQ(log.size(), 3u);
    for (const json& entry : log) EXPECT_EQ(range_of(entry), "(none)");
}

TEST(DownloadFile, HostRefusalsFailAfterThreeAttemptsAndDeleteOnlyWhatCannotBeResumed) {
    struct Case {
        json rule;
        std::string message;
        bool deletes;
    };
    const Case cases[] = {
        {{{"status", 404}}, "Tải file thất bại, HTTP 404", false},
        {{{"status", 416}}, "Hosting yêu cầu tải lại file.", true},
        {{{"contentLength", "3999"}}, "Hosting trả sai kích thước file.", false},
    };
    for (const Case& c : cases) {
        const std::string body = body_of(5000, c.message);
        const std::string path = shared_host().add_file(body);
        shared_host().set_faults({{path, c.rule}});
        Download download;
        write_bytes(download.destination, body.substr(0, 1000));
        EXPECT_EQ(failure_of([&] { download.run(shared_host().url(path), body); }), c.message);
        EXPECT_EQ(download.destination_exists(), !c.deletes) << c.message;
        if (!c.deletes) {
            EXPECT_EQ(read_bytes(download.destination), body.substr(0, 1000)) << c.message;
        }
        EXPECT_EQ(shared_host().log_for(path, 3).size(), 3u) << c.message;
    }
}

TEST(DownloadFile, BytesBeyondTheExpectedSizeNeverReachTheDisk) {
    const std::string body = body_of(5000, "oversized");
    test::ScriptServer server([&](const test::Seen&) {
        test::Answer endless;  // no Content-Length: the body runs until the host hangs up
        endless.head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        endless.body = body + body;
        return endless;
    });
    Download download(server.url());
    EXPECT_EQ(failure_of([&] { download.run(server.url("/files/x"), body); }), "Dữ liệu tải vượt kích thước manifest.");
    EXPECT_LE(std::filesystem::file_size(download.destination), 5000u);
    EXPECT_EQ(server.connections(), 3);
}

TEST(DownloadFile, AStopDuringAReadEndsAtOnceAndKeepsThePartialFile) {
    const std::string body = body_of(300000, "stopped");
    test::ScriptServer server([&](const test::Seen&) {
        test::Answer slow = test::answer(200, body);
        slow.stall_after = 131072;  // one whole read buffer, then silence
        return slow;
    });
    Download download(server.url());
    std::atomic<bool> wrote{false};
    std::string outcome;
    std::thread worker([&] {
        try {
            download_file(download.network, server.url("/files/x"), download.destination, body.size(), sha256_hex(body),
                          {}, [&](std::uint64_t) { wrote = true; });
            outcome = "(no failure)";
        } catch (const Cancelled&) {
            outcome = "Cancelled";
        } catch (const std::exception& failure) {
            outcome = failure.what();
        }
    });
    for (int i = 0; i < 500 && !wrote; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    download.cancel.cancel();
    if (test::running_under_wine()) {
        // Wine does not wake a receive blocked on another thread when its handle closes.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.release();
    }
    worker.join();
    EXPECT_EQ(outcome, "Cancelled");
    EXPECT_EQ(read_bytes(download.destination), body.substr(0, 131072));
    EXPECT_EQ(server.connections(), 1);  // no further attempt after a stop
}

}  // namespace
}  // namespace qorn
