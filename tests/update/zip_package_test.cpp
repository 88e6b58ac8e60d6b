// Packages from miniz's writer, patched in place where no writer goes: each refusal by its message, then random
// mutations, each ending in a correct extraction or an ordinary failure, never a crash or a write outside staging.
#include "update/zip_package.hpp"
#include "core/files.hpp"
#include "core/parallel.hpp"
#include "state/state_fixture.hpp"
#include "support/failure.hpp"

#include <gtest/gtest.h>
#include <miniz.h>

#include <iostream>
#include <random>
#include <set>

namespace qorn {
namespace {

using test::Bodies;
using test::failure_of;

// Deflated entries, but for the one named `stored`.
std::string make_zip(const Bodies& bodies, const std::string& stored = {}) {
    mz_zip_archive zip{};
    void* buffer = nullptr;
    size_t size = 0;
    bool made = mz_zip_writer_init_heap(&zip, 0, 0);
    for (const auto& [name, body] : bodies) {
        const mz_uint level = name == stored ? MZ_NO_COMPRESSION : MZ_DEFAULT_LEVEL;
        made = made && mz_zip_writer_add_mem(&zip, name.c_str(), body.data(), body.size(), level);
    }
    made = made && mz_zip_writer_finalize_heap_archive(&zip, &buffer, &size);
    mz_zip_writer_end(&zip);
    if (!made) throw std::runtime_error("test: zip writer");
    std::string bytes(static_cast<const char*>(buffer), size);
    mz_free(buffer);
    return bytes;
}

// In a writer's archive an entry's local header (30 bytes) ends with the first copy of its name, its central header
// (46 bytes) with the last. miniz reads an entry's flags, method, sizes and attributes from the central header only.
size_t local_of(const std::string& zip, const std::string& name) { return zip.find(name) - 30; }
size_t central_of(const std::string& zip, const std::string& name) { return zip.rfind(name) - 46; }

std::string patched(std::string bytes, size_t at, std::uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
    return bytes;
}

// Every entry under the folder, relative and "/"-separated.
std::set<std::wstring> tree_of(const std::filesystem::path& folder) {
    std::set<std::wstring> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries.insert(entry.path().lexically_relative(folder).generic_wstring());
    }
    return entries;
}

// A client folder whose release holds `packaged`, all in one package, and `unpackaged`.
struct PackageCase {
    test::TempFolder folder;
    State state{folder / L"client"};
    Manifest manifest;
    Package package;
    std::filesystem::path zip_file = state.file("downloads") / L"p1.zip";
    Cancel cancel;

