// Numbers in the header values of a host's answer, read by hand: a value may be
// up to 64 KB of the host's text, so nothing here recurses or grows with its length.
// Pure functions; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qorn {

// A whole value of ASCII digits that fits 64 bits; nothing for anything else
// (empty, signs, blanks, other digits, overflow).
std::optional<std::uint64_t> parse_decimal(std::wstring_view text);

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
    bool operator==(const ContentRange&) const = default;
};

// Exactly "bytes F-L/T", each number as parse_decimal reads it; nothing otherwise.
std::optional<ContentRange> parse_content_range(std::wstring_view value);

}  // namespace qorn
