// Hostile packages: random mutations of a valid package must end in a complete,
// correct extraction or an ordinary failure, never a crash, and nothing may be
// written outside the staging area.
#include "core/parallel.hpp"
#include "update/zip_fixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <map>
#include <random>

namespace qorn {
namespace {

constexpr std::uint32_t seed = 20261206;
constexpr size_t rounds = 6000;

std::string noise(std::mt19937& random, size_t size, unsigned alphabet) {
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>('a' + random() % alphabet);
    return text;
}

// Two names of one length, so that a copied name makes a twin: a body that takes
// several inflater pieces, then a small stored one. Main.exe is in no package.
const test::Bodies bodies = [] {
    std::mt19937 random(7);
    std::string large;
    while (large.size() < 70000) large += "Nhân vật " + noise(random, 1 + random() % 6, 4) + "\n";
    return test::Bodies{{"Vật/a1.bmd", large}, {"Vật/a2.bmd", noise(random, 200, 26)}};
}();
const std::string base = test::make_zip(bodies, bodies[1].first);
const size_t central[] = {test::central_of(base, bodies[0].first), test::central_of(base, bodies[1].first)};
const size_t local[] = {test::local_of(base, bodies[0].first), test::local_of(base, bodies[1].first)};

// Overwrites 1, 2 or 4 bytes in the fixed part of a header (central ones twice as
// often) with a value that readers treat specially. Lengths and places stay.
void mutate_field(std::string& zip, std::mt19937& random) {
    const size_t entry = random() % 2;
    const std::pair<size_t, size_t> headers[] = {
        {central[entry], 46}, {central[entry], 46}, {local[entry], 30}, {base.rfind("PK\5\6"), 22}};
    const auto [header, size] = headers[random() % 4];
    const size_t width = size_t{1} << (random() % 3);
    const size_t at = header + random() % (size - width + 1);
    const std::uint32_t old = test::get_le(zip, at, width);
    const std::uint32_t values[] = {0,          1,          old + 1,    old - 1,    0xFFFF, 0xFFFFFFFF,
                                    0x80000000, 0xA1FF0000, 0x00000400, 0x00000010, 0x0809, 12,
                                    8,          0x031E,     old ^ 0x20, old * 2,    random()};
    test::put_le(zip, at, values[random() % std::size(values)], width);
}

// A name made a twin of the other entry's (maybe in other case), or one character
// changed to a separator, a forbidden character, a zero or broken UTF-8; in the
// central header only (the headers disagree) or in both.
void mutate_name(std::string& zip, std::mt19937& random) {
    const size_t entry = random() % 2;
    std::string name = bodies[entry].first;
    if (random() % 4 == 0) {
        name = bodies[random() % 2].first;
        if (random() % 2) name[0] = static_cast<char>(name[0] ^ 0x20);
    } else {
        static const std::string splices("./\\:\0 *aA\xC3\xFF", 11);
        const size_t at = random() % name.size();
        name[at] = random() % 3 == 0 ? static_cast<char>(name[at] ^ 0x20) : splices[random() % splices.size()];
    }
    zip.replace(central[entry] + 46, name.size(), name);
    if (random() % 3 != 0) zip.replace(local[entry] + 30, name.size(), name);
}

std::string mutate(std::string zip, std::mt19937& random) {
    for (int blow = random() % 4 == 0 ? 2 : 1; blow > 0; --blow) {
        const size_t at = random() % zip.size();
        switch (random() % 8) {
            case 0: zip[at] = static_cast<char>(zip[at] ^ (1 << (random() % 8))); break;
            case 1: zip[at] = static_cast<char>(random()); break;
            case 2:
            case 3: mutate_field(zip, random); break;
            case 4:
            case 5: mutate_name(zip, random); break;
            // The layout no longer holds: no second blow.
            case 6: return zip.substr(0, at);
            default: return random() % 2 ? zip.insert(at, noise(random, 1 + random() % 40, 256))
                                         : zip.erase(at, 1 + random() % 40);
        }
    }
    return zip;
}

// One worker's share of the rounds, in a sandbox of its own. Each round starts with
// none of the package's files staged, so what a round calls extracted was written
// by that round. Anything written elsewhere is never removed and shows in the tree
// returned at the end: under Wine every file or folder made or removed costs a
// millisecond or so, so the folders stay and the tree is walked once.
std::set<std::wstring> run_rounds(size_t worker, const std::vector<std::string>& archives,
                                  std::vector<std::string>& outcomes) {
    test::PackageCase c(bodies, {{"Main.exe", "main"}});
    test::write_bytes(c.zip_file, archives[0]);  // makes the folders
    for (size_t round = worker; round < archives.size(); round += parallel_threads) {
        std::ofstream(c.zip_file, std::ios::binary | std::ios::trunc) << archives[round];
        std::string& outcome = outcomes[round] = "extracted";
        try {
            extract_package(c.zip_file, c.package, c.manifest, c.state, c.cancel, {});
        } catch (const std::exception& failure) {
            outcome = failure.what();
        }
        for (const auto& [path, body] : bodies) {
            // Looking is cheap under Wine; a delete is three trips to its server.
            const std::filesystem::path staged = c.staged(path);
            const bool present = GetFileAttributesW(staged.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (outcome == "extracted" && (!present || test::read_bytes(staged) != body)) outcome += ", but differs";
            if (present) DeleteFileW(staged.c_str());
        }
    }
    return test::tree_of(c.folder.path());
}

// Rounds are independent, so they share the parallel runner's threads; every
// archive is made up front from the one seed, so no outcome depends on timing.
TEST(ZipProperty, MutatedPackagesExtractCorrectlyOrFailWithoutStrayWrites) {
    std::cout << "zip property seed " << seed << ", " << rounds << " rounds\n";
    std::mt19937 random(seed);
    std::vector<std::string> archives{base};
    while (archives.size() < rounds) archives.push_back(mutate(base, random));

    std::vector<std::string> outcomes(archives.size());
    std::vector<std::set<std::wstring>> trees(parallel_threads);
    Cancel cancel;
    run_parallel(parallel_threads, cancel,
                 [&](size_t worker) { trees[worker] = run_rounds(worker, archives, outcomes); });

    // Whatever the archives named, each sandbox holds only what the test put there.
    const std::wstring state = L"client/.qorn-launcher";
    for (const std::set<std::wstring>& tree : trees) {
        EXPECT_EQ(tree, (std::set<std::wstring>{L"client", state, state + L"/downloads", state + L"/downloads/p1.zip",
                                                 state + L"/staging", state + L"/staging/Vật"}));
    }
    const std::set<std::string> ordinary = {
        "extracted", "Gói ZIP tải về không hợp lệ.", "Số file trong gói ZIP không đúng manifest.",
        "Không đọc được mục trong ZIP.", "Gói ZIP chứa mục không được hỗ trợ.", "Gói ZIP chứa file lạ hoặc trùng tên.",
        "File trong ZIP có thuộc tính/kích thước không an toàn.", "Gói ZIP giải nén vượt kích thước manifest.",
        "Giải nén ZIP thất bại hoặc sai CRC.", "Chuỗi UTF-8 không hợp lệ."};
    std::map<std::string, int> counts;
    for (size_t round = 0; round < outcomes.size(); ++round) {
        ++counts[outcomes[round]];
        if (!ordinary.count(outcomes[round])) FAIL() << "seed " << seed << " round " << round << ": " << outcomes[round];
    }
    for (const auto& [message, count] : counts) std::cout << count << "  " << message << "\n";
    EXPECT_GT(counts["extracted"], 1);
}

}  // namespace
}  // namespace qorn
