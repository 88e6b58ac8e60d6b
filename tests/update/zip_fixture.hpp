// Test packages: real archives from miniz's writer, byte patches of single header
// fields for the damaged and hostile entries no writer makes, and a sandboxed
// client folder with a release whose one package lists the files a test names.
#pragma once

#include "core/cancel.hpp"
#include "core/files.hpp"
#include "core/text.hpp"  // state_fixture.hpp needs it first
#include "state/state_fixture.hpp"
#include "update/zip_package.hpp"

#include <miniz.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorn::test {

// Deflated entries, but for the one named `stored`.
inline std::string make_zip(const Bodies& bodies, const std::string& stored = {}) {
    mz_zip_archive zip;
    mz_zip_zero_struct(&zip);
    if (!mz_zip_writer_init_heap(&zip, 0, 0)) throw std::runtime_error("test: zip writer");
    for (const auto& [name, body] : bodies) {
        const mz_uint level = name == stored ? MZ_NO_COMPRESSION : MZ_DEFAULT_LEVEL;
        if (!mz_zip_writer_add_mem(&zip, name.c_str(), body.data(), body.size(), level)) {
            mz_zip_writer_end(&zip);
            throw std::runtime_error("test: zip entry " + name);
        }
    }
    void* buffer = nullptr;
    size_t size = 0;
    const bool finished = mz_zip_writer_finalize_heap_archive(&zip, &buffer, &size);
    mz_zip_writer_end(&zip);
    if (!finished) throw std::runtime_error("test: zip finish");
    std::string bytes(static_cast<const char*>(buffer), size);
    mz_free(buffer);
    return bytes;
}

// Field offsets in a central header; the local header keeps its name at 30.
inline constexpr size_t central_made_by = 4;
inline constexpr size_t central_size = 24;
inline constexpr size_t central_external = 38;
inline constexpr size_t central_name = 46;

inline std::uint32_t get_le(const std::string& bytes, size_t at, size_t width) {
    std::uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= std::uint32_t{static_cast<unsigned char>(bytes.at(at + i))} << (8 * i);
    return value;
}

inline void put_le(std::string& bytes, size_t at, std::uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
}

// An archive's bytes and where each entry's headers lie, read once from the
// well-formed archive the writer made. Patches keep every length and position,
// so the layout holds however the fields were changed.
class ZipBytes {
public:
    explicit ZipBytes(std::string zip) : bytes(std::move(zip)) {
        end_ = bytes.rfind(std::string("PK\x05\x06", 4));
        if (end_ == std::string::npos) throw std::runtime_error("test: no end record");
        size_t at = get_le(bytes, end_ + 16, 4);
        for (std::uint32_t i = 0; i < get_le(bytes, end_ + 10, 2); ++i) {
            central_.push_back(at);
            local_.push_back(get_le(bytes, at + 42, 4));
            name_lengths_.push_back(get_le(bytes, at + 28, 2));
            at += central_name + name_lengths_.back() + get_le(bytes, at + 30, 2) + get_le(bytes, at + 32, 2);
        }
    }

    size_t count() const { return central_.size(); }
    size_t end_record() const { return end_; }
    size_t central(size_t entry) const { return central_.at(entry); }
    size_t local(size_t entry) const { return local_.at(entry); }
    size_t name_length(size_t entry) const { return name_lengths_.at(entry); }

    // miniz reads an entry's flags, method, sizes and attributes from its central header only.
    void set(size_t entry, size_t offset, std::uint32_t value, size_t width) {
        put_le(bytes, central(entry) + offset, value, width);
    }
    // A name of the same byte length, in both headers: for names no writer accepts.
    void rename(size_t entry, std::string_view name) {
        if (name.size() != name_length(entry)) throw std::runtime_error("test: rename needs the same length");
        bytes.replace(central(entry) + central_name, name.size(), name);
        bytes.replace(local(entry) + 30, name.size(), name);
    }

    std::string bytes;

private:
    size_t end_ = 0;
    std::vector<size_t> central_;
    std::vector<size_t> local_;
    std::vector<size_t> name_lengths_;
};

// Every entry under the folder, relative, "/"-separated and spelled as on disk.
inline std::set<std::wstring> tree_of(const std::filesystem::path& folder) {
    std::set<std::wstring> entries;
    if (!file_info(folder).exists) return entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        entries.insert(entry.path().lexically_relative(folder).generic_wstring());
    }
    return entries;
}

// A client folder whose release holds `packaged`, all in one package, and
// `unpackaged`, which no package lists.
struct PackageCase {
    TempFolder folder;
    State state{folder / L"client"};
    Manifest manifest;
    Package package;
    std::filesystem::path zip_file = state.file("downloads") / L"p1.zip";
    Cancel cancel;

    explicit PackageCase(const Bodies& packaged, Bodies unpackaged = {}) {
        for (const auto& [path, body] : packaged) package.files.push_back(path);
        unpackaged.insert(unpackaged.begin(), packaged.begin(), packaged.end());
        manifest = release_of(unpackaged);
    }

    void extract(const std::string& zip, const ProgressCallback& progress = {}) {
        write_bytes(zip_file, zip);
        extract_package(zip_file, package, manifest, state, cancel, progress);
    }
    std::filesystem::path staged(const std::string& path) const { return staging_path(state, path); }
};

}  // namespace qorn::test
