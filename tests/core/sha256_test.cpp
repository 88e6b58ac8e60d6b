#include "core/sha256.hpp"
#include "core/parallel.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qorn {
namespace {

const std::string abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownAnswersInPiecesFilesAndThreads) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), abc_digest);
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 pieces;  // the same bytes fed in pieces, an empty one among them
    pieces.add("a");
    pieces.add("");
    pieces.add("bc");
    EXPECT_EQ(pieces.finish(), abc_digest);

    test::TempFolder folder;  // one byte past a read chunk
    const std::string body(131073, 'q');
    test::write_bytes(folder / L"f", body);
    Cancel cancel;
    EXPECT_EQ(sha256_file(folder / L"f", cancel), sha256_hex(body));

    std::vector<std::string> results(4);  // threads share one provider
    run_parallel(results.size(), cancel, [&](size_t i) {
        for (int round = 0; round < 200; ++round) results[i] = sha256_hex(std::string(1000 + i, 'x'));
    });
    for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], sha256_hex(std::string(1000 + i, 'x')));
}

}  // namespace
}  // namespace qorn
