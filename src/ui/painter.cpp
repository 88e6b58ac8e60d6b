#include "ui/painter.hpp"

#include "core/text.hpp"
#include "release/urls.hpp"

#include <algorithm>
#include <cmath>

namespace qorn {
namespace {

using Gdiplus::ARGB;
using Gdiplus::Color;
using Gdiplus::PointF;
using Gdiplus::RectF;

constexpr ARGB bar_colour = 0xFF080707;
constexpr ARGB gold = 0xFFD3AC65;
constexpr ARGB failed_colour = 0xFF944D36;

void fill(Gdiplus::Graphics& graphics, ARGB colour, const RectF& box) {
    Gdiplus::SolidBrush brush{Color(colour)};
    graphics.FillRectangle(&brush, box);
}

void draw_background(Gdiplus::Graphics& graphics, Gdiplus::Bitmap& image) {
    const float width = static_cast<float>(image.GetWidth()), height = static_cast<float>(image.GetHeight());
    const float s = std::max(design_height / height, design_width / width);
    const float source_width = design_width / s, source_height = design_height / s;
    graphics.DrawImage(&image, RectF(0, 0, design_width, design_height), (width - source_width) / 2,
                       (height - source_height) / 2, source_width, source_height, Gdiplus::UnitPixel);
}

void draw_shades(Gdiplus::Graphics& graphics) {
    Gdiplus::LinearGradientBrush left(PointF(0, 0), PointF(680, 0), Color(0x8C070707), Color(0x00070707));
    graphics.FillRectangle(&left, RectF(0, 0, 680, 560));
    Gdiplus::LinearGradientBrush bottom(PointF(0, 340), PointF(0, 470), Color(0x00080707), Color(bar_colour));
    const Color stops[] = {Color(0x00080707), Color(0xF2080707), Color(bar_colour)};
    const float positions[] = {0, 0.35f, 1};
    bottom.SetInterpolationColors(stops, positions, 3);
    graphics.FillRectangle(&bottom, RectF(0, 340, 960, 130));
    fill(graphics, bar_colour, RectF(0, 470, 960, 90));
}

void draw_artwork(Gdiplus::Graphics& graphics, Gdiplus::Bitmap& image) {
    const float width = static_cast<float>(image.GetWidth()), height = static_cast<float>(image.GetHeight());
    const float s = std::min(125 / height, 352 / width);
    graphics.DrawImage(&image, RectF(28 + (352 - width * s) / 2, 72 + (125 - height * s) / 2, width * s, height * s));
}

void draw_fixed_texts(Gdiplus::Graphics& graphics) {
    Gdiplus::Pen rule{Color(0xFFB99152), 1};
    graphics.DrawLine(&rule, 33.0f, 217.0f, 89.0f, 217.0f);
    draw_text(graphics, L"QORN.TV / PC", 11, 0xFFBDAE99, RectF(24, 10, 300, 22), false, false);
    draw_text(graphics, L"HUYỀN THOẠI TRỞ LẠI", 20, 0xFFF2ECE2, RectF(33, 234, 385, 32), true, false);
    draw_text(graphics, L"Hành trình chinh phục lục địa MU.", 14, 0xFFC0B6A6, RectF(33, 278, 370, 24), false, false);
    draw_text(graphics, L"Tự động tải và cập nhật client mới nhất.", 14, 0xFFC0B6A6, RectF(33, 301, 370, 24), false,
              false);
}

void draw_progress(Gdiplus::Graphics& graphics, Ui& ui) {
    Progress copy;
    {
        std::lock_guard lock(ui.progress_mutex);
        copy = ui.progress;
    }
    const float percent = overall_percent(copy);
    const bool failed = !ui.error_text.empty();
    const std::uint32_t stage = stage_number(copy.stage);
    const std::wstring title = failed                     ? ui.error_text
                               : stage >= 1 && stage <= 7 ? L"Bước " + std::to_wstring(stage) + L"/7 — " + copy.text
                                                          : copy.text;
    draw_text(graphics, title, 15, failed ? 0xFFF5A88C : 0xFFF2ECE2, RectF(32, 375, 520, 28), true, false);
    draw_text(graphics, failed ? L"Cần thử lại" : std::to_wstring(static_cast<int>(percent)) + L"%", 13, gold,
              RectF(552, 375, 124, 28), false, true);
    const ARGB fill_colour = failed ? failed_colour : gold;
    fill(graphics, 0xFF373027, RectF(32, 411, 644, 5));
    fill(graphics, fill_colour, RectF(32, 411, percent * 644 / 100, 5));
    if (ui.busy && copy.total == 0) {
        const float sweep = static_cast<float>(GetTickCount64() % 1800) / 1800 * 580;
        fill(graphics, fill_colour, RectF(32 + sweep, 411, 64, 5));
    }
    draw_text(graphics,
              failed ? L"Bấm Thử lại. Chi tiết lỗi đã lưu trong .qorn-launcher/launcher.log."
                     : status_caption(copy, ui.speed),
              13, 0xFFBFB3A0, RectF(32, 423, 644, 22), false, false);
    const std::wstring detail =
        ui.busy ? L"Đã chạy " + elapsed_text(std::chrono::steady_clock::now() - ui.started_at) + L"  ·  " + copy.detail
                : copy.detail;
    draw_text(graphics, detail, 12, 0xFFA99F90, RectF(32, 447, 644, 23), false, false);
}

}  // namespace

float overall_percent(const Progress& progress) {
    float f = progress.total == 0 ? 0 : static_cast<float>(progress.done) / static_cast<float>(progress.total);
    f = std::clamp(f, 0.0f, 1.0f);
    switch (progress.stage) {
    case Stage::checking: return 2 + 8 * f;
    case Stage::downloading: return 10 + 50 * f;
    case Stage::extracting: return 60 + 14 * f;
    case Stage::verifying: return 74 + 10 * f;
    case Stage::applying: return 84 + 10 * f;
    case Stage::rechecking: return 94 + 4 * f;
    case Stage::cleaning: return 98 + f;
    case Stage::ready: return 100;
    default: return 1;
    }
}

void paint_window(Gdiplus::Graphics& graphics, Ui& ui, bool preview) {
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    draw_background(graphics, *ui.background.bitmap.get());
    draw_shades(graphics);
    draw_artwork(graphics, *ui.artwork.bitmap.get());
    draw_fixed_texts(graphics);
    draw_progress(graphics, ui);
    draw_text(graphics, L"PC CLIENT · v2.0.8 NATIVE", 11, 0xFF9A8F7C, RectF(250, 496, 410, 26), false, false);
    draw_text(graphics, update_host(), 11, 0xFF9A8F7C, RectF(704, 506, 224, 20), false, false, DT_CENTER);
    Gdiplus::Pen frame{Color(0xFF8D7045), 1};
    graphics.DrawRectangle(&frame, Gdiplus::Rect(0, 0, 959, 559));
    if (!preview) return;
    for (const ButtonEntry& entry : buttons) {
        ButtonLook look;
        look.enabled = entry.id != game_button || ui.ready;
        look.checked = entry.id == sound_button ? ui.sound : ui.window_mode;
        draw_button(graphics, entry, entry.text, look);
    }
}

void draw_button(Gdiplus::Graphics& graphics, const ButtonEntry& entry, const std::wstring& text,
                 const ButtonLook& look) {
    const float x = entry.x, y = entry.y, w = entry.width, h = entry.height;
    const bool game = entry.id == game_button;
    if (game) {
        const ARGB top = !look.enabled ? 0xFF4E4330 : look.pressed ? 0xFFB4BD75 : 0xFFE7BD75;
        Gdiplus::LinearGradientBrush brush(PointF(x, y), PointF(x, y + h), Color(top),
                                           Color(look.enabled ? 0xFF9F6F30 : 0xFF30281D));
        graphics.FillRectangle(&brush, RectF(x, y, w, h));
    } else {
        fill(graphics, look.hover && look.enabled ? 0xFF332A1D : bar_colour, RectF(x, y, w, h));
    }
    const ARGB text_colour = game ? (look.enabled ? 0xFF25190C : 0xFF9D8C6D) : (look.enabled ? 0xFFE5D9C4 : 0xFF7D7463);
    Gdiplus::Pen outline{Color(look.enabled ? 0xFF977747 : 0xFF4C412D), 1};
    const bool checkbox = entry.id == window_mode_button || entry.id == sound_button;
    RectF text_box(x, y, w, h);
    if (checkbox) {
        graphics.DrawRectangle(&outline, RectF(x + 1, y + 6, 14, 14));
        if (look.checked) {
            Gdiplus::Pen tick{Color(gold), 2};
            const PointF points[] = {PointF(x + 4, y + 13), PointF(x + 7, y + 17), PointF(x + 12, y + 9)};
            graphics.DrawLines(&tick, points, 3);
        }
        text_box = RectF(x + 23, y, w - 23, h);
    }
    if (game || entry.id == check_button || entry.id == stop_button) {
        // On whole units without smoothing: a half-unit rectangle is one renderer's crisp
        // edge and another's line half outside the button's own picture.
        const Gdiplus::SmoothingMode smoothing = graphics.GetSmoothingMode();
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeNone);
        graphics.DrawRectangle(&outline, Gdiplus::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w) - 1,
                                                       static_cast<int>(h) - 1));
        graphics.SetSmoothingMode(smoothing);
    }
    draw_text(graphics, text, game ? 22 : 13, text_colour, text_box, game, false, checkbox ? 0 : DT_CENTER);
    if (look.focused) {
        Gdiplus::Pen dots{Color(0xFFE1CEA7), 1};
        dots.SetDashStyle(Gdiplus::DashStyleDot);
        graphics.DrawRectangle(&dots, Gdiplus::Rect(static_cast<int>(x) + 3, static_cast<int>(y) + 3,
                                                    static_cast<int>(w) - 6, static_cast<int>(h) - 6));
    }
}

