// The process-wide flags of the command line. Written once during start-up,
// before any other thread exists; read-only afterwards.
#pragma once

#include "app/entry.hpp"

namespace qorn {

struct ProcessFlags {
    bool skip_launcher_update = false;  // "--skip-launcher-update"
    bool full_check = false;            // "--full-check": the window's first run checks every file
};

ProcessFlags& process_flags();

// Removes the flag options wherever they stand and records them.
void strip_flag_options(Arguments& arguments, ProcessFlags& flags);

}  // namespace qorn
