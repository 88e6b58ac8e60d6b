// Parses and validates a 200,000-file manifest. Run once with "--generate FILE"
// to write the manifest, then with "FILE" alone, so that the measured process
// holds nothing but the text and what parsing builds from it.
#include "bench_support.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "release/manifest.hpp"

#include <cstdio>
#include <string>

using nlohmann::json;

namespace {

const std::wstring manifest_url = L"https://update.qorn.tv/api/manifest";
constexpr int file_count = 200000;

std::string client_path_of(int i) {
    static const char* const folders[] = {"Data/Nhân vật/Giáp", "Data/Bản đồ/Làng", "Data/Quái vật/Rồng",
                                          "Data/Hiệu ứng/Phép", "Data/Âm thanh/Nhạc"};
    return std::string(folders[i % 5]) + std::to_string(i / 997) + "/Tệp " + std::to_string(i) +
           (i % 3 == 0 ? ".bmd" : i % 3 == 1 ? ".ozj" : ".wav");
}

int generate(const std::wstring& file) {
    json files = json::array();
    json packages = json::array();
    const int per_package = file_count / 4;
    for (int i = 0; i < file_count; ++i) {
        const std::string path = i == 0 ? "Main.exe" : client_path_of(i);
        const std::string digest = qorn::sha256_hex(std::to_string(i));
        files.push_back({{"path", path},
                         {"size", 1000 + i * 37},
                         {"sha256", digest},
                         {"url", "https://update.qorn.tv/f/" + digest.substr(0, 16)}});
        if (i % per_package == 0) {
            packages.push_back({{"url", "https://update.qorn.tv/packages/" + std::to_string(i / per_package) + ".zip"},
                                {"size", 1 << 30},
                                {"sha256", qorn::sha256_hex("package" + std::to_string(i))},
                                {"files", json::array()}});
        }
        packages.back()["files"].push_back(path);
    }
    const json manifest = {{"schemaVersion", 1}, {"releaseId", "2026.12.06-1"}, {"files", files}, {"packages", packages}};
    qorn::write_file_atomic(file, manifest.dump());
    return 0;
}

int measure(const std::wstring& file) {
    using qorn::bench::seconds_now;
    const std::string text = qorn::read_file_limited(file, qorn::manifest_text_limit);

    double start = seconds_now();
    { const json parsed = json::parse(text, nullptr, true, false); }
    const double json_only = seconds_now() - start;

    start = seconds_now();
    const qorn::Manifest manifest = qorn::parse_manifest(text, manifest_url);
    const double whole = seconds_now() - start;
    const std::uint64_t peak = qorn::bench::peak_working_set();

    using qorn::bench::fixed;
    std::printf("## Manifest parse and validation\n\n");
    std::printf("%zu files, %zu packages, %s of text.\n\n", manifest.files.size(), manifest.packages.size(),
                qorn::bench::mib(text.size()).c_str());
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| parse and validate (`parse_manifest`) | %s s |\n", fixed(whole, 2).c_str());
    std::printf("| reference: JSON parse alone | %s s |\n", fixed(json_only, 2).c_str());
    std::printf("| whole / JSON parse alone | %s |\n", fixed(whole / json_only, 2).c_str());
    std::printf("| share in JSON parsing (estimate) | %s %% |\n", fixed(100.0 * json_only / whole, 0).c_str());
    std::printf("| peak working set | %s |\n", qorn::bench::mib(peak).c_str());
    std::printf("| peak working set / text size | %s |\n\n", fixed(double(peak) / double(text.size()), 1).c_str());
    std::printf("Targets: under 2.5 s; peak working set under 10 times the text size.\n\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 3 && std::wstring(argv[1]) == L"--generate") return generate(argv[2]);
        if (argc == 2) return measure(argv[1]);
        std::fprintf(stderr, "usage: manifest_bench [--generate] FILE\n");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "manifest_bench: %s\n", failure.what());
    }
    return 1;
}
