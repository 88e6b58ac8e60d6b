#include "core/sha256.hpp"

#include "core/files.hpp"
#include "core/text.hpp"

#include <limits>

namespace qorn {
namespace {

constexpr DWORD file_chunk = 131072;

bool succeeded(NTSTATUS status) { return status >= 0; }

// The process-wide provider. A failed creation leaves nothing behind, so the
// next use tries again (a throwing initialiser of a function-local static does that).
class Sha256Provider {
public:
    Sha256Provider() {
        require(succeeded(BCryptOpenAlgorithmProvider(algorithm_.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)),
                "Không khởi tạo được SHA-256.");
        ULONG got = 0;
        require(succeeded(BCryptGetProperty(algorithm_.get(), BCRYPT_OBJECT_LENGTH,
                                            reinterpret_cast<PUCHAR>(&object_length_), sizeof(object_length_), &got,
                                            0)),
                "Không đọc được cấu hình SHA-256.");
    }

    BCRYPT_ALG_HANDLE algorithm() const { return algorithm_.get(); }
    DWORD object_length() const { return object_length_; }

private:
    UniqueAlgorithm algorithm_;
    DWORD object_length_ = 0;
};

const Sha256Provider& provider() {
    static const Sha256Provider instance;
    return instance;
}

}  // namespace

Sha256::Sha256() {
    const Sha256Provider& shared = provider();
    object_.assign(shared.object_length(), 0);
    require(succeeded(BCryptCreateHash(shared.algorithm(), hash_.put(), object_.data(),
                                       static_cast<ULONG>(object_.size()), nullptr, 0, 0)),
            "Không tạo được bộ kiểm tra SHA-256.");
}

Sha256::~Sha256() { hash_.reset(); }

void Sha256::add(std::string_view bytes) {
    require(bytes.size() <= std::numeric_limits<ULONG>::max(), "Khối dữ liệu kiểm tra quá lớn.");
    auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    require(succeeded(BCryptHashData(hash_.get(), data, static_cast<ULONG>(bytes.size()), 0)),
            "Không kiểm tra được SHA-256.");
}

std::array<unsigned char, 32> Sha256::finish_bytes() {
    std::array<unsigned char, 32> digest;
    require(succeeded(BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0)),
            "Không hoàn tất được SHA-256.");
    return digest;
}

std::string Sha256::finish() {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned char byte : finish_bytes()) {
        text += hex[byte >> 4];
        text += hex[byte & 15];
    }
    return text;
}

std::string sha256_hex(std::string_view bytes) {
    Sha256 hash;
    hash.add(bytes);
    return hash.finish();
}

std::string sha256_file(const std::filesystem::path& path, const Cancel& cancel, const ByteCallback& progress) {
    UniqueHandle file = open_read(path);
    Sha256 hash;
    std::vector<char> buffer(file_chunk);
    std::uint64_t total = 0;
    cancel.check();
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), file_chunk, &got, nullptr)) {
            const DWORD code = GetLastError();
            throw_windows_error("Không kiểm tra được file", code);
        }
        if (got == 0) return hash.finish();
        hash.add(std::string_view(buffer.data(), got));
        total += got;
        if (progress) progress(total);
        cancel.check();
    }
}

bool file_matches(const std::filesystem::path& path, std::uint64_t size, std::string_view sha256,
                  const Cancel& cancel, const ByteCallback& progress) {
    return matching_file(path, size, sha256, cancel, progress).has_value();
}

std::optional<FileInfo> matching_file(const std::filesystem::path& path, std::uint64_t size,
                                      std::string_view sha256, const Cancel& cancel,
                                      const ByteCallback& progress) {
    const FileInfo info = file_info(path);
    if (!info.exists || info.is_directory || info.size != size) return std::nullopt;
    if (sha256_file(path, cancel, progress) != sha256) return std::nullopt;
    return info;
}

void require_sha256(std::string_view text) {
    bool valid = text.size() == 64;
    for (char c : text) valid = valid && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    require(valid, "SHA-256 không hợp lệ.");
}

}  // namespace qorn
