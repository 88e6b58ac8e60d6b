// Strict base64 (RFC 4648, standard alphabet, with padding): exactly one text
// for each byte string. Stateless; safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qorn {

// The bytes, or nothing for any other text: a length that is not a multiple of
// four, a character outside the alphabet (line breaks and blanks included),
// padding other than at the end, or unused bits that are not zero.
std::optional<std::string> decode_base64(std::string_view text);

}  // namespace qorn
