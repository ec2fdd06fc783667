// SPDX-License-Identifier: MIT
#pragma once

// Identifiers, and the names of files made from them, compare without regard to ASCII case:
// the disks macOS formats ignore it unless asked not to, and two apps whose identifiers differ
// only in case share every file named after them.

#include <algorithm>
#include <string_view>

namespace brinvast {

[[nodiscard]] constexpr char folded(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::ranges::equal(a, b, [](char x, char y) { return folded(x) == folded(y); });
}

[[nodiscard]] constexpr bool name_starts_with(std::string_view name, std::string_view prefix) {
    return name.size() >= prefix.size() && same_name(name.substr(0, prefix.size()), prefix);
}

[[nodiscard]] constexpr bool name_ends_with(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           same_name(name.substr(name.size() - suffix.size()), suffix);
}

// Orders names as same_name tells them apart, for sets and maps looked up by any spelling.
struct NameLess {
    using is_transparent = void;
    [[nodiscard]] constexpr bool operator()(std::string_view a, std::string_view b) const {
        return std::ranges::lexicographical_compare(
            a, b, [](char x, char y) { return folded(x) < folded(y); });
    }
};

}  // namespace brinvast
