// Entry point of Updater.exe: DPI awareness before any window or GDI object, a
// crash that can never end with exit code 0, then the command line and exactly
// one run mode.
#include "app/entry.hpp"
#include "core/crash.hpp"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    qorn::end_process_on_crash();
    return qorn::run_entry(GetCommandLineW(), qorn::built_in_modes());
}
