#include "net/network.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/download.hpp"
#include "net/header_numbers.hpp"
#include "net/manifest_fetch.hpp"
#include "net/script_server.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>
#include <process.h>

#include <chrono>
#include <cstdlib>

namespace qorn {
namespace {

using std::chrono::milliseconds;
using test::answer;
using test::Answer;

// What a call ended in: its result, or the kind of its failure and its message (the sync driver tells them apart).
template <typename F>
std::string outcome(F&& body) {
    try {
        if constexpr (std::is_void_v<decltype(body())>) return body(), "(no failure)";
        else return body();
    } catch (const Cancelled&) {
        return "Cancelled";
    } catch (const NetworkError& failure) {
        return std::string("NetworkError: ") + failure.what();
    } catch (const std::runtime_error& failure) {
        return std::string("runtime_error: ") + failure.what();
    }
}

// The calls of a WinHttpCalls table, in its order.
enum class Call { open, set_option, connect, open_request, set_timeouts, send, receive, query_headers, read, close };

// A WinHTTP table over the real functions. It counts the closes of each handle opened (WinHTTP hands out
// the values of closed handles again) and records the protocol masks asked for; `before` runs ahead of
// every call and fails it by answering true.
struct Watch {
    std::vector<std::tuple<Call, HINTERNET, int>> opened;  // by, handle, closes
    std::vector<DWORD> masks;
    std::function<bool(Call)> before = [](Call) { return false; };
    inline static Watch* active = nullptr;
    static const WinHttpCalls table;

    Watch() { active = this; }
    ~Watch() { active = nullptr; }
    static bool refuse() { return SetLastError(ERROR_WINHTTP_CANNOT_CONNECT), true; }
    void at(Call call, int first, int count, std::function<bool()> act) {  // calls numbered from 1 from now on
        before = [=, n = 0](Call made) mutable { return made == call && ++n >= first && n < first + count && act(); };
    }
    std::vector<int> closes(Call by) {  // of each handle that call opened
        std::vector<int> result;
        for (const auto& [opener, handle, count] : opened) if (opener == by) result.push_back(count);
        return result;
    }
    void saw(Call step, HINTERNET handle, DWORD option = 0, void* value = nullptr, DWORD = 0) {  // before the call
        if (option == WINHTTP_OPTION_SECURE_PROTOCOLS) masks.push_back(*static_cast<DWORD*>(value));
        const auto opening = [&](const auto& o) { return std::get<1>(o) == handle; };
        const auto last = std::find_if(opened.rbegin(), opened.rend(), opening);
        if (step == Call::close && last != opened.rend()) ++std::get<2>(*last);
    }
};

template <Call step, auto real>
struct Watched;
template <Call step, typename R, typename... A, R(WINAPI* real)(A...)>
struct Watched<step, real> {
    static R WINAPI call(A... arguments) {
        Watch& watch = *Watch::active;
        if constexpr (step == Call::set_option || step == Call::close) watch.saw(step, arguments...);
        if (watch.before(step)) return {};
        const R result = real(arguments...);
        if constexpr (std::is_same_v<R, HINTERNET>) {
            if (result != nullptr) watch.opened.emplace_back(step, result, 0);
        }
        return result;
    }
};

const WinHttpCalls Watch::table{
    &Watched<Call::open, &WinHttpOpen>::call, &Watched<Call::set_option, &WinHttpSetOption>::call,
    &Watched<Call::connect, &WinHttpConnect>::call, &Watched<Call::open_request, &WinHttpOpenRequest>::call,
    &Watched<Call::set_timeouts, &WinHttpSetTimeouts>::call, &Watched<Call::send, &WinHttpSendRequest>::call,
    &Watched<Call::receive, &WinHttpReceiveResponse>::call, &Watched<Call::query_headers, &WinHttpQueryHeaders>::call,
    &Watched<Call::read, &WinHttpReadData>::call, &Watched<Call::close, &WinHttpCloseHandle>::call};

std::string body_of(size_t size, std::string_view seed) {  // bytes that differ with the seed
    std::string body;
    for (std::string block = sha256_hex(seed); body.size() < size; block = sha256_hex(block)) body += block;
    return body.substr(0, size);
}

std::string range_line(const std::string& range) { return "Content-Range: bytes " + range + "\r\n"; }

// The scripted update host of these tests, a Network on it through the watching table, and a destination. The
// queued answers come first, in order; then every request gets the file (206 from a Range).
struct Host {
    Watch watch;
    std::vector<Answer> queued;
    std::string file;
    test::ScriptServer server{[this](const test::Seen& request) {
        if (const size_t number = server.seen().size() - 1; number < queued.size()) return queued[number];
        const size_t at = request.headers.find("Range: bytes=");
        if (at == std::string::npos) return answer(200, file);
        const size_t from = std::stoul(request.headers.substr(at + 13)), size = file.size();
        return answer(206, file.substr(from), range_line(std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
                                                         std::to_string(size)));
    }};
    Cancel cancel;
    Network network{server.url(), cancel, Watch::table};
    test::TempFolder folder;
    std::filesystem::path destination = folder / L"staging" / L"Data" / L"file.bin";

