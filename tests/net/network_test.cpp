#include "net/network.hpp"
#include "core/sha256.hpp"
#include "net/download.hpp"
#include "net/manifest_fetch.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <numeric>
#include <set>
#include <thread>

namespace qorn {
namespace {

using test::answer;
using test::Answer;
using test::read_bytes;
using test::ScriptServer;
using test::Seen;
using test::write_bytes;

// The type of failure a call ended in, with its message: the sync driver treats
// Cancelled, NetworkError and other runtime errors differently.
template <typename F>
std::string failure_kind(F&& body) {
    try {
        body();
    } catch (const Cancelled&) {
        return "Cancelled";
    } catch (const NetworkError& failure) {
        return std::string("NetworkError: ") + failure.what();
    } catch (const std::runtime_error& failure) {
        return std::string("runtime_error: ") + failure.what();
    }
    return "(no failure)";
}

// A WinHTTP table that calls the real WinHTTP and records what the network code
// opened and closed; it can refuse protocol masks and act right after a request opens.
// Closes are counted per opening: WinHTTP hands out the value of a closed handle again.
struct Opened {
    HINTERNET handle;
    int closes;
};

struct Watch {
    std::vector<DWORD> protocol_masks;
    std::vector<Opened> sessions;
    std::vector<Opened> requests;
    std::set<DWORD> refused_protocol_masks;
    std::function<void()> after_open_request;

