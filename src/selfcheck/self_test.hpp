// The built-in self-checks of --self-test: fixed inputs through the launcher's real
// rules, with scratch files only in folders of their own under the temporary folder.
// Each suite returns its count of checks that held, or throws at the first that fails.
// Runs on the start-up thread; nothing else runs in that process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qorn {

class Checker;

// All suites in order; prints "Native assertions passed: " and the total, returns 0.
int self_test(const std::function<void(std::string_view)>& print);

std::uint32_t native_self_test();
// The client paths the native checks must see refused, in check order.
const std::vector<std::string>& refused_client_paths();
// The native checks without files, with `refused` in place of that list.
void check_native_rules(Checker& check, const std::vector<std::string>& refused = refused_client_paths());
std::uint32_t first_start_self_test();
std::uint32_t shortcut_self_test();
std::uint32_t game_launch_self_test();
std::uint32_t self_update_self_test();

}  // namespace qorn