    std::string download(const std::filesystem::path& to) {
        const std::wstring url = server.url("/files/x");
        return outcome([&] { download_file(network, url, to, file.size(), sha256_hex(file), {}, {}); });
    }
    std::string requests() const {  // each one's method, and its Range when it has one
        std::string text;
        for (const test::Seen& request : server.seen()) {
            const size_t at = request.headers.find("Range: bytes="), end = request.headers.find("\r\n", at);
            text.append(text.empty() ? "" : ", ").append(request.method);
            if (at != std::string::npos) text.append(" ").append(request.headers, at + 13, end - at - 13);
        }
        return text;
    }
};

TEST(Network, TlsFallsBackTo12AloneAndWithoutItTheSessionFailsAndIsClosed) {
    for (const int refused : {1, 2}) {
        Watch watch;
        watch.at(Call::set_option, 1, refused, Watch::refuse);
        Cancel cancel;
        EXPECT_EQ(outcome([&] { Network network(L"http://127.0.0.1:9/api/manifest", cancel, Watch::table); }),
                  refused == 1 ? "(no failure)" : "runtime_error: Windows không hỗ trợ kết nối TLS 1.2.");
        EXPECT_EQ(watch.masks, (std::vector<DWORD>{0x2800, 0x800}));
        EXPECT_EQ(watch.closes(Call::open), std::vector<int>{1});  // no session left behind
    }
}

// The sync driver falls back offline on NetworkError alone: which failures are the host's is a contract.
TEST(Network, OnlyStepsThatTalkToTheHostFailWithNetworkErrorAndEachRequestIsClosedOnce) {
    const auto form = [](const char* context) { return windows_error_message(context, ERROR_WINHTTP_CANNOT_CONNECT); };
    const std::string body(200000, 'b');
    struct Case {
        Call at;
        int call;   // 0: none
        bool stop;  // instead of failing the call, stop the run just before it (call 0: before the request)
        std::string expected;
        std::wstring url = L"";
        size_t limit = 200000;
    };
    const Case cases[] = {
        {Call::connect, 1, false, "NetworkError: " + form("Không tạo được kết nối HTTP")},
        {Call::open_request, 1, false, "NetworkError: " + form("Không tạo được kết nối HTTP")},
        {Call::set_option, 1, false, "NetworkError: Không cấu hình được kết nối tải an toàn."},
        {Call::set_timeouts, 1, false, "NetworkError: Không cấu hình được thời gian chờ hosting."},
        {Call::send, 1, false, "NetworkError: " + form("Không kết nối được hosting")},
        {Call::query_headers, 1, false, "NetworkError: " + form("Không đọc được mã HTTP")},
        {Call::read, 1, false, "NetworkError: Kết nối tải dữ liệu bị ngắt. Vui lòng thử lại."},
        {Call::query_headers, 3, false, "runtime_error: " + form("Không đọc được header HTTP")},
        {Call::read, 0, false, "runtime_error: Dữ liệu hosting vượt giới hạn cho phép.", L"", 199999},
        {Call::read, 0, false, "whole body"},  // exactly the limit
        {Call::read, 0, false, "runtime_error: URL tải phải cùng hosting cập nhật.", L"http://localhost/x"},
        {Call::connect, 0, true, "Cancelled"},  // nothing connects
        {Call::open_request, 1, true, "Cancelled"},
        // From here on the stop closes the request under the call.
        {Call::set_option, 1, true, "Cancelled"}, {Call::send, 1, true, "Cancelled"},
        {Call::query_headers, 2, true, "Cancelled"}, {Call::read, 1, true, "Cancelled"},
    };
    for (const Case& c : cases) {
        Host host;
        host.queued = {answer(200, body, "X-QORN-Release: 2024.06.1\r\n")};
        const std::function<bool()> stop = [&] { return host.cancel.cancel(), false; };
        host.watch.at(c.at, c.call, 1, c.stop ? stop : Watch::refuse);
        if (c.stop && c.call == 0) host.cancel.cancel();
        const auto get = [&] {
            const auto response = host.network.request(c.url.empty() ? host.server.url() : c.url, L"GET", L"", 5000);
            EXPECT_EQ(response->header(L"X-QORN-Release"), L"2024.06.1");
            return response->read_all(c.limit) == body ? "whole body" : "another body";
        };
        EXPECT_EQ(outcome(get), c.expected);
        const std::vector<int> closes = host.watch.closes(Call::open_request);
        EXPECT_EQ(std::count(closes.begin(), closes.end(), 1), std::ssize(closes)) << c.expected;
        EXPECT_TRUE(!c.stop || c.call > 0 || host.watch.closes(Call::connect).empty());
    }
}

TEST(DownloadFile, ResumesOnlyWhereTheHostContinuesAndRetriesWithoutLosingWhatCanBeResumed) {
    const std::string file = body_of(5000, "downloaded"), start = file.substr(0, 1000), garbage(1000, 'x');
    const Answer cut{answer(200, file).head, file.substr(0, 3000)};  // a hang-up before the announced length
    const Answer endless{"HTTP/1.1 200 OK\r\nConnection: close\r\n", file + file};  // runs on until a hang-up
    const auto at = [&](const std::string& range) { return answer(206, file.substr(1000), range); };
    const auto thrice = [](const Answer& a) { return std::vector<Answer>(3, a); };  // 300 and 600 ms apart
    struct Case {
        std::string partial;
        std::vector<Answer> answers;
        std::string expected, requests, left;  // requests "*": not compared; left "": any start of the file
    };
    const std::string ok = "(no failure)", retried = "GET 1000-, GET", thrice_1000 = "GET 1000-, GET 1000-, GET 1000-";
    const Case cases[] = {
        {file, {}, ok, "", file},  // already there: nothing is asked
        {"", {cut}, ok, "GET, GET 3000-", file},
        {garbage, {answer(200, file)}, ok, "GET 1000-", file},  // the whole file instead of the range
        {file + "trailing", {}, ok, "GET", file},               // larger than the file
        {garbage, {at(range_line("0-3999/5000"))}, ok, retried, file},  // a range elsewhere: deleted, then from 0
        {garbage, {at(range_line("1000-4999/6000"))}, ok, retried, file},
        {garbage, {at(range_line("1000-5000/5000"))}, ok, retried, file},
        {start, thrice(answer(404)), "Tải file thất bại, HTTP 404", thrice_1000, start},
        {start, thrice(answer(416)), "Hosting yêu cầu tải lại file.", "GET 1000-, GET, GET", "-"},
        {start, thrice(answer(206, file.substr(1000, 3999), range_line("1000-4999/5000"))),
         "Hosting trả sai kích thước file.", thrice_1000, start},
        {start, thrice(answer(200, body_of(5000, "other"))), "File tải về sai SHA-256.", "GET 1000-, GET, GET",
         "-"},
        {start, thrice(endless), "Dữ liệu tải vượt kích thước manifest.", "*", ""},
    };
    for (const Case& c : cases) {
        Host host;
        host.file = file;
        host.queued = c.answers;
        if (!c.partial.empty()) test::write_bytes(host.destination, c.partial);
        const auto started = std::chrono::steady_clock::now();
        const std::string ended = host.download(host.destination), requests = host.requests();
        const size_t count = host.server.seen().size();
        EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(150 * count * (count - 1)));
        EXPECT_EQ(ended, c.expected == ok ? ok : "runtime_error: " + c.expected);
        EXPECT_EQ(requests, c.requests == "*" ? requests : c.requests);
        const std::string left = std::filesystem::exists(host.destination) ? test::read_bytes(host.destination) : "-";
        EXPECT_TRUE(c.left.empty() ? file.starts_with(left) : left == c.left);
    }
}

// A failure of this machine is not the host being away: it keeps its own message.
TEST(DownloadFile, FailuresOfThisMachineAreNoNetworkErrors) {
    Host host;
    host.file = body_of(1536 * 1024, "machine");  // more than the small disk holds
    const test::HeldOpen other(host.folder / L"held.bin");  // by another program, without sharing
    const std::string held = windows_error_message("Không ghi được file held.bin", ERROR_SHARING_VIOLATION);
    EXPECT_EQ(host.download(host.folder / L"held.bin"), "runtime_error: " + held);
    const char* small_disk = std::getenv("QORN_SMALL_DISK");  // 1 MiB, mounted by the test run when it may
    ULARGE_INTEGER size{};
    if (small_disk == nullptr || !GetDiskFreeSpaceExA(small_disk, nullptr, &size, nullptr) || size.QuadPart > 2 << 20) {
        GTEST_SKIP() << "No small disk mounted at QORN_SMALL_DISK (mounting needs root): the full disk is not tried.";
    }
    EXPECT_EQ(host.download(std::filesystem::path(small_disk) / L"file.bin"),
              "runtime_error: " + windows_error_message("Không ghi đủ dữ liệu xuống đĩa", ERROR_DISK_FULL));
}

// A Content-Range value is the host's text, up to 64 KB long.
TEST(ContentRange, OnlyTheExactFormWithNumbersThatFit64BitsIsReadAndTheStackDoesNotGrowWithItsLength) {
    using Job = std::pair<std::wstring, std::optional<ContentRange>>;
    const Job cases[] = {
        {L"bytes 1000-4999/5000", ContentRange{1000, 4999, 5000}},
        {L"bytes 0-1/18446744073709551615", ContentRange{0, 1, 18446744073709551615u}},
        {L"bytes 1000-4999/18446744073709551616", {}}, {L"bytes 1000-4999/5000 ", {}}, {L"bytes +1000-4999/5000", {}},
        {L"bytes 1000-4999", {}}, {L"bytes 1000-/5000", {}}, {L"bytes 1000/5000-4999", {}},
        {L"bytes \x0661-4999/5000", {}}, {L"items 1000-4999/5000", {}},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(parse_content_range(value), expected) << value;

    // On a thread whose whole stack is 64 KiB, which a recursive matcher overflows.
    Job job{L"bytes " + std::wstring(60000, L'0') + L"1000-4999/5000", {}};
    const auto parse = [](void* job) -> unsigned {
        auto& [value, range] = *static_cast<Job*>(job);
        return range = parse_content_range(value), 0;
    };
    UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 65536, parse, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)));
    ASSERT_EQ(WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(job.second, (ContentRange{1000, 4999, 5000}));  // an overflow ends the thread without it
}

