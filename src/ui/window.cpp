// The window itself: GDI+ for the process, the window class and its procedure, the
// seven buttons, the message loop, and the two test modes (--test-ui, --preview).
#include "core/text.hpp"
#include "release/urls.hpp"
#include "selfupdate/handoff.hpp"
#include "ui/painter.hpp"
#include "ui/ui.hpp"

#include <stdexcept>

namespace qorn {
namespace {

constexpr wchar_t class_name[] = L"QORNNativeLauncher";
constexpr UINT_PTR poll_timer = 1;
constexpr DWORD window_style = WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x820A0000
constexpr DWORD button_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;         // 0x5001000B

Ui* ui_of(HWND window) { return reinterpret_cast<Ui*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

void paint(Ui& ui) {
    PAINTSTRUCT paint{};
    const HDC target = BeginPaint(ui.window, &paint);
    RECT client{};
    GetClientRect(ui.window, &client);
    UniqueMemoryDc memory(CreateCompatibleDC(target));
    UniqueGdiObject bitmap(CreateCompatibleBitmap(target, client.right, client.bottom));
    if (memory && bitmap) {
        const SelectedObject selected(memory.get(), bitmap.get());
        {
            Gdiplus::Graphics graphics(memory.get());
            graphics.ScaleTransform(ui.scale, ui.scale);
            paint_window(graphics, ui, false);
        }
        BitBlt(target, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
    }
    EndPaint(ui.window, &paint);
}

void draw_item(Ui& ui, const DRAWITEMSTRUCT& item) {
    const ButtonEntry* entry = nullptr;
    for (const ButtonEntry& candidate : buttons) {
        if (static_cast<int>(item.CtlID) == candidate.id) entry = &candidate;
    }
    if (entry == nullptr) return;
    POINT cursor{};
    GetCursorPos(&cursor);
    ScreenToClient(item.hwndItem, &cursor);
    ButtonLook look;
    look.enabled = (item.itemState & ODS_DISABLED) == 0;
    look.pressed = (item.itemState & ODS_SELECTED) != 0;
    look.focused = (item.itemState & ODS_FOCUS) != 0;
    look.hover = PtInRect(&item.rcItem, cursor) != FALSE;
    look.checked = entry->id == sound_button ? ui.sound : ui.window_mode;
    const std::wstring text = entry->id == check_button && !ui.error_text.empty() ? L"Thử lại" : entry->text;
    // Double-buffered like the window: the button's own picture, then one copy.
    const int width = item.rcItem.right - item.rcItem.left, height = item.rcItem.bottom - item.rcItem.top;
    UniqueMemoryDc memory(CreateCompatibleDC(item.hDC));
    UniqueGdiObject bitmap(CreateCompatibleBitmap(item.hDC, width, height));
    if (!memory || !bitmap) return;
    const SelectedObject selected(memory.get(), bitmap.get());
    {
        Gdiplus::Graphics graphics(memory.get());
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        graphics.ScaleTransform(ui.scale, ui.scale);
        graphics.TranslateTransform(-entry->x, -entry->y);
        draw_button(graphics, *entry, text, look);
    }
    BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, memory.get(), 0, 0, SRCCOPY);
}

LRESULT handle(Ui& ui, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_DESTROY:
        KillTimer(ui.window, poll_timer);
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        paint(ui);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_DRAWITEM:
        draw_item(ui, *reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
        return TRUE;
    case WM_NCHITTEST: {
        POINT point{static_cast<short>(LOWORD(lparam)), static_cast<short>(HIWORD(lparam))};
        ScreenToClient(ui.window, &point);
        return point.y < 44 * ui.scale && point.x < 870 * ui.scale ? HTCAPTION : HTCLIENT;
    }
    case WM_COMMAND:
        if (HIWORD(wparam) == BN_CLICKED) ui.on_command(LOWORD(wparam));
        return 0;
    case WM_TIMER:
        ui.on_timer();
        return 0;
    case WM_DPICHANGED:
        ui.on_dpi_changed(HIWORD(wparam));
        return 0;
    case WM_CLOSE:
        if (ui.launching) return 0;
        if (ui.busy) {
            ui.close_requested = true;
            ui.stop();
            ui.update_buttons();
            return 0;
        }
        DestroyWindow(ui.window);
        return 0;
    default:
        return DefWindowProcW(ui.window, message, wparam, lparam);
    }
}

// The edge to Win32: nothing leaves as an exception.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    try {
        if (message == WM_NCCREATE) {
            Ui* ui = static_cast<Ui*>(reinterpret_cast<const CREATESTRUCTW*>(lparam)->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(ui));
            ui->window = window;
        }
        Ui* ui = ui_of(window);
        return ui != nullptr ? handle(*ui, message, wparam, lparam) : DefWindowProcW(window, message, wparam, lparam);
    } catch (...) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

// The standard conversion's own texts, whatever the library's say.
float preview_scale(const std::wstring& text) {
    try {
        return std::stof(text);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stof argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stof argument out of range");
    }
}

int preview(Ui& ui, const std::vector<std::wstring>& arguments) {
    const bool ready = arguments.size() >= 4 && arguments[3] == L"--ready";
    ui.busy = !ready;
    ui.ready = ready;
    std::lock_guard lock(ui.progress_mutex);
    ui.progress = ready ? Progress{Stage::ready, L"Sẵn sàng vào game", {}, 1, 1, 0, 0, 0, true}
                        : Progress{Stage::extracting, L"Đang giải nén client…", L"Data/Player/Armor01.bmd",
                                   1932735283, 3221225472, 16250, 27404, 0, true};
    return 0;
}

void create_window(Ui& ui) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hIconSm = window_class.hIcon;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.lpszClassName = class_name;
    require(RegisterClassExW(&window_class) != 0, "Không đăng ký được cửa sổ launcher.");
    require(CreateWindowExW(WS_EX_CONTROLPARENT, class_name, L"QORN.TV — Launcher PC", window_style, CW_USEDEFAULT,
                            CW_USEDEFAULT, 960, 560, nullptr, nullptr, instance, &ui) != nullptr,
            "Không mở được cửa sổ launcher.");
    for (const ButtonEntry& entry : buttons) {
        const HWND control = CreateWindowExW(
            0, L"BUTTON", entry.text, button_style | (entry.initially_disabled ? WS_DISABLED : 0),
            static_cast<int>(entry.x), static_cast<int>(entry.y), static_cast<int>(entry.width),
            static_cast<int>(entry.height), ui.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)),
            instance, nullptr);
        require(control != nullptr, "Không tạo được nút điều khiển.");
    }
}

