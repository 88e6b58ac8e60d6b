#include "bench_support.hpp"

#include <windows.h>
#include <psapi.h>

#include <cstdio>

namespace qorn::bench {

double seconds_now() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER now{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint64_t peak_working_set() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string mib(std::uint64_t bytes) { return fixed(static_cast<double>(bytes) / 1048576.0, 1) + " MiB"; }

}  // namespace qorn::bench
