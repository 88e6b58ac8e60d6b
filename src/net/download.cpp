#include "net/download.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "net/header_numbers.hpp"

#include <chrono>
#include <thread>
#include <vector>

namespace qorn {
namespace {

constexpr std::int32_t download_timeout_ms = 45000;
constexpr std::uint32_t buffer_size = 131072;
constexpr int attempts = 3;
constexpr int retry_step_ms = 300;
constexpr int stop_poll_ms = 50;

struct Target {
    std::wstring_view url;
    const std::filesystem::path& path;
    std::uint64_t size;
    std::string_view sha256;
    const ByteCallback& total;
    const ByteCallback& piece;
};

[[noreturn]] void fail_and_delete(const std::filesystem::path& path, const char* message) {
    delete_file(path);
    throw std::runtime_error(message);
}

// A 206 must continue exactly at our offset and describe the file we expect.
void require_content_range(const HttpResponse& response, const Target& target, std::uint64_t offset) {
    const auto range = parse_content_range(response.header(L"Content-Range"));
    if (!range || range->first != offset || range->total != target.size || range->last >= target.size) {
        fail_and_delete(target.path, "Hosting trả sai vị trí HTTP Range.");
    }
}

void require_content_length(const HttpResponse& response, std::uint64_t expected) {
    const std::wstring value = response.header(L"Content-Length");
    if (value.empty()) return;
    const auto length = parse_decimal(value);
    require(length && *length == expected, "Hosting trả sai kích thước file.");
}

// Writes the body after offset; answers the offset reached when the body ended.
std::uint64_t receive_body(HttpResponse& response, HANDLE file, const Target& target, std::uint64_t offset) {
    std::vector<char> buffer(buffer_size);
    for (;;) {
        const std::uint32_t got = response.read_some(buffer.data(), buffer_size);
        if (got == 0) return offset;
        // Checked before writing: nothing past the expected size reaches the disk.
        require(got <= target.size - offset, "Dữ liệu tải vượt kích thước manifest.");
        write_all(file, std::string_view(buffer.data(), got));
        if (target.piece) target.piece(got);
        offset += got;
        if (target.total) target.total(offset);
    }
}

FileInfo attempt(Network& network, const Target& target) {
    Cancel& cancel = network.cancel();
    cancel.check();
    const FileInfo existing = file_info(target.path);
    std::uint64_t offset = existing.exists ? existing.size : 0;
    if (offset >= target.size) {
        // Not the verified file (that was checked first), so nothing of it is usable.
        delete_file(target.path);
        offset = 0;
    }
    const std::wstring range = offset > 0 ? L"Range: bytes=" + std::to_wstring(offset) + L"-\r\n" : L"";
    const auto response = network.request(target.url, L"GET", range, download_timeout_ms);
    const std::uint32_t status = response->status();
    if (status == 416) fail_and_delete(target.path, "Hosting yêu cầu tải lại file.");
    if (status == 206) {
        require_content_range(*response, target, offset);
    } else if (status == 200) {
        offset = 0;  // the whole file comes again
    } else {
        throw std::runtime_error("Tải file thất bại, HTTP " + std::to_string(status));
    }
    require_content_length(*response, target.size - offset);
    {
        UniqueHandle file = open_write(target.path, offset > 0);
        if (target.total) target.total(offset);
        offset = receive_body(*response, file.get(), target, offset);
        if (!FlushFileBuffers(file.get())) {
            const DWORD code = GetLastError();
            throw_windows_error("Không lưu được dữ liệu tải dở", code);
        }
    }
    require(offset == target.size, "Dữ liệu tải bị ngắt trước khi hoàn tất.");
    const std::optional<FileInfo> verified = matching_file(target.path, target.size, target.sha256, cancel);
    if (!verified) fail_and_delete(target.path, "File tải về sai SHA-256.");
    return *verified;
}

// The pause before another attempt, cut short by a stop.
void wait_before_retry(const Cancel& cancel, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += stop_poll_ms) {
        cancel.check();
        std::this_thread::sleep_for(std::chrono::milliseconds(stop_poll_ms));
    }
    cancel.check();
}

}  // namespace

FileInfo download_file(Network& network, std::wstring_view url, const std::filesystem::path& destination,
                       std::uint64_t size, std::string_view sha256, const ByteCallback& total,
                       const ByteCallback& piece) {
    require_same_host(url, network.manifest_url());
    Cancel& cancel = network.cancel();
    if (const std::optional<FileInfo> verified = matching_file(destination, size, sha256, cancel)) {
        if (total) total(size);
        return *verified;
    }
    const Target target{url, destination, size, sha256, total, piece};
    for (int number = 0;; ++number) {
        try {
            return attempt(network, target);
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception&) {
            cancel.check();  // a stop that broke the attempt is reported as the stop
            if (number == attempts - 1) throw;
        }
        wait_before_retry(cancel, (number + 1) * retry_step_ms);
    }
}

}  // namespace qorn
