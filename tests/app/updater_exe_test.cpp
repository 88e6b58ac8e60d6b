// Checks the built Updater.exe itself: its image, its resources and a failing start.
#include "core/unique_handle.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace qorn {
namespace {

const std::filesystem::path updater = QORN_UPDATER_EXE;

VS_FIXEDFILEINFO file_version(const std::filesystem::path& image, std::vector<char>& info) {
    DWORD ignored = 0;
    info.resize(GetFileVersionInfoSizeW(image.c_str(), &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (info.empty() || !GetFileVersionInfoW(image.c_str(), 0, static_cast<DWORD>(info.size()), info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        throw std::runtime_error("test: no version information");
    }
    return *fixed;
}

TEST(UpdaterExe, IsA64BitGuiImageWithManifestAndVersion) {
    const std::string image = test::read_bytes(updater);
    ASSERT_GT(image.size(), 0x200u);
    const auto pe = *reinterpret_cast<const std::uint32_t*>(image.data() + 0x3c);
    EXPECT_EQ(image.substr(pe, 4), std::string("PE\0\0", 4));
    const auto machine = *reinterpret_cast<const std::uint16_t*>(image.data() + pe + 4);
    EXPECT_EQ(machine, IMAGE_FILE_MACHINE_AMD64);
    const auto* optional = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(image.data() + pe + 24);
    EXPECT_EQ(optional->Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(optional->Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    std::vector<char> info;
    const VS_FIXEDFILEINFO fixed = file_version(updater, info);
    EXPECT_EQ(fixed.dwFileVersionMS, (2u << 16) | 0u);
    EXPECT_EQ(fixed.dwFileVersionLS, (8u << 16) | 0u);
    const VS_FIXEDFILEINFO next = file_version(QORN_UPDATER_NEXT_EXE, info);  // the newer build of the same sources
    EXPECT_EQ(next.dwFileVersionLS, (9u << 16) | 0u);

    HMODULE module = LoadLibraryExW(updater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(manifest, nullptr);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                           SizeofResource(module, manifest));
    EXPECT_NE(text.find("PerMonitorV2"), std::string::npos);
    EXPECT_NE(text.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true<"),
              std::string::npos);
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
    FreeLibrary(module);
}

TEST(UpdaterExe, FailingStartPrintsTheErrorLineAndExitsWithOne) {
    test::TempFolder folder;
    const auto out = folder / L"out.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle output(CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(output);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::wstring command = L"\"" + updater.native() + L"\" --sync \"" + folder.path().native() + L"\"";
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(updater.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &process));
    UniqueHandle process_handle(process.hProcess);
    UniqueHandle thread_handle(process.hThread);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    output.reset();
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(test::read_bytes(out), "{\"error\":\"Chế độ chạy này chưa có trong bản Updater này.\"}\n");
}

}  // namespace
}  // namespace qorn
