// SPDX-License-Identifier: MIT
#include "plist_values.h"

#include <algorithm>

namespace brinvast::plist {

std::optional<std::size_t> position(const Wanted& wanted, std::string_view key) {
    const auto at = std::find(wanted.keys.begin(), wanted.keys.end(), key);
    if (at == wanted.keys.end()) return std::nullopt;
    return static_cast<std::size_t>(at - wanted.keys.begin());
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace brinvast::plist