    Watch() { active = this; }
    ~Watch() { active = nullptr; }
    static Watch* active;
    static const WinHttpCalls calls;
};
Watch* Watch::active = nullptr;

HINTERNET WINAPI watched_open(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    HINTERNET session = WinHttpOpen(agent, access, proxy, bypass, flags);
    Watch::active->sessions.push_back({session, 0});
    return session;
}

BOOL WINAPI watched_set_option(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) {
    if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) {
        const DWORD mask = *static_cast<const DWORD*>(buffer);
        Watch::active->protocol_masks.push_back(mask);
        if (Watch::active->refused_protocol_masks.contains(mask)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    return WinHttpSetOption(handle, option, buffer, length);
}

HINTERNET WINAPI watched_open_request(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                      LPCWSTR referrer, LPCWSTR* types, DWORD flags) {
    HINTERNET request = WinHttpOpenRequest(connection, verb, object, version, referrer, types, flags);
    Watch::active->requests.push_back({request, 0});
    if (Watch::active->after_open_request) Watch::active->after_open_request();
    return request;
}

BOOL WINAPI watched_close(HINTERNET handle) {
    for (auto* opened : {&Watch::active->sessions, &Watch::active->requests}) {
        for (auto it = opened->rbegin(); it != opened->rend(); ++it) {
            if (it->handle == handle) {
                ++it->closes;
                break;
            }
        }
    }
    return WinHttpCloseHandle(handle);
}

const WinHttpCalls Watch::calls{
    &watched_open,       &watched_set_option,     &WinHttpConnect,      &watched_open_request, &WinHttpSetTimeouts,
    &WinHttpSendRequest, &WinHttpReceiveResponse, &WinHttpQueryHeaders, &WinHttpReadData,      &watched_close,
};

bool is_open(HINTERNET handle) {
    DWORD value = 0;
    DWORD size = sizeof value;
    return WinHttpQueryOption(handle, WINHTTP_OPTION_CONNECT_TIMEOUT, &value, &size) != FALSE;
}

// ---- Requests --------------------------------------------------------------

TEST(Network, StatusesReturnAsTheyCameAndEachResponseClosesItsRequestOnce) {
    ScriptServer server([](const Seen& request) {
        if (request.target == "/moved") return answer(302, "moved", "Location: /files/elsewhere\r\n");
        Answer garbage;
        garbage.head = "NOT HTTP AT ALL\r\n";
        return garbage;
    });
    Watch watch;
    Cancel cancel;
    Network network(server.url(), cancel, Watch::calls);
    EXPECT_EQ(network.request(server.url("/moved"), L"GET", L"", 5000)->status(), 302u);
    EXPECT_EQ(network.request(server.url("/moved"), L"HEAD", L"", 5000)->status(), 302u);
    EXPECT_EQ(server.seen().size(), 2u);  // nothing asked for the redirect's target
    ASSERT_EQ(watch.requests.size(), 2u);
    for (const Opened& request : watch.requests) EXPECT_EQ(request.closes, 1);

    // Another host is refused before connecting, and it is not the host being away.
    EXPECT_EQ(failure_kind([&] { network.request(L"http://localhost:1/files/a", L"GET", L"", 5000); }),
              "runtime_error: URL tải phải cùng hosting cập nhật.");
    EXPECT_EQ(server.connections(), 2);
    // A broken answer is.
    const std::string broken = failure_kind([&] { network.request(server.url("/broken"), L"GET", L"", 5000); });
    EXPECT_TRUE(test::starts_with(broken, "NetworkError: ")) << broken;
}

TEST(Network, WithoutTls12TheSessionFailsAndIsClosed) {
    Cancel cancel;
    Watch watch;
    watch.refused_protocol_masks = {0x2800, 0x800};
    EXPECT_EQ(failure_kind([&] { Network network(L"http://127.0.0.1:9/api/manifest", cancel, Watch::calls); }),
              "runtime_error: Windows không hỗ trợ kết nối TLS 1.2.");
    EXPECT_EQ(watch.protocol_masks, (std::vector<DWORD>{0x2800, 0x800}));
    ASSERT_EQ(watch.sessions.size(), 1u);
    EXPECT_EQ(watch.sessions[0].closes, 1);  // no session left behind
}

TEST(Network, StoppedRunsMakeNoConnection) {
    ScriptServer server([](const Seen&) { return answer(200); });
    Watch watch;
    Cancel stopped;
    stopped.cancel();
    Network network(server.url(), stopped, Watch::calls);
    EXPECT_EQ(failure_kind([&] { network.request(server.url(), L"GET", L"", 5000); }), "Cancelled");
    EXPECT_TRUE(watch.requests.empty());

    // A stop that lands just after the request handle opened: tracking closes it
    // at once, and its owner does not close it a second time.
    Cancel cancel;
    Network late(server.url(), cancel, Watch::calls);
    watch.after_open_request = [&] { cancel.cancel(); };
    EXPECT_EQ(failure_kind([&] { late.request(server.url(), L"GET", L"", 5000); }), "Cancelled");
    ASSERT_EQ(watch.requests.size(), 1u);
    EXPECT_FALSE(is_open(watch.requests[0].handle));
    EXPECT_EQ(watch.requests[0].closes, 1);  // by the stop, through the table
    EXPECT_EQ(server.connections(), 0);
}

TEST(HttpResponse, ReadAllTakesABodyOfExactlyTheLimitButNotOneByteMore) {
    std::string body(200000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    ScriptServer server([&](const Seen& request) { return answer(200, request.target == "/empty" ? "" : body); });
    Cancel cancel;
    Network network(server.url(), cancel);
    EXPECT_EQ(network.request(server.url("/empty"), L"GET", L"", 5000)->read_all(0), "");
    EXPECT_EQ(network.request(server.url(), L"GET", L"", 5000)->read_all(body.size()), body);
    EXPECT_EQ(failure_kind([&] { network.request(server.url(), L"GET", L"", 5000)->read_all(body.size() - 1); }),
              "runtime_error: Dữ liệu hosting vượt giới hạn cho phép.");
}

// ---- Downloads -------------------------------------------------------------

// Bytes that differ with the seed.
std::string body_of(size_t size, std::string_view seed) {
    std::string body;
    for (std::string block = sha256_hex(seed); body.size() < size; block = sha256_hex(block)) body += block;
    body.resize(size);
    return body;
}

std::string content_range(size_t first, size_t size) {
    return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(size - 1) + "/" +
           std::to_string(size) + "\r\n";
}

// A host of one file: the answers the test scripted come first, then the file is
// served whole, or from an open-ended Range on as a 206.
struct FileHost {
    std::string body;
    std::vector<Answer> scripted;
    std::atomic<size_t> answered{0};
    ScriptServer server{[this](const Seen& request) {
        if (const size_t number = answered++; number < scripted.size()) return scripted[number];
        const size_t at = request.headers.find("Range: bytes=");
        if (at == std::string::npos) return answer(200, body);
        const size_t offset = std::stoul(request.headers.substr(at + 13));
        return answer(206, body.substr(offset), content_range(offset, body.size()));
    }};

    explicit FileHost(std::string file, std::vector<Answer> first = {})
        : body(std::move(file)), scripted(std::move(first)) {}
    // The Range of each request so far, "(none)" without one.
    std::vector<std::string> ranges() const {
        std::vector<std::string> result;
        for (const Seen& request : server.seen()) {
            const size_t at = request.headers.find("Range: ");
            result.push_back(at == std::string::npos
                                 ? "(none)"
                                 : request.headers.substr(at + 7, request.headers.find("\r\n", at) - at - 7));
        }
        return result;
    }
};

// One download into a fresh folder, with what its callbacks reported.
struct Download {
    Cancel cancel;
    Network network;
    test::TempFolder folder;
    std::filesystem::path destination = folder / L"staging" / L"Data" / L"file.bin";
    std::vector<std::uint64_t> totals;
    std::vector<std::uint64_t> pieces;

    explicit Download(const FileHost& host, const WinHttpCalls& calls = system_winhttp())
        : network(host.server.url(), cancel, calls) {}

    void run(const FileHost& host) {
        download_file(
            network, host.server.url("/files/x"), destination, host.body.size(), sha256_hex(host.body),
            [this](std::uint64_t n) { totals.push_back(n); }, [this](std::uint64_t n) { pieces.push_back(n); });
    }
    std::uint64_t piece_sum() const { return std::accumulate(pieces.begin(), pieces.end(), std::uint64_t{0}); }
};

using Ranges = std::vector<std::string>;

TEST(DownloadFile, APartialFileThatCannotBeResumedIsDeletedOrRewrittenFromTheStart) {
    const std::string body = body_of(5000, "not resumable");
    const std::string garbage(1000, 'x');  // kept and resumed, it would fail the digest
    const auto misplaced = [&](const std::string& line) { return answer(206, body.substr(1000), line); };
    struct Case {
        std::string partial;
        std::vector<Answer> first;
        Ranges ranges;
    };
    const Case cases[] = {
        {garbage, {answer(200, body)}, {"bytes=1000-"}},  // the whole body instead of the range
        {body + "trailing bytes", {}, {"(none)"}},        // larger than the file
        // A misplaced Content-Range: the next attempt starts at zero.
        {garbage, {misplaced("Content-Range: bytes 0-4999/5000\r\n")}, {"bytes=1000-", "(none)"}},
        {garbage, {misplaced("Content-Range: bytes 1000-4999/6000\r\n")}, {"bytes=1000-", "(none)"}},
        {garbage, {misplaced("Content-Range: bytes 1000-4999\r\n")}, {"bytes=1000-", "(none)"}},
        {garbage, {misplaced("Content-Range: bytes 1000-99999999999999999999/5000\r\n")}, {"bytes=1000-", "(none)"}},
        {garbage, {misplaced("")}, {"bytes=1000-", "(none)"}},
    };
    for (const Case& c : cases) {
        FileHost host(body, c.first);
        Download download(host);
        write_bytes(download.destination, c.partial);
        download.run(host);
        const std::string what = c.first.empty() ? c.partial.substr(5000) : c.first[0].head;
        EXPECT_EQ(read_bytes(download.destination), body) << what;
        EXPECT_EQ(host.ranges(), c.ranges) << what;
        EXPECT_EQ(download.totals.front(), 0u) << what;
        EXPECT_EQ(download.piece_sum(), 5000u) << what;
    }
}

TEST(DownloadFile, ACutIsResumedFromWhatReachedTheDisk) {
    const std::string body = body_of(1000000, "cut");
    Answer cut = answer(200, body);
    cut.body.resize(600000);  // the host hangs up before the length it announced
    FileHost host(body, {cut});
    Download download(host);
    download.run(host);
    EXPECT_EQ(read_bytes(download.destination), body);
    // The second attempt asks only for what is missing.
    EXPECT_EQ(host.ranges(), (Ranges{"(none)", "bytes=600000-"}));
    EXPECT_EQ(download.piece_sum(), 1000000u);  // every byte written once
}

TEST(DownloadFile, ADigestMismatchOnEveryAttemptFailsAndLeavesNoFile) {
    const std::string body = body_of(5000, "corrupt");
    std::string corrupt = body;
    corrupt[4321] ^= 1;
    FileHost host(body, std::vector<Answer>(3, answer(200, corrupt)));
    Download download(host);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(test::failure_of([&] { download.run(host); }), "File tải về sai SHA-256.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));  // 300 + 600 between
    EXPECT_FALSE(std::filesystem::exists(download.destination));
    EXPECT_EQ(host.ranges(), (Ranges{"(none)", "(none)", "(none)"}));
}

TEST(DownloadFile, HostRefusalsFailAfterThreeAttemptsAndDeleteOnlyWhatCannotBeResumed) {
    const std::string body = body_of(5000, "refused");
    struct Case {
        Answer refusal;
        std::string message;
        bool deletes;
    };
    const Case cases[] = {
        {answer(404), "Tải file thất bại, HTTP 404", false},
        {answer(416), "Hosting yêu cầu tải lại file.", true},
        {answer(206, body.substr(1000, 3999), content_range(1000, 5000)), "Hosting trả sai kích thước file.", false},
    };
    for (const Case& c : cases) {
        FileHost host(body, std::vector<Answer>(3, c.refusal));
        Download download(host);
        write_bytes(download.destination, body.substr(0, 1000));
        EXPECT_EQ(test::failure_of([&] { download.run(host); }), c.message);
        EXPECT_EQ(std::filesystem::exists(download.destination), !c.deletes) << c.message;
        if (!c.deletes) {
            EXPECT_EQ(read_bytes(download.destination), body.substr(0, 1000)) << c.message;
        }
        EXPECT_EQ(host.server.connections(), 3) << c.message;
    }
}

TEST(DownloadFile, BytesBeyondTheExpectedSizeNeverReachTheDisk) {
    const std::string body = body_of(5000, "oversized");
    Answer endless;  // no Content-Length: the body runs until the host hangs up
    endless.head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    endless.body = body + body;
    FileHost host(body, std::vector<Answer>(3, endless));
    Download download(host);
    EXPECT_EQ(test::failure_of([&] { download.run(host); }), "Dữ liệu tải vượt kích thước manifest.");
    EXPECT_LE(std::filesystem::file_size(download.destination), 5000u);
    EXPECT_EQ(host.server.connections(), 3);
}

TEST(DownloadFile, AStopDuringABlockedReadEndsAtOnceClosesTheRequestOnceAndKeepsThePartialFile) {
    const std::string body = body_of(300000, "stopped");
    Answer slow = answer(200, body);
    slow.stall_after = 131072;  // one whole read buffer, then silence
    FileHost host(body, {slow});
    Watch watch;
    Download download(host, Watch::calls);
    std::atomic<bool> wrote{false};
    std::string outcome;
    std::thread worker([&] {
        outcome = failure_kind([&] {
            download_file(download.network, host.server.url("/files/x"), download.destination, body.size(),
                          sha256_hex(body), {}, [&](std::uint64_t) { wrote = true; });
        });
    });
    for (int i = 0; i < 500 && !wrote; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto stopped_at = std::chrono::steady_clock::now();
    download.cancel.cancel();
    if (test::running_under_wine()) {
        // Wine's WinHttpCloseHandle does not wake a receive blocked on another
        // thread; the read ends when the host sends again or hangs up.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        host.server.release();
    }
    worker.join();
    if (!test::running_under_wine()) {
        EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, std::chrono::seconds(10));  // not the stall's end
    }
    EXPECT_EQ(outcome, "Cancelled");
    EXPECT_EQ(read_bytes(download.destination), body.substr(0, 131072));
    EXPECT_EQ(host.server.connections(), 1);  // no further attempt after a stop
    ASSERT_EQ(watch.requests.size(), 1u);
    EXPECT_FALSE(is_open(watch.requests[0].handle));
    EXPECT_EQ(watch.requests[0].closes, 1);  // the stop closed it through the table, and only the stop
}

// ---- The release question and the manifest -------------------------------

const std::string recorded_digest = sha256_hex("the verified manifest");
const std::string other_digest = sha256_hex("another manifest");

nlohmann::json record(const std::string& release = "2024.06.1", const std::string& digest = recorded_digest) {
    return {{"releaseId", release}, {"manifestSha256", digest}};
}

// A manifest start whose release id stands after `padding` bytes of other text.
std::string manifest_text(const std::string& release, size_t padding = 0) {
    return R"({"schemaVersion":1,"padding":")" + std::string(padding, 'x') + R"(","releaseId":")" + release +
           R"(","files":[]})";
}

// An update host whose HEAD and GET answers of the manifest the test chooses.
struct Host {
    Answer head;
    Answer get = answer(200, manifest_text("2024.06.1"));
    ScriptServer server{[this](const Seen& request) { return request.method == "HEAD" ? head : get; }};
    Cancel cancel;
    Network network{server.url(), cancel};

