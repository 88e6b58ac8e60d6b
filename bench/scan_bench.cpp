// Scan benchmarks. "quick DIR": 20,000 files whose cache members all agree are
// checked after their bytes were changed behind the cache's back (same size, same
// time), so a clean result proves that none was read. "full DIR": about 1 GiB in 200 files is hashed, against the
// ceiling of the machine's SHA-256 on two threads over in-memory buffers.
#include "bench_support.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "state/scan.hpp"

#include <cstdio>
#include <thread>

using nlohmann::json;
using qorn::bench::fixed;
using qorn::bench::seconds_now;

namespace {

const std::wstring manifest_url = L"http://127.0.0.1:8080/api/manifest";

qorn::Manifest write_release(const qorn::State& state, int count, size_t size) {
    json files = json::array();
    std::string body(size, '\0');
    for (int i = 0; i < count; ++i) {
        for (size_t b = 0; b < body.size(); b += 4096) body[b] = static_cast<char>(i + b / 4096);
        const std::string path = i == 0 ? "Main.exe" : "Data/Nhóm " + std::to_string(i % 50) + "/Tệp " + std::to_string(i);
        const auto file = state.root() / std::filesystem::path(qorn::to_wide(path));
        std::filesystem::create_directories(file.parent_path());
        qorn::UniqueHandle out = qorn::open_write(file, false);
        qorn::write_all(out.get(), body);
        const std::string digest = qorn::sha256_hex(body);
        files.push_back({{"path", path}, {"size", size}, {"sha256", digest}, {"url", "http://127.0.0.1:8080/f/" + digest}});
    }
    return qorn::manifest_from_json({{"schemaVersion", 1}, {"releaseId", "bench"}, {"files", files}}, manifest_url);
}

int quick(const std::wstring& folder) {
    const qorn::State state(folder);
    const qorn::Manifest manifest = write_release(state, 20000, 1024);
    qorn::Cancel cancel;
    qorn::scan(state, manifest, true, nullptr, cancel, {}, qorn::Stage::checking);  // fills the cache

    // Every file gets other bytes of the same size and its old time back: a scan that
    // read any file would find it different. (Holding 20,000 files open would pass the
    // descriptor limit that Wine's server runs under here.)
    for (const qorn::ClientFile& file : manifest.files) {
        const auto path = state.root() / std::filesystem::path(qorn::to_wide(file.path));
        qorn::UniqueHandle out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME written{};
        GetFileTime(out.get(), nullptr, nullptr, &written);
        qorn::write_all(out.get(), std::string(file.size, '#'));
        SetFileTime(out.get(), nullptr, nullptr, &written);
    }
    double start = seconds_now();
    for (const qorn::ClientFile& file : manifest.files) {
        qorn::file_info(state.root() / std::filesystem::path(qorn::to_wide(file.path)));
    }
    const double reference = seconds_now() - start;
    start = seconds_now();
    const auto missing = qorn::scan(state, manifest, false, nullptr, cancel, {}, qorn::Stage::checking);
    const double elapsed = seconds_now() - start;

    std::printf("## Quick scan of an up-to-date client\n\n");
    std::printf("20,000 files of 1 KiB whose cache members agree. Before the scan every file was given other\n"
                "bytes of the same size and its old time back, so a scan that read any file would report it.\n\n");
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| quick scan | %s s (%zu files found different) |\n", fixed(elapsed, 2).c_str(), missing.size());
    std::printf("| reference: one attribute read per file | %s s |\n", fixed(reference, 2).c_str());
    std::printf("| scan / reference | %s |\n\n", fixed(elapsed / reference, 2).c_str());
    std::printf("Target: under 2 s.\n\n");
    return missing.empty() ? 0 : 1;
}

double hash_ceiling(size_t bytes_per_thread) {
    const std::string buffer(131072, 'x');
    const double start = seconds_now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            qorn::Sha256 hash;
            for (size_t done = 0; done < bytes_per_thread; done += buffer.size()) hash.add(buffer);
            hash.finish();
        });
    }
    for (auto& thread : threads) thread.join();
    return 2.0 * static_cast<double>(bytes_per_thread) / (seconds_now() - start);
}

int full(const std::wstring& folder) {
    const qorn::State state(folder);
    const size_t size = 5 * 1048576 + 123;
    const qorn::Manifest manifest = write_release(state, 200, size);
    const double total = 200.0 * size;
    const double ceiling = hash_ceiling(static_cast<size_t>(total / 2));
    qorn::Cancel cancel;
    const double start = seconds_now();
    const auto missing = qorn::scan(state, manifest, true, nullptr, cancel, {}, qorn::Stage::checking);
    const double rate = total / (seconds_now() - start);
    const double mib = 1048576.0;

    std::printf("## Full scan\n\n200 files, %s in all, every file hashed (four worker threads).\n\n",
                qorn::bench::mib(static_cast<std::uint64_t>(total)).c_str());
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| full scan throughput | %s MiB/s (%zu files found different) |\n", fixed(rate / mib, 0).c_str(),
                missing.size());
    std::printf("| reference: SHA-256 on two threads over memory | %s MiB/s |\n", fixed(ceiling / mib, 0).c_str());
    std::printf("| scan / reference | %s %% |\n", fixed(100.0 * rate / ceiling, 0).c_str());
    std::printf("| peak working set | %s |\n\n", qorn::bench::mib(qorn::bench::peak_working_set()).c_str());
    std::printf("Target: at least 85 %% of the reference; memory flat whatever the file sizes.\n\n");
    return missing.empty() ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 3 && std::wstring(argv[1]) == L"quick") return quick(argv[2]);
        if (argc == 3 && std::wstring(argv[1]) == L"full") return full(argv[2]);
        std::fprintf(stderr, "usage: scan_bench quick|full FOLDER\n");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "scan_bench: %s\n", failure.what());
    }
    return 1;
}
