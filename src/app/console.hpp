// Machine-readable output of the head-less modes: one UTF-8 line per call on the
// standard output. Lines are written with one system write each.
#pragma once

#include <string>
#include <string_view>

namespace qorn {

// Appends "\n" and writes with one WriteFile; nothing happens without a standard output.
void print_line(std::string_view text);

}  // namespace qorn
