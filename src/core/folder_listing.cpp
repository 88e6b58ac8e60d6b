#include "core/folder_listing.hpp"

#include "core/files.hpp"
#include "core/text.hpp"

#include <winternl.h>

#include <vector>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine, PVOID apc_context,
                                               PIO_STATUS_BLOCK io_status, PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS information_class, BOOLEAN single_entry,
                                               PUNICODE_STRING mask, BOOLEAN restart_scan);

namespace qorn {
namespace {

constexpr NTSTATUS no_more_files = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS no_such_file = static_cast<NTSTATUS>(0xC000000FL);  // the mask matched nothing

std::uint64_t large(const LARGE_INTEGER& value) { return static_cast<std::uint64_t>(value.QuadPart); }

}  // namespace

void list_folder(HANDLE folder, const std::filesystem::path& path, const std::wstring& mask,
                 const std::function<void(const ListedEntry&)>& visit) {
    std::vector<std::uint64_t> buffer(8192);  // 64 KiB, aligned for the records
    UNICODE_STRING pattern{};
    pattern.Buffer = const_cast<wchar_t*>(mask.c_str());
    pattern.Length = pattern.MaximumLength = static_cast<USHORT>(mask.size() * sizeof(wchar_t));
    ListedEntry listed;
    for (bool first = true;; first = false) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = NtQueryDirectoryFile(
            folder, nullptr, nullptr, nullptr, &io, buffer.data(), static_cast<ULONG>(buffer.size() * 8),
            FileFullDirectoryInformation, FALSE, first && !mask.empty() ? &pattern : nullptr, first);
        if (status == no_more_files || status == no_such_file) return;
        if (status < 0) {
            throw_windows_error("Không đọc được danh sách file trong " + path_text(path),
                                RtlNtStatusToDosError(status));
        }
        for (const char* at = reinterpret_cast<const char*>(buffer.data());;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            listed.name.assign(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (listed.name != L"." && listed.name != L"..") {
                listed.attributes = entry->FileAttributes;
                listed.size = large(entry->EndOfFile);
                listed.modified_ticks = large(entry->LastWriteTime) + file_time_to_ticks;
                visit(listed);
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
}

}  // namespace qorn
