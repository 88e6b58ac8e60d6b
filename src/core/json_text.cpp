#include "core/json_text.hpp"

#include <stdexcept>

namespace qorn {

bool json_depth_within(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;  // the escaped character cannot end the string
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

nlohmann::json parse_json(std::string_view text) {
    if (!json_depth_within(text)) throw std::runtime_error("Dữ liệu JSON lồng nhau quá sâu.");
    return nlohmann::json::parse(text, nullptr, true, false);
}

std::string json_text(const nlohmann::json& value, JsonStyle style) {
    const bool indented = style == JsonStyle::indented;
    return value.dump(indented ? 2 : -1, ' ', indented, nlohmann::json::error_handler_t::strict);
}

}  // namespace qorn
