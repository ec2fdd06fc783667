// SPDX-License-Identifier: MIT
#pragma once

// Inside the engine: how the names that identify an app are kept, both when they are read from
// a bundle and when they are read back from the record.

#include <cstddef>
#include <string>
#include <vector>

namespace brinvast {

// The most names one list of an app's holds: nested bundles, labels or groups.
inline constexpr std::size_t MAX_NAMES = 512;

// The characters a name starts with and a team is made of: ASCII only, whatever the locale.
[[nodiscard]] bool is_letter_or_digit(char c);

// Adds `name` to the sorted `names`, once, while fewer than MAX_NAMES stand there.
void add_sorted(std::vector<std::string>& names, const std::string& name);

}  // namespace brinvast
