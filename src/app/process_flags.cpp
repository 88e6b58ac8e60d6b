#include "app/process_flags.hpp"

#include <algorithm>

namespace qorn {

ProcessFlags& process_flags() {
    static ProcessFlags flags;
    return flags;
}

void strip_flag_options(Arguments& arguments, ProcessFlags& flags) {
    const auto strip = [&arguments](const wchar_t* option) {
        const auto removed = std::erase(arguments, option);
        return removed > 0;
    };
    if (strip(L"--skip-launcher-update")) flags.skip_launcher_update = true;
    if (strip(L"--full-check")) flags.full_check = true;
}

}  // namespace qorn
