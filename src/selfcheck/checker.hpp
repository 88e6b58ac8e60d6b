// The check counter of one self-check suite: a check holds, or the suite ends with its
// prefix and the check's number, counted from 1. Plain value; one suite, one thread.
#pragma once

#include "core/text.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace qorn {

class Checker {
public:
    explicit Checker(std::string prefix) : prefix_(std::move(prefix)) {}

    void that(bool holds) {
        require(holds, prefix_ + std::to_string(count_ + 1));
        ++count_;
    }
    // The operation must throw; any exception counts.
    void fails(const std::function<void()>& operation) {
        bool threw = false;
        try {
            operation();
        } catch (...) {
            threw = true;
        }
        that(threw);
    }
    std::uint32_t count() const { return count_; }

private:
    std::string prefix_;
    std::uint32_t count_ = 0;
};

// The system temporary folder's `name` followed by this process's id, made for one
// suite and removed after it, also when it fails (a failed removal is the error then).
// One that already exists ends the suite with `exists_message` and is never touched.
std::uint32_t in_scratch_folder(const std::wstring& name, const char* exists_message,
                                const std::function<std::uint32_t(const std::filesystem::path&)>& suite);

}  // namespace qorn
