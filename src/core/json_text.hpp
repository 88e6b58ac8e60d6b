// JSON text as the launcher reads and writes it: every text is refused above a
// nesting bound far beyond any real manifest or record (the library's writer,
// copy and comparison recurse once per level), and written records are either
// indented ASCII or compact UTF-8. Stateless; safe on any thread.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace qorn {

inline constexpr std::size_t json_depth_limit = 256;

// Whether no array or object of the text lies deeper than the limit. Exact for
// valid JSON; for other text the parse that follows refuses it anyway.
bool json_depth_within(std::string_view text, std::size_t limit = json_depth_limit);

// Strict parse (no comments); "Dữ liệu JSON lồng nhau quá sâu." for a deeper text,
// the library's own errors otherwise.
nlohmann::json parse_json(std::string_view text);

enum class JsonStyle {
    indented,  // indent 2, non-ASCII as \u escapes: small records people read
    compact,   // no blanks, UTF-8 as it is: records whose size follows the release
};

// Keys ascending (objects are ordered maps), no trailing line break; invalid UTF-8 fails.
std::string json_text(const nlohmann::json& value, JsonStyle style);

}  // namespace qorn
