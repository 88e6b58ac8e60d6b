// Reads a large file from the update-host tool on loopback with a bare WinHTTP
// loop (the ceiling WinHTTP itself sets), downloads it through download_file,
// then downloads it again with the connection cut at 60 %, through a
// relay on RELAY_PORT that counts the bytes on the wire. Prints key=value lines;
// scripts/bench starts host and relay, times curl, and writes the section.
// Usage: download_bench PORT RELAY_PORT SHA256 SIZE WORK_FOLDER FAULTS_FILE
#include "bench_support.hpp"
#include "core/cancel.hpp"
#include "core/files.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "net/download.hpp"
#include "net/winhttp_calls.hpp"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using qorn::bench::fixed;
using qorn::bench::seconds_now;

struct Arguments {
    std::uint16_t port;
    std::uint16_t relay_port;
    std::string sha256;
    std::uint64_t size;
    std::filesystem::path work;
    std::filesystem::path faults;
};

std::wstring url_at(std::uint16_t port, std::string_view path) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + qorn::to_wide(path);
}

// The ceiling WinHTTP itself sets: the same request read in the same 128 KiB
// pieces into nothing, without the launcher's checks and without the disk.
double bare_winhttp_seconds(const Arguments& a) {
    const double start = seconds_now();
    qorn::UniqueInternet session(
        WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    qorn::UniqueInternet connection(WinHttpConnect(session.get(), L"127.0.0.1", a.port, 0));
    const std::wstring path = qorn::to_wide("/files/" + a.sha256);
    qorn::UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                    WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        throw std::runtime_error("bare WinHTTP request failed");
    }
    std::vector<char> buffer(131072);
    std::uint64_t total = 0;
    for (DWORD got = 1; got > 0; total += got) {
        if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
            throw std::runtime_error("bare WinHTTP read failed");
        }
    }
    if (total != a.size) throw std::runtime_error("bare WinHTTP read a short body");
    return seconds_now() - start;
}

struct Whole {
    double transfer_seconds = 0;  // request to the last byte written
    double total_seconds = 0;     // with the flush and the final digest pass
    std::uint64_t peak = 0;
    std::uint64_t before = 0;
};

Whole measure_whole(const Arguments& a) {
    Whole result;
    result.before = qorn::bench::peak_working_set();
    qorn::Cancel cancel;
    qorn::Network network(url_at(a.port, "/api/manifest"), cancel);
    const std::filesystem::path destination = a.work / L"launcher.bin";
    const double start = seconds_now();
    double last_byte = start;
    qorn::download_file(network, url_at(a.port, "/files/" + a.sha256), destination, a.size, a.sha256,
                        [&](std::uint64_t total) {
                            if (total == a.size) last_byte = seconds_now();
                        },
                        {});
    result.total_seconds = seconds_now() - start;
    result.transfer_seconds = last_byte - start;
    result.peak = qorn::bench::peak_working_set();
    qorn::delete_file(destination);
    return result;
}

struct Resume {
    std::uint64_t cut = 0;
    std::uint64_t resumed_at = 0;
};

Resume measure_resume(const Arguments& a) {
    Resume result;
    result.cut = a.size * 6 / 10;
    qorn::write_file_atomic(
        a.faults, "{\"/files/" + a.sha256 + "\": {\"cutAfter\": " + std::to_string(result.cut) + ", \"times\": 1}}");
    const std::filesystem::path destination = a.work / L"resumed.bin";
    qorn::Cancel cancel;
    qorn::Network network(url_at(a.relay_port, "/api/manifest"), cancel);
    std::uint64_t previous = 0;
    qorn::download_file(network, url_at(a.relay_port, "/files/" + a.sha256), destination, a.size, a.sha256,
                        [&](std::uint64_t total) {
                            if (previous > 0 && total <= previous)
                                result.resumed_at = total;  // the next attempt starts here
                            previous = total;
                        },
                        {});
    qorn::delete_file(destination);
    qorn::write_file_atomic(a.faults, "{}");
    return result;
}

void print(double bare_seconds, const Whole& whole, const Resume& resume) {
    std::printf("transfer_seconds=%s\n", fixed(whole.transfer_seconds, 3).c_str());
    std::printf("total_seconds=%s\n", fixed(whole.total_seconds, 3).c_str());
    std::printf("bare_winhttp_seconds=%s\n", fixed(bare_seconds, 3).c_str());
    std::printf("working_set_before=%llu\n", static_cast<unsigned long long>(whole.before));
    std::printf("peak_working_set=%llu\n", static_cast<unsigned long long>(whole.peak));
    std::printf("cut_at=%llu\n", static_cast<unsigned long long>(resume.cut));
    std::printf("resumed_at=%llu\n", static_cast<unsigned long long>(resume.resumed_at));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc != 7) {
            std::fprintf(stderr, "usage: download_bench PORT RELAY_PORT SHA256 SIZE WORK_FOLDER FAULTS_FILE\n");
            return 1;
        }
        const Arguments arguments{static_cast<std::uint16_t>(std::stoul(argv[1])),
                                  static_cast<std::uint16_t>(std::stoul(argv[2])),
                                  qorn::to_utf8(argv[3]),
                                  std::stoull(argv[4]),
                                  argv[5],
                                  argv[6]};
        const double bare_seconds = bare_winhttp_seconds(arguments);
        const Whole whole = measure_whole(arguments);
        const Resume resume = measure_resume(arguments);
        print(bare_seconds, whole, resume);
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "download_bench: %s\n", failure.what());
    }
    return 1;
}