    explicit PackageCase(const Bodies& packaged, Bodies unpackaged = {}) {
        for (const auto& [path, body] : packaged) package.files.push_back(path);
        unpackaged.insert(unpackaged.begin(), packaged.begin(), packaged.end());
        manifest = test::release_of(unpackaged);
    }
    void extract(const std::string& zip, const ProgressCallback& progress = {}) {
        test::write_bytes(zip_file, zip);
        extract_package(zip_file, package, manifest, state, cancel, progress);
    }
};

const Bodies two_files = {{"Main.exe", "main body 12345"}, {"Data/a.bmd", std::string(4000, 'q')}};
const std::pair<std::string, std::string> main_exe = two_files[0], model = two_files[1];

// The archive of both files, the first named `name` in both headers.
std::string first_named(const std::string& name) {
    const std::string placeholder(name.size(), 'x');
    std::string zip = make_zip({{placeholder, main_exe.second}, model});
    zip.replace(zip.find(placeholder), name.size(), name);
    return zip.replace(zip.rfind(placeholder), name.size(), name);
}

// A field of the central header of Data/a.bmd set to a value.
std::string model_with(const std::string& zip, size_t offset, std::uint32_t value, size_t width) {
    return patched(zip, central_of(zip, model.first) + offset, value, width);
}

// Each archive is refused with the player's message, before a byte of Data/a.bmd is written and without stray writes.
TEST(ZipPackage, ArchivesThatDoNotMatchThePackageAreRefusedWithoutStrayWrites) {
    const std::string unknown_or_twice = "Gói ZIP chứa file lạ hoặc trùng tên.";
    const std::string unsafe_entry = "File trong ZIP có thuộc tính/kích thước không an toàn.";
    const std::string longer = make_zip({main_exe, {model.first, model.second + "xyz"}});
    std::vector<std::pair<std::string, std::string>> cases = {
        {first_named(std::string("Main.exe\0x", 10)), unknown_or_twice},  // cut at its zero it would be listed
        {make_zip({main_exe, {"MAIN.EXE", main_exe.second}}), unknown_or_twice},
        {make_zip({main_exe, {"Data/other.bmd", "other"}}), unknown_or_twice},  // listed, but in no package
        {make_zip(two_files).substr(0, 40), "Gói ZIP tải về không hợp lệ."},
        {make_zip({main_exe}), "Số file trong gói ZIP không đúng manifest."},
        {make_zip({{"Data/", ""}, model}), "Gói ZIP chứa mục không được hỗ trợ."},
        {model_with(model_with(make_zip(two_files), 4, 0x031E, 2), 38, 0xA1FF0000, 4), unsafe_entry},  // Unix link
        {model_with(make_zip(two_files), 38, 0x420, 4), unsafe_entry},  // reparse point
        // The headers claim the listed size, the stream inflates to 3 bytes more.
        {model_with(longer, 24, 4000, 4), "Gói ZIP giải nén vượt kích thước manifest."},
    };
    for (const char* name : {"../Main.exe", "a/../Main.exe", "/Main.exe", "C:/Main.exe", "C:\\Main.exe"}) {
        cases.emplace_back(first_named(name), unknown_or_twice);  // no spelling is made the listed one
    }
    PackageCase whole(two_files, {{"Data/other.bmd", "other"}});  // what the package's own archive writes
    ASSERT_EQ(failure_of([&] { whole.extract(make_zip(two_files)); }), "(no failure)");
    const std::set<std::wstring> allowed = tree_of(whole.folder.path());
    for (size_t i = 0; i < std::size(cases); ++i) {
        PackageCase c(two_files, {{"Data/other.bmd", "other"}});
        EXPECT_EQ(failure_of([&] { c.extract(cases[i].first); }), cases[i].second) << "case " << i;
        EXPECT_EQ(file_info(staging_path(c.state, model.first)).size, 0u);
        for (const std::wstring& entry : tree_of(c.folder.path())) EXPECT_TRUE(allowed.count(entry));
    }
    // One byte past miniz's name buffer: its copy of the name would be exactly the listed path.
    std::string long_path = "Data/";
    for (int i = 0; i < 168; ++i) long_path += "ệ";
    PackageCase at_limit({{long_path + ".b", "model"}}, {main_exe});
    EXPECT_EQ(failure_of([&] { at_limit.extract(make_zip({{long_path + ".bx", "model"}})); }),
              "Gói ZIP chứa mục không được hỗ trợ.");
}

TEST(ZipPackage, StopDuringALargeEntryIsCancelledNotACrcFailure) {
    const Bodies files = {main_exe, {"Data/large.bin", std::string(2097152, 'q')}};
    PackageCase c(files);
    const auto stop = [&](const Progress& p) { p.done > 524288 ? c.cancel.cancel() : void(); };
    EXPECT_THROW(c.extract(make_zip(files), stop), Cancelled);
    const std::uint64_t partial = file_info(staging_path(c.state, "Data/large.bin")).size;
    EXPECT_TRUE(partial >= 524288 && partial < files[1].second.size()) << partial;
}

// ---- Random mutations ----------------------------------------------------

constexpr std::uint32_t seed = 20261206;
constexpr size_t rounds = 6000;

// Two names of one length, so that a copied name makes a twin: a body that takes
// several inflater pieces, then a small stored one. Main.exe is in no package.
const Bodies bodies = [] {
    std::string large;
    for (unsigned i = 0; large.size() < 70000; ++i) large += "Nhân vật " + std::to_string(i * 2654435761u % 997) + "\n";
    return Bodies{{"Vật/a1.bmd", large}, {"Vật/a2.bmd", std::string(200, 'z')}};
}();
const std::string base = make_zip(bodies, bodies[1].first);
const size_t central[] = {central_of(base, bodies[0].first), central_of(base, bodies[1].first)};
const size_t local[] = {local_of(base, bodies[0].first), local_of(base, bodies[1].first)};

// Overwrites 1, 2 or 4 bytes in the fixed part of a header (central ones twice as often) with a value that readers
// treat specially; or makes a name a twin of the other entry's (maybe in other case), or puts a separator, a forbidden
// character, a zero or broken UTF-8 in it, in the central header only or in both.
void mutate_header(std::string& zip, bool field, std::mt19937& random) {
    const size_t entry = random() % 2;
    if (field) {
        const std::pair<size_t, size_t> headers[] = {
            {central[entry], 46}, {central[entry], 46}, {local[entry], 30}, {base.rfind("PK\5\6"), 22}};
        const auto [header, size] = headers[random() % 4];
        const size_t width = size_t{1} << (random() % 3);
        const size_t at = header + random() % (size - width + 1);
        std::uint32_t old = 0;
        for (size_t i = 0; i < width; ++i) old |= std::uint32_t{static_cast<unsigned char>(zip[at + i])} << (8 * i);
        const std::uint32_t values[] = {0,          1,          old + 1,    old - 1,    0xFFFF, 0xFFFFFFFF,
                                        0x80000000, 0xA1FF0000, 0x00000400, 0x00000010, 0x0809, 12,
                                        8,          0x031E,     old ^ 0x20, old * 2,    random()};
        zip = patched(zip, at, values[random() % std::size(values)], width);
        return;
    }
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
        const unsigned kind = random() % 8;
        if (kind < 2) zip[at] = static_cast<char>(kind == 0 ? zip[at] ^ (1 << (random() % 8)) : random());
        else if (kind < 6) mutate_header(zip, kind < 4, random);
        else if (kind == 6) return zip.substr(0, at);  // the layout no longer holds: no second blow
        else return random() % 2 ? zip.insert(at, 1 + random() % 40, static_cast<char>(random()))
                                 : zip.erase(at, 1 + random() % 40);
    }
    return zip;
}

