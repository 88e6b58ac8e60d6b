#include "core/files.hpp"

#include "core/text.hpp"

#include <algorithm>
#include <vector>

namespace qorn {
namespace {

constexpr DWORD read_chunk = 65536;
constexpr DWORD copy_chunk = 131072;
constexpr size_t stream_chunk = 1048576;
constexpr size_t largest_write = 1048576;

std::uint64_t combine(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

void flush(HANDLE file, std::string_view context) {
    if (!FlushFileBuffers(file)) {
        const DWORD code = GetLastError();
        throw_windows_error(context, code);
    }
}

}  // namespace

bool is_absent_error(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

FileInfo file_info(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        if (is_absent_error(code)) return {};
        throw_windows_error("Không đọc được thông tin file", code);
    }
    FileInfo info;
    info.exists = true;
    info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.size = combine(data.nFileSizeHigh, data.nFileSizeLow);
    info.modified_ticks =
        combine(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime) + file_time_to_ticks;
    return info;
}

void refuse_link(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (is_absent_error(code)) return;
        throw_windows_error("Không kiểm tra được đường dẫn", code);
    }
    require((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
            "Không chấp nhận liên kết thư mục/file: " + path_text(path));
}

bool running_under_wine() {
    static const bool wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

void refuse_links_up(const std::filesystem::path& path, const std::filesystem::path& top) {
    std::filesystem::path current = std::filesystem::absolute(path).lexically_normal();
    const std::filesystem::path last = std::filesystem::absolute(top).lexically_normal();
    const bool judge_above = !running_under_wine();
    for (;;) {
        refuse_link(current);
        if (!judge_above && current == last) break;
        std::filesystem::path parent = current.parent_path();
        if (parent.empty() || parent == current) break;
        current = std::move(parent);
    }
}

UniqueHandle open_read(const std::filesystem::path& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        throw_windows_error("Không mở được file " + file_name_text(path), code);
    }
    // Only the attributes are needed; the basic class costs far less than the full
    // information (which also gathers volume and link data), and every hashed file comes here.
    FILE_BASIC_INFO information{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &information, sizeof information)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không kiểm tra được thuộc tính file", code);
    }
    require((information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
            "Không chấp nhận liên kết file: " + path_text(path));
    return file;
}

UniqueHandle open_write(const std::filesystem::path& path, bool append) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        throw_windows_error("Không ghi được file " + file_name_text(path), code);
    }
    if (append) {
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không tiếp tục được file tải dở", code);
        }
    }
    return file;
}

void write_all(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD piece = static_cast<DWORD>(std::min(bytes.size(), largest_write));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), piece, &written, nullptr) || written == 0) {
            const DWORD code = GetLastError();
            throw_windows_error("Không ghi đủ dữ liệu xuống đĩa", code);
        }
        bytes.remove_prefix(written);
    }
}

std::string read_file_limited(const std::filesystem::path& path, std::uint64_t limit) {
    const FileInfo info = file_info(path);
    require(info.exists && !info.is_directory && info.size <= limit, "File trạng thái sai kích thước.");
    UniqueHandle file = open_read(path);
    std::string bytes;
    if (info.size >= 16) bytes.reserve(static_cast<size_t>(info.size));
    std::vector<char> chunk(read_chunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), chunk.data(), read_chunk, &got, nullptr)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không đọc được dữ liệu", code);
        }
        if (got == 0) return bytes;
        require(bytes.size() + got <= limit, "File vượt giới hạn kích thước.");
        bytes.append(chunk.data(), got);
    }
}

nlohmann::json read_json_file(const std::filesystem::path& path, std::uint64_t limit) {
    return parse_json(read_file_limited(path, limit));
}

void write_file_atomic(const std::filesystem::path& path, std::string_view bytes, const std::filesystem::path& top) {
    write_file_streamed(path, [&](const ByteSink& sink) { sink(bytes); }, top);
}

void write_file_streamed(const std::filesystem::path& path, const std::function<void(const ByteSink&)>& produce,
                         const std::filesystem::path& top) {
    refuse_links_up(path, top.empty() ? std::filesystem::absolute(path).root_path() : top);
    std::filesystem::path temporary = path;
    temporary += L".new";
    refuse_link(temporary);
    {
        UniqueHandle file = open_write(temporary, false);
        std::string pending;  // small pieces go out together; large ones as they come
        const ByteSink sink = [&](std::string_view piece) {
            if (pending.size() + piece.size() < stream_chunk) {
                pending += piece;
                return;
            }
            write_all(file.get(), pending);
            pending.clear();
            write_all(file.get(), piece);
        };
        produce(sink);
        write_all(file.get(), pending);
        flush(file.get(), "Không lưu được dữ liệu xuống đĩa");
    }
    move_replace(temporary, path);
}

void write_json_file(const std::filesystem::path& path, const nlohmann::json& value, JsonStyle style,
                     const std::filesystem::path& top) {
    write_file_atomic(path, json_text(value, style), top);
}

void copy_file(const std::filesystem::path& source, const std::filesystem::path& target,
               const std::function<void(std::uint64_t)>& progress) {
    UniqueHandle input = open_read(source);
    UniqueHandle output = open_write(target, false);
    std::vector<char> chunk(copy_chunk);
    std::uint64_t copied = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input.get(), chunk.data(), copy_chunk, &got, nullptr)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không sao lưu được file", code);
        }
        if (got == 0) {
            flush(output.get(), "Không lưu được bản sao lưu");
            return;
        }
        write_all(output.get(), std::string_view(chunk.data(), got));
        copied += got;
        if (progress) progress(copied);
    }
}

void move_replace(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không thay được file. Hãy đóng Main hoặc ứng dụng đang sử dụng file", code);
    }
}

void delete_file(const std::filesystem::path& path) {
    refuse_link(path);
    if (!DeleteFileW(path.c_str())) {
        const DWORD code = GetLastError();
        if (is_absent_error(code)) return;
        throw_windows_error("Không xóa được file", code);
    }
}

DWORD make_writable(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (is_absent_error(code)) return 0;
        throw_windows_error("Không kiểm tra được đường dẫn", code);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không bỏ được thuộc tính chỉ đọc của file " + file_name_text(path), code);
    }
    return attributes;
}

void require_disk_space(const std::filesystem::path& path, std::uint64_t need) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) {
        const DWORD code = GetLastError();
        throw_windows_error("Không kiểm tra được dung lượng đĩa", code);
    }
    require(available.QuadPart >= need, "Không đủ dung lượng đĩa. Cần thêm khoảng " + std::to_string(need / 1048576) +
                                            " MB để cập nhật an toàn.");
}

std::uint64_t add_size(std::uint64_t total, std::uint64_t n) {
    require(n <= size_limit && total <= size_limit - n, "Tổng dung lượng bản phát hành vượt giới hạn.");
    return total + n;
}

}  // namespace qorn
