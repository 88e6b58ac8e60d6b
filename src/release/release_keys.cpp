// Compiled once per key set and linked into each program beside the library
// (cmake: qorn_keys_library), so that builds with other keys share everything else.
#include "release/release_keys.hpp"

#include "release_key_data.hpp"

namespace qorn {

std::span<const EcdsaPublicKey> build_release_keys() { return generated_release_keys; }

}  // namespace qorn
