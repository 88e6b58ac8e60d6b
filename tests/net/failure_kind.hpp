// Names the type of failure a call ended in, with its message: the sync driver
// treats Cancelled, NetworkError and other runtime errors differently.
#pragma once

#include "core/cancel.hpp"
#include "net/network.hpp"

#include <string>

namespace qorn::test {

template <typename F>
std::string failure_kind(F&& body) {
    try {
        body();
    } catch (const Cancelled&) {
        return "Cancelled";
    } catch (const NetworkError& failure) {
        return std::string("NetworkError: ") + failure.what();
    } catch (const std::runtime_error& failure) {
        return std::string("runtime_error: ") + failure.what();
    }
    return "(no failure)";
}

}  // namespace qorn::test
