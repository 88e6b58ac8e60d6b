// Newer launcher builds whose hand-over must be rolled back, for the whole-program
// tests; never shipped. With QORN_BROKEN_EXITS the build ends at once; without it, it
// shows a window that closes when asked and never confirms its start.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifdef QORN_BROKEN_EXITS
    (void)instance;
    return 3;
#else
    WNDCLASSW type{};
    type.lpfnWndProc = [](HWND window, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
        if (message == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcW(window, message, wparam, lparam);
    };
    type.hInstance = instance;
    type.lpszClassName = L"QORNSilentBuild";
    RegisterClassW(&type);
    CreateWindowW(type.lpszClassName, L"Silent build", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                  nullptr, instance, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
#endif
}
