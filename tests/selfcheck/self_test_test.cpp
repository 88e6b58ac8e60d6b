#include "selfcheck/checker.hpp"
#include "selfcheck/self_test.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <windows.h>

namespace qorn {
namespace {

std::filesystem::path scratch(const std::wstring& name) {
    wchar_t temporary[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temporary);
    return std::filesystem::path(temporary) / (name + std::to_wstring(GetCurrentProcessId()));
}

// A scratch folder someone left stops its suite with its message and stays as it was;
// the suites before it removed theirs; nothing is printed.
TEST(SelfTest, AScratchFolderThatExistsStopsItsSuiteAndIsLeftAlone) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"qorn-native-test-", "Self-test folder already exists."},
        {L"qorn-first-start-", "First-start test folder already exists."},
        {L"qorn-shortcut-", "Shortcut self-test folder already exists."},
    };
    for (const auto& [name, message] : cases) {
        const std::filesystem::path left = scratch(name);
        test::write_bytes(left / L"mine.txt", "left by someone");
        std::string printed;
        EXPECT_EQ(test::failure_of([&] { self_test([&](std::string_view line) { printed += line; }); }), message);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(test::read_bytes(left / L"mine.txt"), "left by someone");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(left), {}), 1);
        std::filesystem::remove_all(left);
        for (const auto& [other, ignored] : cases) EXPECT_FALSE(std::filesystem::exists(scratch(other))) << other;
    }
}

TEST(SelfTest, ARefusedPathMadeAcceptableFailsWithItsCheckNumber) {
    std::vector<std::string> refused = refused_client_paths();
    refused[4] = "Data/a";  // the seventh check: two come before the paths
    Checker check("Native self-test assertion ");
    EXPECT_EQ(test::failure_of([&] { check_native_rules(check, refused); }), "Native self-test assertion 7");
}

}  // namespace
}  // namespace qorn
