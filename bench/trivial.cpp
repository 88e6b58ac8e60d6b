// The floor of the sync benchmarks: a Windows program that starts and exits at
// once, built like Updater.exe (GUI subsystem, Unicode entry, static runtime), so
// its wall time under Wine is what any run of a program costs before it does work.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
