#include "core/base64.hpp"

namespace qorn {
namespace {

int sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::string> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const std::size_t padding = last ? (text[at + 3] == '=') + (text[at + 2] == '=' && text[at + 3] == '=') : 0;
        unsigned value = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int bits = i < 4 - padding ? sextet(text[at + i]) : 0;
            if (bits < 0) return std::nullopt;
            value = value << 6 | static_cast<unsigned>(bits);
        }
        // The bits below the last byte kept must be zero, so each byte string has one text.
        if ((padding == 1 && (value & 0xFF) != 0) || (padding == 2 && (value & 0xFFFF) != 0)) return std::nullopt;
        for (std::size_t i = 0; i < 3 - padding; ++i) bytes += static_cast<char>(value >> (16 - 8 * i) & 0xFF);
    }
    return bytes;
}

}  // namespace qorn
