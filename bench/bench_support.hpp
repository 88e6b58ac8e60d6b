// Small helpers shared by the benchmarks: a monotonic clock and the process's
// peak working set. Single-threaded use.
#pragma once

#include <cstdint>
#include <string>

namespace qorn::bench {

double seconds_now();
std::uint64_t peak_working_set();
std::string mib(std::uint64_t bytes);
std::string fixed(double value, int decimals);

}  // namespace qorn::bench
