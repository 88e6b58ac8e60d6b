// Test packages: real archives from miniz's writer, patched in place for the
// damaged and hostile entries no writer makes, and a sandboxed client folder whose
// release has one package listing the files a test names.
#pragma once

#include "core/cancel.hpp"
#include "core/files.hpp"
#include "core/text.hpp"  // state_fixture.hpp needs it first
#include "state/state_fixture.hpp"
#include "update/zip_package.hpp"

#include <miniz.h>

#include <set>

namespace qorn::test {

// Deflated entries, but for the one named `stored`.
inline std::string make_zip(const Bodies& bodies, const std::string& stored = {}) {
    mz_zip_archive zip{};
    void* buffer = nullptr;
    size_t size = 0;
    bool made = mz_zip_writer_init_heap(&zip, 0, 0);
    for (const auto& [name, body] : bodies) {
        const mz_uint level = name == stored ? MZ_NO_COMPRESSION : MZ_DEFAULT_LEVEL;
        made = made && mz_zip_writer_add_mem(&zip, name.c_str(), body.data(), body.size(), level);
    }
    made = made && mz_zip_writer_finalize_heap_archive(&zip, &buffer, &size);
    mz_zip_writer_end(&zip);
    if (!made) throw std::runtime_error("test: zip writer");
    std::string bytes(static_cast<const char*>(buffer), size);
    mz_free(buffer);
    return bytes;
}

// In a writer's archive an entry's local header ends with the first copy of its
// name, its central header with the last. miniz reads an entry's flags, method,
// sizes and attributes from the central header only.
inline size_t local_of(const std::string& zip, const std::string& name) { return zip.find(name) - 30; }
inline size_t central_of(const std::string& zip, const std::string& name) { return zip.rfind(name) - 46; }

inline std::uint32_t get_le(const std::string& bytes, size_t at, size_t width) {
    std::uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= std::uint32_t{static_cast<unsigned char>(bytes.at(at + i))} << (8 * i);
    return value;
}

inline void put_le(std::string& bytes, size_t at, std::uint32_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.at(at + i) = static_cast<char>(value >> (8 * i));
}

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
