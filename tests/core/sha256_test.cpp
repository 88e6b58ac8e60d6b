#include "core/sha256.hpp"
#include "core/files.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace qorn {
namespace {

using test::failure_of;
using test::TempFolder;
using test::write_bytes;

const std::string empty_digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(sha256_hex(""), empty_digest);
    EXPECT_EQ(sha256_hex("abc"), abc_digest);
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 pieces;  // the same bytes fed in pieces, an empty one among them
    pieces.add("a");
    pieces.add("");
    pieces.add("bc");
    EXPECT_EQ(pieces.finish(), abc_digest);
}

TEST(Sha256File, ChunkCallbacksAtTheChunkBoundary) {
    TempFolder folder;
    Cancel cancel;
    struct Case {
        size_t size;
        std::vector<std::uint64_t> calls;
    };
    for (const Case& c : {Case{0, {}}, Case{131072, {131072}}, Case{131073, {131072, 131073}}}) {
        const auto file = folder / (L"f" + std::to_wstring(c.size));
        const std::string body(c.size, 'q');
        write_bytes(file, body);
        std::vector<std::uint64_t> calls;
        EXPECT_EQ(sha256_file(file, cancel, [&](std::uint64_t n) { calls.push_back(n); }), sha256_hex(body));
        EXPECT_EQ(calls, c.calls) << c.size;
    }
}

TEST(Sha256File, StopBeforeTheFirstReadAndUnreadableFiles) {
    TempFolder folder;
    const auto file = folder / L"data.bin";
    write_bytes(file, "abc");
    Cancel cancel;
    cancel.cancel();
    int calls = 0;
    EXPECT_THROW(sha256_file(file, cancel, [&](std::uint64_t) { ++calls; }), Cancelled);
    EXPECT_EQ(calls, 0);

    Cancel running;
    const std::string missing = failure_of([&] { sha256_file(folder / L"absent.bin", running); });
    EXPECT_TRUE(test::starts_with(missing, "Không mở được file absent.bin: ")) << missing;
}

TEST(FileMatches, AnswersWithoutReadingWhenSizeOrKindDiffers) {
    TempFolder folder;
    const auto file = folder / L"Main.exe";
    write_bytes(file, "abc");
    Cancel cancel;
    EXPECT_TRUE(file_matches(file, 3, abc_digest, cancel));
    EXPECT_FALSE(file_matches(file, 3, empty_digest, cancel));
    {
        // Reading would fail while another program holds the file: the answers
        // below prove that nothing is read.
        test::HeldOpen other_program(file);
        EXPECT_FALSE(file_matches(file, 2, abc_digest, cancel));
        EXPECT_FALSE(file_matches(file, 4, abc_digest, cancel));
        EXPECT_THROW(file_matches(file, 3, abc_digest, cancel), std::runtime_error);
    }
    EXPECT_FALSE(file_matches(folder.path(), 0, empty_digest, cancel));
    EXPECT_FALSE(file_matches(folder / L"absent", 0, empty_digest, cancel));
}

TEST(Sha256, DigestTextRules) {
    EXPECT_NO_THROW(require_sha256(abc_digest));
    std::string upper = abc_digest;
    upper[0] = 'B';
    for (const std::string& bad : {upper, abc_digest.substr(1), abc_digest + "0", std::string(), std::string(64, 'g')}) {
        EXPECT_EQ(failure_of([&] { require_sha256(bad); }), "SHA-256 không hợp lệ.") << bad;
    }
}

TEST(Sha256, ThreadsShareTheProvider) {
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&results, i] {
            for (int round = 0; round < 200; ++round) results[i] = sha256_hex(std::string(1000 + i, 'x'));
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], sha256_hex(std::string(1000 + i, 'x')));
}

}  // namespace
}  // namespace qorn
