// Apply benchmark: COUNT files of SIZE bytes, every one replaced. "prepare DIR COUNT
// SIZE" writes the installed client and the staged release; "apply DIR COUNT SIZE"
// times the transaction and samples the free disk space meanwhile, so the peak extra
// use can be set against the need the disk-space check computed.
#include "bench_support.hpp"
#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "state/records.hpp"
#include "update/apply.hpp"

#include <atomic>
#include <cstdio>
#include <thread>

using nlohmann::json;

namespace {

const std::wstring manifest_url = L"http://127.0.0.1:8080/api/manifest";
int file_count = 0;
size_t file_size = 0;

std::string path_of(int i) { return i == 0 ? "Main.exe" : "Data/Nhóm " + std::to_string(i % 40) + "/Tệp " + std::to_string(i); }

qorn::Manifest release(const std::string& id, char fill) {
    json files = json::array();
    const std::string digest = qorn::sha256_hex(std::string(file_size, fill));
    for (int i = 0; i < file_count; ++i) {
        files.push_back({{"path", path_of(i)}, {"size", file_size}, {"sha256", digest}, {"url", "http://127.0.0.1:8080/f/x"}});
    }
    return qorn::manifest_from_json({{"schemaVersion", 1}, {"releaseId", id}, {"files", files}}, manifest_url);
}

void write_tree(const std::filesystem::path& root, char fill) {
    const std::string body(file_size, fill);
    for (int i = 0; i < file_count; ++i) {
        qorn::UniqueHandle out = qorn::open_write(root / std::filesystem::path(qorn::to_wide(path_of(i))), false);
        qorn::write_all(out.get(), body);
    }
}

std::uint64_t free_bytes(const std::filesystem::path& path) {
    ULARGE_INTEGER available{};
    GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr);
    return available.QuadPart;
}

int prepare(const std::wstring& folder) {
    const qorn::State state(folder);
    write_tree(state.root(), 'a');
    qorn::write_file_atomic(state.file("installed.json"), release("old", 'a').text);
    write_tree(state.file("staging"), 'b');
    return 0;
}

int run_apply(const std::wstring& folder) {
    const qorn::State state(folder);
    const qorn::Manifest next = release("new", 'b');
    const std::uint64_t need = 67108864ULL + std::uint64_t(file_count) * file_size;
    const std::uint64_t before = free_bytes(state.root());
    std::atomic<bool> running{true};
    std::atomic<std::uint64_t> lowest{before};
    std::thread sampler([&] {
        while (running) {
            const std::uint64_t now = free_bytes(state.root());
            if (now < lowest) lowest = now;
            Sleep(5);
        }
    });
    qorn::Cancel cancel;
    const std::optional<qorn::Manifest> installed = qorn::read_installed(state, manifest_url);
    const double start = qorn::bench::seconds_now();
    try {
        qorn::apply(state, next, next.files, installed ? &*installed : nullptr, manifest_url, cancel, {}, nullptr);
    } catch (...) {
        running = false;
        sampler.join();
        throw;
    }
    const double elapsed = qorn::bench::seconds_now() - start;
    running = false;
    sampler.join();
    std::printf("apply_seconds=%.3f\nneed_bytes=%llu\npeak_extra_bytes=%llu\n", elapsed,
                static_cast<unsigned long long>(need), static_cast<unsigned long long>(before - lowest));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 5) {
            file_count = std::stoi(argv[3]);
            file_size = std::stoull(argv[4]);
            if (std::wstring(argv[1]) == L"prepare") return prepare(argv[2]);
            if (std::wstring(argv[1]) == L"apply") return run_apply(argv[2]);
        }
        std::fprintf(stderr, "usage: apply_bench prepare|apply FOLDER COUNT SIZE\n");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "apply_bench: %s\n", failure.what());
    }
    return 1;
}
