// Hostile manifests: random mutations of valid ones must end in a Manifest or an exception, never a crash or a hang,
// and whatever is accepted must really obey the rules, checked here without the parser's own helpers.
#include "core/text.hpp"
#include "release/manifest.hpp"
#include "release/manifest_fixture.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>

namespace qorn {
namespace {

using nlohmann::json;

constexpr std::uint32_t seed = 20261206;
constexpr int rounds = 40000;

// A plain release, one in two packages, and one that offers a launcher and has a third file.
std::vector<json> base_manifests() {
    std::vector<json> bases(3, test::valid_manifest());
    bases[1]["packages"] =
        json::array({test::package_entry({"Main.exe"}), test::package_entry({"Data/nhân vật/a.bmd"}, "p2")});
    bases[2]["launchers"] = json::array({{{"runtime", "win-x64"}, {"version", "2.0.9.0"}, {"size", 1000},
                                          {"sha256", std::string(64, 'b')}, {"url", test::host + "/launchers/b.exe"}}});
    bases[2]["files"].push_back(test::file_entry("Data/Âm thanh/Nhạc 1.wav", 7, "nhạc 01"));
    return bases;
}

const std::vector<std::string> splices = {
    "..", "/..", "../", "CON", "nul.txt", "COM\xC2\xB9", "LPT3", "Updater.exe", ".qorn-launcher/", "\xFF", "\xC3",
    "\xED\xA0\x80", "\"", "\\", ":", "*", "\t", "{", "}", "[", "]", ",", "1e400", "-1", "18446744073709551616",
    "9223372036854775808", "0.5", "null", "true", "\"\"", "#x", "http://evil.example/", "https://127.0.0.1/",
    std::string(64, 'A'), "//", " ", ".", "\\u0000", "\\ud800"};

std::string mutate_text(std::string text, std::mt19937& random) {
    const size_t at = std::uniform_int_distribution<size_t>(0, text.size())(random);
    const std::string& splice = splices[random() % splices.size()];
    const size_t depth = 1 + random() % 3000;
    const unsigned blow = random() % 10;
    if (blow == 0 && !text.empty()) text[at % text.size()] ^= static_cast<char>(1 << (random() % 8));
    if (blow == 1) text.resize(at);
    if (blow == 2) text.replace(at, random() % 8, splice);
    // Deep nesting is costly to build and tear down, so it is one blow in ten.
    if (blow == 3) text.insert(at, std::string(depth, '[') + std::string(random() % 2 ? depth : 0, ']'));
    if (blow >= 4 && blow <= 6 && !text.empty()) text[at % text.size()] = static_cast<char>(random());
    if (blow >= 7) text.insert(at, splice);
    return text;
}

std::string mutate_structure(json document, std::mt19937& random) {
    json& files = document["files"];
    json& entry = files[random() % files.size()];
    const std::string& splice = splices[random() % splices.size()];
    const char* const sizes[] = {"1.0", "\"3\"", "-4", "9223372036854775807", "9223372036854775808"};
    const char* const members[] = {"schemaVersion", "releaseId", "files", "packages"};
    switch (random() % 8) {
        case 0: entry["path"] = entry["path"].get<std::string>() + splice; break;
        case 1: files.push_back(files[random() % files.size()]); break;  // a file twice
        case 2: std::swap(files[0], files.back()), entry["path"] = splice + "/Main.exe"; break;
        case 3: entry["size"] = json::parse(sizes[random() % 5]); break;
        case 4: entry["url"] = splice + entry["url"].get<std::string>(); break;
        case 5: document["directories"].push_back(files[random() % files.size()]["path"]); break;
        case 6: files.push_back(test::file_entry(entry["path"].get<std::string>() + "/x")); break;  // under a file
        default: document.erase(members[random() % 4]);
    }
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::wstring upper(std::wstring text) { return CharUpperBuffW(text.data(), static_cast<DWORD>(text.size())), text; }

// An independent reading of the path rule, sharing nothing with the parser.
bool path_obeys_rules(const std::wstring& path) {
    if (path.empty() || path.size() > 230) return false;
    for (size_t start = 0, slash = 0; slash != std::wstring::npos; start = slash + 1) {
        slash = path.find(L'/', start);
        const std::wstring segment = path.substr(start, slash == std::wstring::npos ? slash : slash - start);
        if (segment.empty() || segment.back() == L'.' || segment.back() == L' ') return false;
        if (std::any_of(segment.begin(), segment.end(), [](wchar_t c) { return c < 32 || wcschr(L"\\:<>\"|?*", c); })) {
            return false;
        }
        static const std::wregex reserved(L"CON|NUL|PRN|AUX|(COM|LPT)[0-9\u00B9\u00B2\u00B3]");
        if (std::regex_match(upper(segment.substr(0, segment.find(L'.'))), reserved)) return false;
    }
    return true;
}

void expect_rules_hold(const Manifest& manifest) {
    std::set<std::wstring> keys;
    for (const ClientFile& file : manifest.files) {
        EXPECT_TRUE(path_obeys_rules(to_wide(file.path)) && keys.insert(upper(to_wide(file.path))).second) << file.path;
        EXPECT_TRUE(file.sha256.size() == 64 && file.sha256.find_first_not_of("0123456789abcdef") == std::string::npos);
        // Same scheme, host and port, no fragment; Wine's URL cracker also takes "54321x/..." as port 54321.
        const std::wstring url = upper(to_wide(file.url));
        EXPECT_TRUE(url.starts_with(L"HTTP://127.0.0.1:54321") && !iswdigit(url[22]) && url.find(L'#') == url.npos)
            << file.url;
    }
    EXPECT_TRUE(keys.count(L"MAIN.EXE"));
    for (const std::wstring& key : keys) {  // no file where a folder must be
        for (size_t slash = key.find(L'/'); slash != key.npos; slash = key.find(L'/', slash + 1)) {
            EXPECT_FALSE(keys.count(key.substr(0, slash))) << to_utf8(key);
        }
    }
    for (const std::string& directory : manifest.directories) {
        EXPECT_TRUE(path_obeys_rules(to_wide(directory)) && !keys.count(upper(to_wide(directory)))) << directory;
    }
}

TEST(ManifestProperty, MutatedManifestsAreRefusedOrObeyTheRules) {
    std::mt19937 random(seed);
    const std::vector<json> bases = base_manifests();
    int accepted = 0;
    for (int round = 0; round < rounds; ++round) {
        const json& base = bases[random() % bases.size()];
        std::string text = random() % 2 ? mutate_text(base.dump(), random) : mutate_structure(base, random);
        if (random() % 4 == 0) text = mutate_text(text, random);  // sometimes a second blow
        try {
            expect_rules_hold(parse_manifest(text, test::manifest_url));
            ++accepted;
        } catch (const std::exception&) {  // refused: fine
        }
        if (HasFailure()) FAIL() << "seed " << seed << " round " << round << ": " << text.substr(0, 2000);
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace qorn
