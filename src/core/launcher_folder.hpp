// The folder of the running executable, where the launcher lives and (for the
// window) the client folder it updates. Stateless; safe on any thread.
#pragma once

#include <filesystem>

namespace qorn {

// Fails with "Không tìm được thư mục launcher." when the path is unavailable or cut short.
std::filesystem::path launcher_folder();

}  // namespace qorn