// The whole-program tests cover the usual answers (304, 405, a failing host); these need a scripted host.
TEST(ManifestFetch, AWeakQuotedEntityTagMatchesRedirectsAreNotFollowedAndOnlyTheFirst64KiBAreRead) {
    const std::string digest = sha256_hex("the verified manifest"), id = "X-QORN-Release: 2024.06.1\r\n";
    const std::tuple<Answer, std::string, std::string> cases[] = {  // answer to HEAD, recorded digest, outcome
        {answer(200, "", id + "ETag: W/\"" + digest + "\"\r\n"), digest, "true: HEAD"},
        {answer(200, "", id + "ETag: \"" + sha256_hex("another") + "\"\r\n"), digest, "false: HEAD"},
        {answer(302, "", "Location: /api/moved\r\n"), digest, "NetworkError: Hosting trả lỗi HTTP 302: HEAD"},
        {answer(200, "", id), digest, "false: HEAD, GET"},  // no ETag: the manifest names the release, but too far in
        {answer(200, "", "ETag: \"" + digest + "\"\r\n"), digest, "false: HEAD, GET"},  // a static host's own tag
        {answer(405), digest, "false: HEAD, GET"},
        {answer(200, "", id + "ETag: " + std::string(64, 'F') + "\r\n"), digest,
         "runtime_error: SHA-256 không hợp lệ.: HEAD"},
        // The recorded digest goes into a header line: a broken record never reaches the host.
        {answer(304), digest + "\r\nX: y", "runtime_error: SHA-256 không hợp lệ.: "},
    };
    for (const auto& [head, recorded, expected] : cases) {
        Host host;
        host.queued = {head, answer(200, std::string(65536, ' ') + R"({"schemaVersion":1,"releaseId":"2024.06.1"})")};
        const std::string got =
            outcome([&] { return release_is_current(host.network, "2024.06.1", recorded) ? "true" : "false"; });
        EXPECT_EQ(got + ": " + host.requests(), expected);
    }
}

}  // namespace
}  // namespace qorn
