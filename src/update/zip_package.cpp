#include "update/zip_package.hpp"

#include "core/files.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "release/client_path.hpp"

#include <miniz.h>

#include <exception>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace qorn {
namespace {

// miniz keeps an entry's name in 512 bytes with its terminating zero.
constexpr mz_uint name_byte_limit = 511;
constexpr mz_uint32 reparse_point_bit = 0x400;
constexpr mz_uint32 unix_type_mask = 0xF0000000;
constexpr mz_uint32 unix_link_type = 0xA0000000;

// Ends an initialised miniz reader; the archive structure lives in the caller's frame.
using UniqueZipReader = UniqueAny<ReleasedBy<mz_zip_archive*, &mz_zip_reader_end>>;

// What the archive must hold: the manifest files the package lists, by case key.
struct Expected {
    std::map<std::wstring, const ClientFile*> files;
    std::uint64_t bytes = 0;
};

Expected expected_files(const Package& package, const Manifest& manifest) {
    std::map<std::wstring, const ClientFile*> by_key;
    for (const ClientFile& file : manifest.files) by_key.emplace(file.key, &file);
    Expected expected;
    for (const std::string& path : package.files) {
        const auto file = by_key.find(case_key(to_wide(path)));
        // The manifest parser refuses such a list; a package from elsewhere must not slip through either.
        require(file != by_key.end() && expected.files.insert(*file).second, "Gói ZIP chứa danh sách file sai/trùng.");
        expected.bytes = add_size(expected.bytes, file->second->size);
    }
    return expected;
}

// miniz's positioned read. It takes a short count as the end of the data, so
// every failure reads nothing; offsets past 2^63 come only from damaged headers.
size_t read_at(void* file, mz_uint64 offset, void* buffer, size_t count) noexcept {
    if (count > MAXDWORD || offset > size_limit) return 0;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    if (!SetFilePointerEx(static_cast<HANDLE>(file), position, nullptr, FILE_BEGIN) ||
        !ReadFile(static_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return 0;
    }
    return got;
}

void open_archive(mz_zip_archive& archive, HANDLE file, std::uint64_t size) {
    mz_zip_zero_struct(&archive);
    archive.m_pRead = read_at;
    archive.m_pIO_opaque = file;
    // Entries are visited by index only, so miniz need not sort its name index.
    require(mz_zip_reader_init(&archive, size, MZ_ZIP_FLAG_DO_NOT_SORT_CENTRAL_DIRECTORY) != MZ_FALSE,
            "Gói ZIP tải về không hợp lệ.");
}

bool is_link_or_reparse(mz_uint32 external_attributes) {
    return (external_attributes & reparse_point_bit) != 0 || (external_attributes & unix_type_mask) == unix_link_type;
}

class Extraction;

// Where the inflater delivers one entry's pieces. Nothing may unwind through
// miniz's C code, so a failure is kept and the reader stopped by a short write.
struct EntrySink {
    Extraction& extraction;
    const std::wstring& detail;
    HANDLE file;
    std::uint64_t expected = 0;
    std::uint64_t written = 0;
    std::exception_ptr failure;
};

class Extraction {
public:
    Extraction(const Expected& expected, const State& state, const Cancel& cancel, const ProgressCallback& progress)
        : expected_(expected), state_(state), cancel_(cancel), report_(progress) {}

    void entry(mz_zip_archive& archive, mz_uint index) {
        cancel_.check();
        const ClientFile& file = check_entry(archive, index);
        const std::wstring detail = to_wide(file.path);
        // The manifest's spelling decides the location, never the archive's.
        UniqueHandle output = open_write(staging_path(state_, file.path), false);
        report(detail, bytes_done_);
        EntrySink sink{*this, detail, output.get(), file.size, 0, nullptr};
        const bool extracted = mz_zip_reader_extract_to_callback(&archive, index, write_piece, &sink, 0) != MZ_FALSE;
        if (sink.failure) std::rethrow_exception(sink.failure);
        // miniz skips an entry whose compressed size is 0, so the count matters as much as its own verdict.
        require(extracted && sink.written == file.size, "Giải nén ZIP thất bại hoặc sai CRC.");
        if (!FlushFileBuffers(output.get())) {
            const DWORD code = GetLastError();
            throw_windows_error("Không lưu được file giải nén", code);
        }
        output.reset();
        bytes_done_ += file.size;
        ++files_done_;
        report(detail, bytes_done_);
    }

private:
    // The checks of one entry, in their fixed order, before a byte of it is written.
    const ClientFile& check_entry(mz_zip_archive& archive, mz_uint index) {
        mz_zip_archive_file_stat entry{};
        require(mz_zip_reader_file_stat(&archive, index, &entry) != MZ_FALSE, "Không đọc được mục trong ZIP.");
        // The length counts the terminating zero. Below the limit the stat holds the
        // whole name, zero bytes included, so no name is cut short into a listed one.
        const mz_uint name_size = mz_zip_reader_get_filename(&archive, index, nullptr, 0);
        require(name_size >= 1 && name_size - 1 <= name_byte_limit && !entry.m_is_directory && !entry.m_is_encrypted &&
                    entry.m_is_supported,
                "Gói ZIP chứa mục không được hỗ trợ.");
        const std::string name(entry.m_filename, name_size - 1);
        const auto file = expected_.files.find(case_key(to_wide(name)));
        require(file != expected_.files.end() && seen_.insert(file->first).second,
                "Gói ZIP chứa file lạ hoặc trùng tên.");
        require_client_path(name, false);
        require(!is_link_or_reparse(entry.m_external_attr) && entry.m_uncomp_size == file->second->size,
                "File trong ZIP có thuộc tính/kích thước không an toàn.");
        return *file->second;
    }

    static size_t write_piece(void* opaque, mz_uint64 offset, const void* data, size_t count) noexcept {
        EntrySink& sink = *static_cast<EntrySink*>(opaque);
        if (sink.failure) return 0;
        try {
            sink.extraction.cancel_.check();
            require(offset == sink.written && count <= sink.expected - sink.written,
                    "Gói ZIP giải nén vượt kích thước manifest.");
            write_all(sink.file, std::string_view(static_cast<const char*>(data), count));
            sink.written += count;
            sink.extraction.report(sink.detail, sink.extraction.bytes_done_ + sink.written);
            return count;
        } catch (...) {
            sink.failure = std::current_exception();
            return 0;
        }
    }

    void report(const std::wstring& detail, std::uint64_t done) const {
        report_.bytes(Stage::extracting, L"Đang giải nén client…", detail,
                      {done, expected_.bytes, files_done_, expected_.files.size()});
    }

    const Expected& expected_;
    const State& state_;
    const Cancel& cancel_;
    Reporter report_;
    std::set<std::wstring> seen_;
    std::uint64_t bytes_done_ = 0;
    std::uint64_t files_done_ = 0;
};

}  // namespace

void extract_package(const std::filesystem::path& package_file, const Package& package, const Manifest& manifest,
                     const State& state, const Cancel& cancel, const ProgressCallback& progress) {
    const Expected expected = expected_files(package, manifest);
    const UniqueHandle file = open_read(package_file);
    mz_zip_archive archive;
    open_archive(archive, file.get(), file_info(package_file).size);
    const UniqueZipReader reader(&archive);
    const mz_uint entries = mz_zip_reader_get_num_files(&archive);
    require(entries == expected.files.size(), "Số file trong gói ZIP không đúng manifest.");
    Extraction extraction(expected, state, cancel, progress);
    for (mz_uint index = 0; index < entries; ++index) extraction.entry(archive, index);
}

}  // namespace qorn