void draw_text(Gdiplus::Graphics& graphics, const std::wstring& text, float size, ARGB colour, const RectF& box,
               bool bold, bool right_aligned, UINT flags) {
    if (text.empty()) return;
    Gdiplus::Matrix transform;
    graphics.GetTransform(&transform);
    PointF corners[] = {PointF(box.X, box.Y), PointF(box.X + box.Width, box.Y + box.Height)};
    transform.TransformPoints(corners, 2);
    RECT device{static_cast<LONG>(std::lround(corners[0].X)), static_cast<LONG>(std::lround(corners[0].Y)),
                static_cast<LONG>(std::lround(corners[1].X)), static_cast<LONG>(std::lround(corners[1].Y))};
    float elements[6];
    transform.GetElements(elements);
    const int height = std::max(1, static_cast<int>(std::lround(std::fabs(elements[3]) * size)));
    UniqueGdiObject font(CreateFontW(-height, 0, 0, 0, bold ? 600 : 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_NATURAL_QUALITY,
                                     DEFAULT_PITCH, L"Segoe UI"));
    const HDC dc = graphics.GetHDC();
    const int saved = SaveDC(dc);
    {
        const SelectedObject selected(dc, font ? font.get() : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF));
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &device,
                  DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS | (right_aligned ? DT_RIGHT : flags));
    }
    RestoreDC(dc, saved);
    graphics.ReleaseHDC(dc);
}

int write_preview(Ui& ui, const std::filesystem::path& path, float scale) {
    require(scale >= 0.5f && scale <= 4.0f, "Tỷ lệ xem trước không hợp lệ.");  // a NaN fails both tests
    const HDC screen = GetDC(nullptr);
    UniqueMemoryDc dc(CreateCompatibleDC(screen));
    UniqueGdiObject bitmap(CreateCompatibleBitmap(screen, static_cast<int>(design_width * scale),
                                                  static_cast<int>(design_height * scale)));
    ReleaseDC(nullptr, screen);
    require(dc && bitmap, "Không tạo được ảnh xem trước.");
    {
        const SelectedObject selected(dc.get(), bitmap.get());
        Gdiplus::Graphics graphics(dc.get());
        graphics.ScaleTransform(scale, scale);
        paint_window(graphics, ui, true);
    }
    Gdiplus::Bitmap image(static_cast<HBITMAP>(bitmap.get()), nullptr);
    static const CLSID png = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    require(image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok, "Không lưu được ảnh xem trước.");
    return 0;
}

}  // namespace qorn