// Rounds are independent and share the parallel runner's threads, each worker in a sandbox of its own; every archive
// is made up front from the one seed, so no outcome depends on timing. Each round starts with none of the package's
// files staged, so what a round calls extracted was written by that round; anything written elsewhere stays and
// shows in the sandbox's tree at the end (under Wine each file or folder made or removed costs a millisecond or so).
TEST(ZipProperty, MutatedPackagesExtractCorrectlyOrFailWithoutStrayWrites) {
    std::cout << "zip property seed " << seed << ", " << rounds << " rounds\n";
    std::mt19937 random(seed);
    std::vector<std::string> archives{base};
    while (archives.size() < rounds) archives.push_back(mutate(base, random));
    std::vector<std::string> outcomes(rounds);
    std::vector<std::set<std::wstring>> trees(parallel_threads);
    run_parallel(parallel_threads, Cancel(), [&](size_t worker) {
        PackageCase c(bodies, {{"Main.exe", "main"}});
        for (size_t round = worker; round < rounds; round += parallel_threads) {
            std::string& outcome = outcomes[round] = failure_of([&] { c.extract(archives[round]); });
            for (const auto& [path, body] : bodies) {
                // Looking is cheap under Wine; a delete is three trips to its server.
                const std::filesystem::path staged = staging_path(c.state, path);
                const bool present = GetFileAttributesW(staged.c_str()) != INVALID_FILE_ATTRIBUTES;
                if (outcome == "(no failure)" && (!present || test::read_bytes(staged) != body)) outcome = "differs";
                if (present) DeleteFileW(staged.c_str());
            }
        }
        trees[worker] = tree_of(c.folder.path());
    });
    const std::wstring state = L"client/.qorn-launcher";
    for (const std::set<std::wstring>& tree : trees) {
        EXPECT_EQ(tree, (std::set<std::wstring>{L"client", state, state + L"/downloads", state + L"/downloads/p1.zip",
                                                 state + L"/staging", state + L"/staging/Vật"}));
    }
    const std::set<std::string> ordinary = {
        "(no failure)", "Gói ZIP tải về không hợp lệ.", "Số file trong gói ZIP không đúng manifest.",
        "Không đọc được mục trong ZIP.", "Gói ZIP chứa mục không được hỗ trợ.", "Gói ZIP chứa file lạ hoặc trùng tên.",
        "File trong ZIP có thuộc tính/kích thước không an toàn.", "Gói ZIP giải nén vượt kích thước manifest.",
        "Giải nén ZIP thất bại hoặc sai CRC.", "Chuỗi UTF-8 không hợp lệ."};
    for (size_t round = 0; round < rounds; ++round) {
        if (!ordinary.count(outcomes[round])) FAIL() << "seed " << seed << " round " << round << ": " + outcomes[round];
    }
    EXPECT_GT(std::count(outcomes.begin(), outcomes.end(), "(no failure)"), 1);
}

}  // namespace
}  // namespace qorn