int message_loop(Ui& ui) {
    MSG message{};
    int got = 0;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (message.message == WM_KEYDOWN && message.wParam == VK_ESCAPE) {
            SendMessageW(ui.window, WM_CLOSE, 0, 0);
            continue;
        }
        if (IsDialogMessageW(ui.window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int run_window(const std::vector<std::wstring>& arguments, const LauncherFlags& flags) {
    Gdiplus::GdiplusStartupInput input;
    GdiplusSession gdiplus;
    require(Gdiplus::GdiplusStartup(gdiplus.put(), &input, nullptr) == Gdiplus::Ok,
            "Không khởi tạo được giao diện.");
    Ui ui;
    ui.skip_launcher_update = flags.skip_launcher_update;
    ui.arguments = arguments;
    if (arguments.size() == 3 && arguments[0] == L"--test-ui") {
        require(!crack_url(arguments[2]).https, "UI test mode only accepts HTTP loopback.");
        ui.client_folder = std::filesystem::absolute(arguments[1]);
        ui.manifest_url = arguments[2];
    } else if (arguments.size() >= 2 && arguments[0] == L"--preview") {
        preview(ui, arguments);
        return write_preview(ui, arguments[1], arguments.size() >= 3 ? preview_scale(arguments[2]) : 1.0f);
    }
    create_window(ui);
    ui.on_dpi_changed(GetDpiForWindow(ui.window));
    acknowledge_launcher(ui.client_folder, flags.acknowledgement);
    ShowWindow(ui.window, SW_SHOWNORMAL);
    SetTimer(ui.window, poll_timer, 100, nullptr);
    ui.begin(flags.full_check);
    const int code = message_loop(ui);
    if (ui.worker) {
        ui.cancel->cancel();
        WaitForSingleObject(ui.worker.get(), INFINITE);
        ui.worker.reset();
    }
    return code;
}

}  // namespace qorn
