// Runs a callable and answers the message of the runtime error it threw, or
// "(no failure)"; lets tests compare exact Vietnamese messages.
#pragma once

#include <stdexcept>
#include <string>

namespace qorn::test {

template <typename F>
std::string failure_of(F&& body) {
    try {
        body();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "(no failure)";
}

inline bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace qorn::test
