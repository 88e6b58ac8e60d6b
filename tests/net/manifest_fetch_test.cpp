#include "net/manifest_fetch.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/failure_kind.hpp"
#include "net/script_server.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>

namespace qorn {
namespace {

using test::answer;
using test::Answer;
using test::failure_kind;
using test::ScriptServer;
using test::Seen;

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

std::string head_headers(const std::string& release, const std::string& tag) {
    std::string lines;
    if (!release.empty()) lines += "X-QORN-Release: " + release + "\r\n";
    if (!tag.empty()) lines += "ETag: " + tag + "\r\n";
    return lines;
}

TEST(ReleaseIsCurrent, NotModifiedAnswersTrueWithOneConditionalHead) {
    Host host;
    host.head = answer(304);
    EXPECT_TRUE(release_is_current(host.network, record()));
    const std::vector<Seen> seen = host.server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "HEAD");
    EXPECT_EQ(seen[0].target, "/api/manifest");
    EXPECT_NE(seen[0].headers.find("If-None-Match: \"" + recorded_digest + "\"\r\n"), std::string::npos)
        << seen[0].headers;
}

TEST(ReleaseIsCurrent, EntityTagFormsAndReleaseHeaderDecide) {
    struct Case {
        std::string release;
        std::string tag;
        bool current;
    };
    const Case cases[] = {
        {"2024.06.1", "W/\"" + recorded_digest + "\"", true},
        {"2024.06.1", "\"" + recorded_digest + "\"", true},
        {"2024.06.1", recorded_digest, true},
        {"2024.06.1", "W/\"" + other_digest + "\"", false},  // weak tag of another manifest
        {"2024.06.2", "\"" + recorded_digest + "\"", false},
    };
    for (const Case& c : cases) {
        Host host;
        host.head = answer(200, "", head_headers(c.release, c.tag));
        EXPECT_EQ(release_is_current(host.network, record()), c.current) << c.release << " " << c.tag;
        EXPECT_EQ(host.methods(), "HEAD");
    }
}

TEST(ReleaseIsCurrent, MalformedHeaderValuesFailInsteadOfAnsweringFalse) {
    std::string upper = recorded_digest;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const std::pair<Answer, std::string> cases[] = {
        {answer(200, "", head_headers("2024.06.1", "\"" + upper + "\"")), "runtime_error: SHA-256 không hợp lệ."},
        {answer(200, "", head_headers("2024.06.1", "W/" + recorded_digest.substr(1))),
         "runtime_error: SHA-256 không hợp lệ."},
        {answer(200, "", head_headers("-2024", "\"" + recorded_digest + "\"")),
         "runtime_error: Mã phiên bản không hợp lệ."},
    };
    for (const auto& [head, expected] : cases) {
        Host host;
        host.head = head;
        EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }), expected);
    }
}

TEST(ReleaseIsCurrent, HostsWithoutHeadOrHeadersAreAskedWithAPartialGet) {
    const Answer heads[] = {
        answer(405, "", "Allow: GET\r\n"),
        answer(501),
        answer(200, "", head_headers("2024.06.1", "")),
        answer(200, "", head_headers("", "\"" + recorded_digest + "\"")),
        answer(200, "", "X-QORN-Release:\r\nETag:\r\n"),
    };
    for (const Answer& head : heads) {
        Host host;
        host.head = head;
        EXPECT_TRUE(release_is_current(host.network, record())) << head.head;
        EXPECT_EQ(host.methods(), "HEAD GET") << head.head;
        EXPECT_FALSE(release_is_current(host.network, record("2024.05.9"))) << head.head;
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

TEST(ReleaseIsCurrent, HostFailuresAreNetworkErrorsAndBrokenRecordsPlainErrors) {
    Host host;
    host.head = answer(404);
    EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }),
              "NetworkError: Hosting trả lỗi HTTP 404");
    host.head = answer(500);
    EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }),
              "NetworkError: Hosting trả lỗi HTTP 500");
    host.head = answer(405);
    host.get = answer(503);
    EXPECT_EQ(failure_kind([&] { release_is_current(host.network, record()); }),
              "NetworkError: Hosting chưa sẵn sàng.");

    // The recorded digest goes into a header line: a broken record never reaches the host.
    host.head = answer(304);
    const int connections = host.server.connections();
    EXPECT_EQ(
        failure_kind([&] { release_is_current(host.network, record("2024.06.1", recorded_digest + "\r\nX: y")); }),
        "runtime_error: SHA-256 không hợp lệ.");
    EXPECT_EQ(host.server.connections(), connections);
}

TEST(FetchManifest, ParsesTheBodyOrReportsTheStatus) {
    const std::string file_digest = sha256_hex("abc");
    Host host;
    const std::string text =
        R"({"schemaVersion":1,"releaseId":"2024.06.1","files":[{"path":"Main.exe","size":3,"sha256":")" + file_digest +
        R"(","url":")" + to_utf8(host.server.url("/files/")) + file_digest + R"("}]})";
    host.get = answer(200, text);
    const Manifest manifest = fetch_manifest(host.network);
    EXPECT_EQ(manifest.releaseId, "2024.06.1");
    EXPECT_EQ(manifest.sha256, sha256_hex(text));
    ASSERT_EQ(manifest.files.size(), 1u);
    EXPECT_EQ(manifest.files[0].path, "Main.exe");

    host.get = answer(404, "not here");
    EXPECT_EQ(failure_kind([&] { fetch_manifest(host.network); }), "NetworkError: Không tải được manifest, HTTP 404");
    host.get = answer(200, std::string(67108865, ' '));
    EXPECT_EQ(failure_kind([&] { fetch_manifest(host.network); }),
              "runtime_error: Dữ liệu hosting vượt giới hạn cho phép.");
}

}  // namespace
}  // namespace qorn
