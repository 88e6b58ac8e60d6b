#include "selfupdate/launcher_metadata.hpp"

#include "core/files.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "core/keys.hpp"

#include <winver.h>

#include <vector>

namespace qorn {
namespace {

constexpr DWORD pe_offset_limit = 1048576;
constexpr DWORD version_info_limit = 1048576;
constexpr DWORD module_path_capacity = 32768;
constexpr WORD dll_flag = 0x2000;
constexpr DWORD fixed_info_signature = 0xFEEF04BD;

// Up to count bytes from the current position; fewer at the end of the file. A
// failed read also ends early: the caller's size check then names the fault.
std::string read_up_to(HANDLE file, DWORD count) {
    std::string bytes(count, '\0');
    DWORD total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + total, count - total, &got, nullptr) || got == 0) break;
        total += got;
    }
    bytes.resize(total);
    return bytes;
}

std::uint32_t little_endian(const std::string& bytes, size_t at, size_t width) {
    std::uint32_t value = 0;
    for (size_t i = width; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The architecture named by the PE headers; the file stays positioned after them.
std::string read_runtime(HANDLE file) {
    const std::string dos = read_up_to(file, 64);
    require(dos.size() == 64 && dos[0] == 'M' && dos[1] == 'Z', "Updater không phải EXE Windows.");
    const std::uint32_t pe_offset = little_endian(dos, 60, 4);
    require(pe_offset >= 64 && pe_offset <= pe_offset_limit, "Header Updater không hợp lệ.");
    LARGE_INTEGER position{};
    position.QuadPart = pe_offset;
    require(SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE, "Không đọc được header Updater.");
    // Signature, file header and the optional header's magic.
    const std::string pe = read_up_to(file, 26);
    require(pe.size() == 26 && pe.compare(0, 4, std::string("PE\0\0", 4)) == 0, "Updater sai định dạng PE.");
    const std::uint32_t machine = little_endian(pe, 4, 2);
    const std::uint32_t characteristics = little_endian(pe, 22, 2);
    const std::uint32_t magic = little_endian(pe, 24, 2);
    require((characteristics & dll_flag) == 0, "Không dùng DLL làm Updater.");
    if (machine == IMAGE_FILE_MACHINE_AMD64 && magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) return "win-x64";
    if (machine == IMAGE_FILE_MACHINE_I386 && magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) return "win-x86";
    throw std::runtime_error("Kiến trúc Updater không được hỗ trợ.");
}

std::uint64_t read_file_version(const std::filesystem::path& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    require(size != 0 && size <= version_info_limit, "Updater thiếu thông tin phiên bản.");
    std::vector<unsigned char> info(size);
    require(GetFileVersionInfoW(path.c_str(), 0, size, info.data()) != FALSE, "Không đọc được phiên bản Updater.");
    void* root = nullptr;
    UINT length = 0;
    const bool found = VerQueryValueW(info.data(), L"\\", &root, &length) != FALSE && root != nullptr;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(root);
    require(found && length >= sizeof(VS_FIXEDFILEINFO) && fixed->dwSignature == fixed_info_signature &&
                fixed->dwFileType == VFT_APP,
            "Thông tin phiên bản Updater không hợp lệ.");
    return (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
}

}  // namespace

LauncherMetadata read_launcher_metadata(const std::filesystem::path& path) {
    // Held open while the version is read, so the file judged by its headers is not
    // swapped for another one in between (the handle shares reading only).
    const UniqueHandle file = open_read(path);
    LauncherMetadata metadata;
    metadata.runtime = read_runtime(file.get());
    metadata.version = read_file_version(path);
    return metadata;
}

void verify_launcher_file(const std::filesystem::path& path, const LauncherOffer& offer, const Cancel& cancel) {
    require(file_matches(path, offer.size, offer.sha256, cancel), "SHA-256 Updater không đúng. Không thay launcher.");
    const LauncherMetadata metadata = read_launcher_metadata(path);
    require(metadata.runtime == offer.runtime && metadata.version == parse_launcher_version(offer.version),
            "Updater tải về sai phiên bản hoặc kiến trúc.");
}

std::filesystem::path current_executable_path(ModulePathCall module_path) {
    std::wstring path(module_path_capacity, L'\0');
    const DWORD length = module_path(nullptr, path.data(), module_path_capacity);
    // A result that fills the buffer may be cut short.
    require(length != 0 && length < module_path_capacity, "Không xác định được Updater đang chạy.");
    path.resize(length);
    return path;
}

bool same_file_path(const std::filesystem::path& a, const std::filesystem::path& b) {
    return path_key(a) == path_key(b);
}

}  // namespace qorn
