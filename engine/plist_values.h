// SPDX-License-Identifier: MIT
#pragma once

// What the two property-list readers behind info_plist.h share: what is asked of a file and what
// a reader found in it. Each reader reads only the top dictionary's wanted keys and judges nothing
// but the file's shape; info_plist.cpp turns what they found into answers and sentences.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brinvast::plist {

// The most elements a wanted list may have: more is refused, not cut short.
constexpr std::size_t MAX_LIST_SIZE = 256;

// What a wanted key's value gives: a string; a string, or an array's first element when that is
// one; or the strings of an array, or the keys of a dictionary.
enum class Take { string, first_of_array, list };

// The top-level keys asked for, and what their values give.
struct Wanted {
    std::span<const std::string_view> keys;
    Take take = Take::string;
};

// Why a file's contents are refused before any key counts.
enum class Fault { none, not_a_plist, too_deep, no_dictionary, too_long };

// What a parser found under one wanted key of the top-level dictionary.
struct Found {
    int times = 0;                                 // how often the key appears
    std::optional<std::string> text;               // the value, when it is a string
    std::optional<std::vector<std::string>> list;  // when a list was asked for and found
};

// What a parser found under each wanted key, in the order they were asked for.
struct Lookup {
    Fault fault = Fault::none;  // the file is at fault; nothing else counts then
    std::vector<Found> found;
};

// Where `key` stands among the wanted keys, when it is one of them.
[[nodiscard]] std::optional<std::size_t> position(const Wanted& wanted, std::string_view key);

// Appends the code point `code` to `out` in UTF-8.
void append_utf8(std::string& out, std::uint32_t code);

// What `wanted` holds in a binary property list (bplist00).
[[nodiscard]] Lookup lookup_binary(std::string_view bytes, const Wanted& wanted);

// What `wanted` holds in an XML property list.
[[nodiscard]] Lookup lookup_xml(std::string_view text, const Wanted& wanted);

}  // namespace brinvast::plist
