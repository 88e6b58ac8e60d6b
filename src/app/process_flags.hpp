// The process-wide flags of the command line. Written once during start-up,
// before any other thread exists; read-only afterwards.
#pragma once

#include "selfupdate/handoff.hpp"

namespace qorn {

LauncherFlags& process_flags();

}  // namespace qorn
