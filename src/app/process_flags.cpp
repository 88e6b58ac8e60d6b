#include "app/process_flags.hpp"

namespace qorn {

LauncherFlags& process_flags() {
    static LauncherFlags flags;
    return flags;
}

}  // namespace qorn