    std::string methods() const {
        std::string text;
        for (const Seen& request : server.seen()) text += (text.empty() ? "" : " ") + request.method;
        return text;
    }
};

// A HEAD answer with these header values; an empty one is left out.
Answer head_answer(const std::string& release, const std::string& tag) {
    std::string lines;
    if (!release.empty()) lines += "X-QORN-Release: " + release + "\r\n";
    if (!tag.empty()) lines += "ETag: " + tag + "\r\n";
    return answer(200, "", lines);
}

TEST(ReleaseIsCurrent, TheHeadAnswerDecidesOrAPartialGetIsAsked) {
    struct Case {
        Answer head;
        bool current;
        std::string methods;
    };
    const Case cases[] = {
        {head_answer("2024.06.1", "W/\"" + recorded_digest + "\""), true, "HEAD"},
        {head_answer("2024.06.1", "\"" + recorded_digest + "\""), true, "HEAD"},
        {head_answer("2024.06.1", recorded_digest), true, "HEAD"},
        {head_answer("2024.06.1", "W/\"" + other_digest + "\""), false, "HEAD"},  // weak tag of another manifest
        {head_answer("2024.06.2", "\"" + recorded_digest + "\""), false, "HEAD"},
        // Hosts without HEAD or without both headers.
        {answer(501), true, "HEAD GET"},
        {head_answer("2024.06.1", ""), true, "HEAD GET"},
        {answer(200, "", "X-QORN-Release:\r\nETag:\r\n"), true, "HEAD GET"},
    };
    for (const Case& c : cases) {
        Host host;
        host.head = c.head;
        EXPECT_EQ(release_is_current(host.network, record()), c.current) << c.head.head;
        EXPECT_EQ(host.methods(), c.methods) << c.head.head;
        EXPECT_FALSE(release_is_current(host.network, record("2024.05.9"))) << c.head.head;
    }
}

TEST(ReleaseIsCurrent, MalformedHeaderValuesFailInsteadOfAnsweringFalse) {
    std::string upper = recorded_digest;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const std::pair<Answer, std::string> cases[] = {
        {head_answer("2024.06.1", "\"" + upper + "\""), "runtime_error: SHA-256 không hợp lệ."},
        {head_answer("2024.06.1", "W/" + recorded_digest.substr(1)), "runtime_error: SHA-256 không hợp lệ."},
        {head_answer("-2024", "\"" + recorded_digest + "\""), "runtime_error: Mã phiên bản không hợp lệ."},
    };
    for (const auto& [head, expected] : cases) {
        Host host;
        host.head = head;
        EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }), expected);
    }
}

