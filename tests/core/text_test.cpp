#include "core/text.hpp"
#include "core/parallel.hpp"
#include "core/sha256.hpp"
#include "core/unique_handle.hpp"
#include "support/failure.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace qorn {
namespace {

using test::failure_of;

// A path's limit in UTF-16 units and a cut-off character are the client path test's.
TEST(Text, ConversionsRoundTripAndRefuseInvalidInput) {
    const std::string text = "Cập nhật \xF0\x9F\x8E\xAE";  // a character outside the basic plane
    EXPECT_EQ(to_utf8(to_wide(text)), text);
    EXPECT_EQ(failure_of([] { to_wide("a\x80z"); }), "Chuỗi UTF-8 không hợp lệ.");
    EXPECT_EQ(failure_of([] { to_utf8(std::wstring(1, wchar_t(0xD800))); }), "Chuỗi Unicode không hợp lệ.");
}

// WinHTTP's codes (12001-12186) are not in the system's message table. Windows words
// them from winhttp.dll's own table; Wine's winhttp.dll has none, but its wininet.dll
// words the same codes and stands in for a module that does.
TEST(WindowsError, AModulesOwnTextComesFirstThenTheSystemsThenTheNumber) {
    const UniqueAny<ReleasedBy<HMODULE, &::FreeLibrary>> wininet(LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(wininet);
    const std::string denied = windows_error_message("Không xóa được file", ERROR_ACCESS_DENIED);
    const std::string lost = windows_error_message("Không kết nối được hosting", 12029, wininet.get());
    // Texts of Windows after the context, kept as Windows gives them (with their line end).
    for (const auto& [message, context] :
         {std::pair(denied, "Không xóa được file: "), std::pair(lost, "Không kết nối được hosting: ")}) {
        EXPECT_TRUE(message.starts_with(context) && message.ends_with("\r\n")) << message;
        EXPECT_EQ(message.find("Windows error"), std::string::npos) << message;
    }
    const std::pair<std::string, std::string> fallbacks[] = {
        {windows_error_message("Không xóa được file", ERROR_ACCESS_DENIED, wininet.get()), denied},  // not the module's
        {windows_error_message("Không kết nối được hosting", 12029, nullptr),
         "Không kết nối được hosting: Windows error 12029"},
        {windows_error_message("x", 0x20000001, wininet.get()), "x: Windows error 536870913"},  // nobody's
    };
    for (const auto& [message, expected] : fallbacks) EXPECT_EQ(message, expected);
}

TEST(UniqueHandle, ClosesOnceAndKeepsTheCallersLastError) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    UniqueHandle owner(raw);
    UniqueHandle moved(std::move(owner));
    EXPECT_FALSE(owner);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
    SetLastError(1234);
    moved.reset();
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_FALSE(GetHandleInformation(raw, &flags));  // closed by reset
    moved.reset();                                   // nothing left to close
    EXPECT_FALSE(UniqueHandle(INVALID_HANDLE_VALUE));
}

const std::string abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256, KnownAnswersInPiecesFilesAndThreads) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), abc_digest);
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 pieces;  // the same bytes fed in pieces, an empty one among them
    pieces.add("a");
    pieces.add("");
    pieces.add("bc");
    EXPECT_EQ(pieces.finish(), abc_digest);

    test::TempFolder folder;  // one byte past a read chunk
    const std::string body(131073, 'q');
    test::write_bytes(folder / L"f", body);
    Cancel cancel;
    EXPECT_EQ(sha256_file(folder / L"f", cancel), sha256_hex(body));

    std::vector<std::string> results(4);  // threads share one provider
    run_parallel(results.size(), cancel, [&](size_t i) {
        for (int round = 0; round < 200; ++round) results[i] = sha256_hex(std::string(1000 + i, 'x'));
    });
    for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], sha256_hex(std::string(1000 + i, 'x')));
}

}  // namespace
}  // namespace qorn
