// The public keys this build trusts for signed release statements, fixed when
// the program is built (the CMake setting QORN_RELEASE_KEYS: none, one, or the
// current and the next key during a rotation). Constant data; safe on any thread.
#pragma once

#include "core/signature.hpp"

#include <span>

namespace qorn {

// Empty in a build without keys, which reads no release statement at all.
std::span<const EcdsaPublicKey> build_release_keys();

}  // namespace qorn
