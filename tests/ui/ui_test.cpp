#include "ui/painter.hpp"
#include "ui/ui.hpp"
#include "core/text.hpp"
#include "core/unique_handle.hpp"
#include "support/sandbox.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>

namespace qorn {
namespace {

TEST(WindowTexts, CaptionElapsedTimePercentAndScale) {
    using std::chrono::seconds;
    const auto bytes = [](Stage stage, std::uint64_t done, std::uint64_t total, std::uint64_t files_done = 0,
                          std::uint64_t files_total = 0) {
        return Progress{stage, L"", L"", done, total, files_done, files_total, 0, true};
    };
    const std::tuple<Progress, double, std::wstring> captions[] = {  // progress, speed, caption
        {bytes(Stage::ready, 1, 1), 0, L"Đã xác nhận client hoàn chỉnh · Bấm VÀO GAME để bắt đầu"},
        {bytes(Stage::extracting, 1932735283, 3221225472, 16250, 27404), 0, L"1.8 GB / 3.0 GB  ·  16250/27404 file"},
        {bytes(Stage::downloading, 512, 1048576), 1536.7, L"512 B / 1.0 MB  ·  1.5 KB/s"},
        {{Stage::recovering, L"", L"", 3, 10, 3, 10, 0, false}, 0, L"3 / 10 mục"},
        {bytes(Stage::asking_host, 0, 0), 0, L"Đang xử lý…"}, {bytes(Stage::downloading, 0, 0), -5, L"  ·  0 B/s"},
    };
    for (const auto& [progress, speed, caption] : captions) EXPECT_EQ(status_caption(progress, speed), caption);
    EXPECT_EQ(elapsed_text(seconds(187)), L"3 phút 7 giây");
    EXPECT_EQ(elapsed_text(seconds(59) + std::chrono::milliseconds(999)), L"0 phút 59 giây");
    const std::pair<Progress, float> percents[] = {
        {bytes(Stage::downloading, 50, 100), 35}, {bytes(Stage::ready, 0, 0), 100},
        {bytes(Stage::asking_host, 5, 10), 1}, {bytes(Stage::extracting, 0, 0), 60},
        {bytes(Stage::cleaning, 9, 3), 99},  // a share past the whole counts as the whole
    };
    for (const auto& [progress, percent] : percents) EXPECT_FLOAT_EQ(overall_percent(progress), percent);
    const float scale = window_scale(1366, 728, 144);
    EXPECT_NEAR(scale, 704.0f / 560, 1e-6);
    EXPECT_EQ(static_cast<int>(960 * scale), 1206);
    EXPECT_EQ(static_cast<int>(560 * scale), 704);
    EXPECT_FLOAT_EQ(window_scale(3840, 2160, 96), 1.0f);
}

// A run of the built Updater.exe: its exit code and its standard output.
std::pair<DWORD, std::string> run_updater(const std::wstring& arguments, const std::filesystem::path& folder) {
    const std::filesystem::path output = folder / L"stdout.txt";
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const UniqueHandle file(CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0,
                                        nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file.get();
    std::wstring command = L"\"" + std::wstring(QORN_UPDATER_EXE) + L"\" " + arguments;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        return {~0u, "cannot start"};
    }
    const UniqueHandle process = take_process(started);
    WaitForSingleObject(process.get(), 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return {code, test::read_bytes(output)};
}

// A PNG read back through GDI+, for its size and pixels.
struct Picture {
    GdiplusSession session;
    GdiplusOwner<Gdiplus::Bitmap> bitmap;

    explicit Picture(const std::filesystem::path& path) {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(session.put(), &input, nullptr);
        bitmap.reset(Gdiplus::Bitmap::FromFile(path.c_str()));
    }
    unsigned width() const { return bitmap.get()->GetWidth(); }
    unsigned height() const { return bitmap.get()->GetHeight(); }
    Gdiplus::ARGB at(float x, float y, float scale = 1) const {  // design units
        Gdiplus::Color colour;
        bitmap.get()->GetPixel(static_cast<INT>(x * scale), static_cast<INT>(y * scale), &colour);
        return colour.GetValue() | 0xFF000000;
    }
};

// The differences of the three colour channels of two pixels.
std::array<int, 3> gaps(Gdiplus::ARGB p, Gdiplus::ARGB q) {
    const auto channel = [&](int i) { return std::abs(int((p >> (8 * i)) & 0xFF) - int((q >> (8 * i)) & 0xFF)); };
    return {channel(0), channel(1), channel(2)};
}

testing::AssertionResult close_to(Gdiplus::ARGB colour, Gdiplus::ARGB expected) {
    if (std::ranges::max(gaps(colour, expected)) <= 12) return testing::AssertionSuccess();
    return testing::AssertionFailure() << std::hex << colour;
}

// The largest difference of a colour channel between two pictures, and their mean difference.
std::pair<int, double> difference(const Picture& a, const Picture& b) {
    std::vector<int> all;
    for (unsigned y = 0; y < a.height(); y += 2) {
        for (unsigned x = 0; x < a.width(); x += 2) {
            for (const int gap : gaps(a.at(float(x), float(y)), b.at(float(x), float(y)))) all.push_back(gap);
        }
    }
    return {std::ranges::max(all), std::accumulate(all.begin(), all.end(), 0.0) / double(all.size())};
}

TEST(Preview, SizesRefusalsPixelsAndTheReferences) {
    const test::TempFolder folder;
    int written = 0;  // a picture read back stays open, so each preview gets a file of its own
    const auto picture = [&] { return folder / (L"p" + std::to_wstring(written) + L".png"); };
    const auto preview = [&](const std::wstring& extra) {
        ++written;
        return run_updater(L"--preview \"" + picture().wstring() + L"\"" + extra, folder.path());
    };
    // At scale 1 every pixel is compared with a picture of the README below.
    for (const auto& [scale, width, height] : {std::tuple{L" 2", 1920u, 1120u}, {L" 1.5", 1440u, 840u}}) {
        ASSERT_EQ(preview(scale).first, 0u) << scale;
        const Picture shown(picture());
        EXPECT_EQ(std::pair(shown.width(), shown.height()), std::pair(width, height)) << scale;
    }
    const std::pair<std::wstring, std::string> refusals[] = {
        {L" 0.4", "Tỷ lệ xem trước không hợp lệ."}, {L" 4.5", "Tỷ lệ xem trước không hợp lệ."},
        {L" nan", "Tỷ lệ xem trước không hợp lệ."}, {L" --ready", "invalid stof argument"},
        {L" 1e99", "stof argument out of range"},
    };
    for (const auto& [extra, message] : refusals) {
        EXPECT_EQ(preview(extra), std::pair(1ul, "{\"error\":\"" + message + "\"}\n")) << to_utf8(extra);
    }

    // The working preset in design units at scale 2 (the first picture): bar, track, the fill's end, the button.
    const Picture working(folder / L"p1.png");
    const float fill_end = 32 + (60 + 14 * 0.6f) * 644 / 100;  // 60 + 14 × (1.8 GiB / 3 GiB) percent
    EXPECT_EQ(working.at(480, 540, 2), 0xFF080707u);
    EXPECT_EQ(working.at(fill_end - 2, 413, 2), 0xFFD3AC65u);
    EXPECT_EQ(working.at(fill_end + 2, 413, 2), 0xFF373027u);
    EXPECT_TRUE(close_to(working.at(720, 442, 2), 0xFF4E4330u));
    EXPECT_TRUE(close_to(working.at(720, 498, 2), 0xFF30281Du));
    ASSERT_EQ(preview(L" 2 --ready").first, 0u);
    const Picture ready(picture());
    EXPECT_EQ(ready.at(675, 413, 2), 0xFFD3AC65u);  // the full bar
    EXPECT_TRUE(close_to(ready.at(720, 442, 2), 0xFFE7BD75u));  // enabled
    EXPECT_TRUE(close_to(ready.at(720, 498, 2), 0xFF9F6F30u));

    // Both presets against the pictures the README shows (rendered with the set-up's fonts).
    for (const auto& [extra, reference] : {std::pair{L"", L"window-working.png"}, {L" 1 --ready", L"window-ready.png"}}) {
        ASSERT_EQ(preview(extra).first, 0u);
        const auto [largest, mean] =
            difference(Picture(picture()), Picture(std::filesystem::path(QORN_UI_REFERENCES) / reference));
        EXPECT_LT(mean, 1.0) << "mean channel difference from " << to_utf8(reference);
        EXPECT_LT(largest, 96) << to_utf8(reference);
    }
}

}  // namespace
}  // namespace qorn
