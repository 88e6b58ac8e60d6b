#include "release/release_statement.hpp"
#include "core/base64.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/release_keys.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace qorn {
namespace {

using nlohmann::json;
using test::failure_of;

// Keys and statements that openssl made at build time through the host tool's
// signing code (tests/release/make_signed_cases.py); this build carries keys 1 and 2.
const json& signed_cases() {
    static const json cases = read_json_file(QORN_SIGNED_CASES);
    return cases;
}

std::string envelope(const std::string& name) { return signed_cases().at("envelopes").at(name).get<std::string>(); }

EcdsaPublicKey test_key(const std::string& number) {
    const std::string hex = signed_cases().at("keys").at(number).get<std::string>();
    EcdsaPublicKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return key;
}

const std::string bad_form = "Thông tin bản phát hành không đúng định dạng.";
const std::string bad_signature = "Chữ ký bản phát hành không hợp lệ.";
const std::string bad_time = "Thời hạn của thông tin bản phát hành không hợp lệ.";

TEST(ReleaseKeys, OnlyTheSignedTestBuildCarriesTheTestKeys) {
    ASSERT_EQ(build_release_keys().size(), 2u);
    EXPECT_EQ(build_release_keys()[0], test_key("1"));
    EXPECT_EQ(build_release_keys()[1], test_key("2"));
    const std::pair<const wchar_t*, bool> programs[] = {
        {QORN_UPDATER_EXE, false}, {QORN_UPDATER_NEXT_EXE, false}, {QORN_UPDATER_SIGNED_EXE, true}};
    for (const auto& [program, carries] : programs) {
        const std::string bytes = test::read_bytes(program);
        for (const char* number : {"1", "2"}) {
            const EcdsaPublicKey key = test_key(number);
            EXPECT_EQ(bytes.find(std::string(key.begin(), key.end())) != std::string::npos, carries)
                << to_utf8(program) << " key " << number;
        }
    }
}

TEST(Signature, AnOpensslSignatureVerifiesOnlyAsMadeAndUnderItsKey) {
    const json made = json::parse(envelope("key1"));
    const std::string message = decode_base64(made["statement"].get<std::string>()).value();
    const std::string signature = decode_base64(made["signature"].get<std::string>()).value();
    std::string flipped = signature;
    flipped[5] = static_cast<char>(flipped[5] ^ 0x40);
    const std::tuple<const char*, std::string, std::string, bool> cases[] = {
        {"1", message, signature, true},
        {"2", message, signature, false},
        {"1", message + " ", signature, false},
        {"1", message, flipped, false},
        {"1", message, signature.substr(32) + signature.substr(0, 32), false},  // s‖r
        {"1", message, signature.substr(0, 63), false},
        {"1", message, signature + '\0', false},
        {"1", message, std::string(64, '\0'), false},
    };
    for (const auto& [key, text, sig, verifies] : cases) {
        EXPECT_EQ(ecdsa_p256_verify(test_key(key), text, sig), verifies) << key << " " << text.size() << " " << sig.size();
    }
    EcdsaPublicKey off_curve = test_key("1");
    off_curve[63] = static_cast<unsigned char>(off_curve[63] ^ 1);
    // A point off the curve: Windows refuses it on import, Wine's provider when verifying.
    bool verified = false;
    const std::string failure = failure_of([&] { verified = ecdsa_p256_verify(off_curve, message, signature); });
    EXPECT_FALSE(verified);
    EXPECT_TRUE(failure == "(no failure)" || failure == "Khoá kiểm tra chữ ký không hợp lệ.") << failure;
}

TEST(Base64, OneTextForEachByteString) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", ""}, {"YQ==", "a"}, {"YWI=", "ab"}, {"YWJj", "abc"}, {"+/8=", "\xfb\xff"},
        {"YR==", std::nullopt}, {"YWJ=", std::nullopt},  // unused bits set
        {"YQ=", std::nullopt}, {"Y===", std::nullopt}, {"YQ==YQ==", std::nullopt}, {"Y=Q=", std::nullopt},
        {"YW Jj", std::nullopt}, {"YWJj\n", std::nullopt}, {"-_8=", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(decode_base64(text), bytes) << text;
}

TEST(ReleaseStatement, EnvelopeThenSignatureThenFields) {
    const std::pair<std::string, std::string> signed_rows[] = {
        {"key1", "(no failure)"}, {"key2", "(no failure)"}, {"key3", bad_signature},
        {"tampered-statement", bad_signature}, {"tampered-signature", bad_signature},
        {"sequence-text", bad_form}, {"sequence-negative", bad_form},
        {"release-id", "Mã phiên bản không hợp lệ."}, {"digest", "SHA-256 không hợp lệ."},
        {"expires", bad_time}, {"expires-form", bad_time},
    };
    for (const auto& [name, message] : signed_rows) {
        EXPECT_EQ(failure_of([&] { read_release_statement(envelope(name)); }), message) << name;
    }

    const json good = json::parse(envelope("key1"));
    const auto with = [&](const char* key, const json& value) {
        json changed = good;
        changed[key] = value;
        return changed.dump();
    };
    std::string padded = good.dump();
    padded.insert(1, release_statement_limit - padded.size(), ' ');
    const std::pair<std::string, std::string> rows[] = {
        {"", bad_form}, {"[]", bad_form}, {"{\"statement\":1}", bad_form},
        {json{{"statement", good["statement"]}}.dump(), bad_form},
        {with("signature", "not base64!"), bad_form},
        {with("statement", "e30=\n"), bad_form},
        {with("statement", "WzFd"), bad_form},  // [1]
        {with("statement", "e30="), bad_form},  // {}
        {"{\"x\":" + std::string(300, '[') + std::string(300, ']') + "}", bad_form},
        {with("signature", "MEQCIF8="), bad_signature},  // not r‖s
        {with("x", json::array({1})), "(no failure)"},  // members of later versions
        {padded, "(no failure)"},
        {padded + " ", "Thông tin bản phát hành vượt giới hạn 16 KB."},
    };
    for (const auto& [text, message] : rows) {
        EXPECT_EQ(failure_of([&] { read_release_statement(text); }), message) << text.substr(0, 80);
    }
    EXPECT_EQ(failure_of([&] { read_release_statement(envelope("key1"), {}); }), bad_signature);

    const ReleaseStatement statement = read_release_statement(envelope("key2"));
    EXPECT_EQ(std::tie(statement.release_id, statement.manifest_sha256, statement.sequence, statement.expires),
              std::make_tuple(std::string("r1"), sha256_hex("abc"), std::uint64_t{7}, std::string("2030-01-01T00:00:00Z")));
    EXPECT_EQ(statement.expires_ticks, parse_utc_time("2030-01-01T00:00:00Z"));
}

TEST(ReleaseStatement, UtcTimes) {
    const std::uint64_t day = 864000000000ULL;
    const std::pair<std::string, std::uint64_t> times[] = {
        {"0001-01-01T00:00:00Z", 0},
        {"0001-01-02T00:00:01Z", day + 10000000},
        {"1601-01-01T00:00:00Z", file_time_to_ticks},
        {"1970-01-01T00:00:00Z", 621355968000000000ULL},
        {"2000-03-01T00:00:00Z", parse_utc_time("2000-02-28T00:00:00Z") + 2 * day},  // 2000 is a leap year
        {"2100-03-01T00:00:00Z", parse_utc_time("2100-02-28T00:00:00Z") + day},      // 2100 is not
    };
    for (const auto& [text, ticks] : times) EXPECT_EQ(parse_utc_time(text), ticks) << text;
    for (const char* text : {"2030-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2030-13-01T00:00:00Z",
                             "2030-00-10T00:00:00Z", "2030-04-31T00:00:00Z", "2030-01-00T00:00:00Z",
                             "2030-01-01T24:00:00Z", "2030-01-01T23:60:00Z", "2030-01-01T23:59:60Z",
                             "0000-01-01T00:00:00Z", "2030-01-01t00:00:00Z", "2030-01-01T00:00:00+00:00",
                             "+030-01-01T00:00:00Z", "2030-01-01T00:00:00", "2030-1-01T00:00:00Z"}) {
        EXPECT_EQ(failure_of([&] { parse_utc_time(text); }), bad_time) << text;
    }
    EXPECT_GT(utc_now_ticks(), parse_utc_time("2024-01-01T00:00:00Z"));
    EXPECT_LT(utc_now_ticks(), parse_utc_time("2100-01-01T00:00:00Z"));
}

TEST(ReleaseStatement, ExpirySequenceAndManifestAreCheckedApart) {
    const ReleaseStatement statement = read_release_statement(envelope("key1"));
    const std::uint64_t second = 10000000;
    const std::string expired = "Thông tin bản phát hành đã hết hạn lúc 2030-01-01 00:00:00 UTC. "
                                "Hãy kiểm tra ngày giờ của máy hoặc thử lại sau.";
    for (const auto& [now, message] : {std::pair{statement.expires_ticks - second, std::string("(no failure)")},
                                       std::pair{statement.expires_ticks, expired},
                                       std::pair{statement.expires_ticks + 400 * 86400 * second, expired}}) {
        EXPECT_EQ(failure_of([&] { require_not_expired(statement, now); }), message) << now;
    }
    const std::string older = "Thông tin bản phát hành cũ hơn bản đã xác nhận trên máy này (số thứ tự 7, đã xác nhận ";
    for (const auto& [accepted, message] :
         {std::pair<std::uint64_t, std::string>{0, "(no failure)"}, {7, "(no failure)"}, {8, older + "8)."},
          {std::numeric_limits<std::uint64_t>::max(), older + "18446744073709551615)."}}) {
        EXPECT_EQ(failure_of([&] { require_not_older(statement, accepted); }), message) << accepted;
    }
    const std::string mismatch = "Manifest không khớp với bản phát hành đã ký.";
    for (const auto& [id, digest, message] :
         {std::tuple{"r1", sha256_hex("abc"), std::string("(no failure)")}, std::tuple{"r2", sha256_hex("abc"), mismatch},
          std::tuple{"r1", sha256_hex("abd"), mismatch}}) {
        Manifest manifest;
        manifest.releaseId = id;
        manifest.sha256 = digest;
        EXPECT_EQ(failure_of([&] { require_statement_of(statement, manifest); }), message) << id;
    }
}

TEST(ReleaseStatement, LiesBesideTheManifest) {
    const std::pair<std::wstring, std::wstring> urls[] = {
        {L"http://127.0.0.1:54321/api/manifest", L"http://127.0.0.1:54321/api/release.json"},
        {L"https://cdn.example.net/games/qorn/api/manifest?key=a/b", L"https://cdn.example.net/games/qorn/api/release.json?key=a/b"},
        {L"http://localhost:1/api/", L"http://localhost:1/api/release.json"},
        {L"http://localhost:1", L"http://localhost:1/release.json"},
    };
    for (const auto& [manifest, statement] : urls) EXPECT_EQ(release_statement_url(manifest), statement) << to_utf8(manifest);
    EXPECT_EQ(failure_of([] { release_statement_url(L"http://example.net/api/manifest"); }), "Hosting phải sử dụng HTTPS.");
}

}  // namespace
}  // namespace qorn