TEST(ReleaseIsCurrent, PartialGetReadsAtMostTheFirst64KiB) {
    Host host;
    host.head = answer(405);
    // The recorded release, but too far in: the answer must not depend on it.
    host.get = answer(200, manifest_text("2024.06.1", 65536));
    EXPECT_FALSE(release_is_current(host.network, record()));
    host.get = answer(200, manifest_text("2024.06.1", 65000));
    EXPECT_TRUE(release_is_current(host.network, record()));
    host.get = answer(200, "{\"schemaVersion\":1}");
    EXPECT_FALSE(release_is_current(host.network, record()));                  // the body ended without an id
    host.get = answer(200, R"({"schemaVersion":2,"releaseId":"2024.06.1"})");  // no PC manifest
    EXPECT_FALSE(release_is_current(host.network, record()));
}

TEST(ManifestFetch, HostFailuresAreNetworkErrorsAndBrokenRecordsPlainErrors) {
    Host host;
    host.head = answer(405);
    host.get = answer(503);
    EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }),
              "NetworkError: Hosting chưa sẵn sàng.");
    EXPECT_EQ(failure_kind([&] { fetch_manifest(host.network); }), "NetworkError: Không tải được manifest, HTTP 503");

    // The recorded digest goes into a header line: a broken record never reaches the host.
    host.head = answer(304);
    const int connections = host.server.connections();
    EXPECT_EQ(
        failure_kind([&] { release_is_current(host.network, record("2024.06.1", recorded_digest + "\r\nX: y")); }),
        "runtime_error: SHA-256 không hợp lệ.");
    EXPECT_EQ(host.server.connections(), connections);
}

}  // namespace
}  // namespace qorn
