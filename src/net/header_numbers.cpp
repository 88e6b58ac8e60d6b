#include "net/header_numbers.hpp"

#include <limits>

namespace qorn {

std::optional<std::uint64_t> parse_decimal(std::wstring_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - L'0');
        if (value > (largest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<ContentRange> parse_content_range(std::wstring_view value) {
    constexpr std::wstring_view unit = L"bytes ";
    if (!value.starts_with(unit)) return std::nullopt;
    value.remove_prefix(unit.size());
    const size_t dash = value.find(L'-');
    const size_t slash = value.find(L'/');
    if (dash == std::wstring_view::npos || slash == std::wstring_view::npos || slash < dash) return std::nullopt;
    const auto first = parse_decimal(value.substr(0, dash));
    const auto last = parse_decimal(value.substr(dash + 1, slash - dash - 1));
    const auto total = parse_decimal(value.substr(slash + 1));
    if (!first || !last || !total) return std::nullopt;
    return ContentRange{*first, *last, *total};
}

}  // namespace qorn
