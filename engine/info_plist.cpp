// SPDX-License-Identifier: MIT
#include "info_plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr std::size_t MAX_PLIST_SIZE = 1 << 20;
constexpr std::size_t MAX_IDENTIFIER_SIZE = 255;
constexpr std::size_t MAX_SHOWN = 64;
constexpr std::size_t MAX_DEPTH = 64;  // Apple's property lists nest a few levels
constexpr std::size_t MAX_LIST_SIZE = 256;
constexpr std::string_view BUNDLE_KEY = "CFBundleIdentifier";
constexpr char INFO_PLIST[] = "Info.plist";
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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

[[nodiscard]] std::string fault_text(Fault fault, std::string_view file) {
    const std::string name(file);
    switch (fault) {
        case Fault::too_deep:
            return name + " is nested deeper than 64 levels";
        case Fault::no_dictionary:
            return name + " does not hold a dictionary";
        case Fault::too_long:
            return name + " holds a list of more than 256 elements";
        case Fault::none:
        case Fault::not_a_plist:
            break;
    }
    return name + " is not an XML or binary property list";
}

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

[[nodiscard]] std::optional<std::size_t> position(const Wanted& wanted, std::string_view key) {
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

// ---- Binary: "bplist00", objects, a table of their offsets, a 32-byte trailer. Only the top
// dictionary's own references, and a wanted array's or dictionary's own, are followed, so a cycle
// cannot hold the reader.

class BinaryPlist {
public:
    BinaryPlist(std::string_view bytes, const Wanted& wanted) : bytes_(bytes), wanted_(wanted) {}

    Lookup lookup() {
        Lookup found{Fault::none, std::vector<Found>(wanted_.keys.size())};
        if (!read_trailer() || !lookup_in_top(found))
            found.fault = fault_ == Fault::none ? Fault::not_a_plist : fault_;
        return found;
    }

private:
    struct Object {
        unsigned type = 0;        // the marker's high nibble
        std::uint64_t count = 0;  // entries, bytes or UTF-16 units
        std::uint64_t body = 0;   // where what follows the marker and count begins
    };

    // The big-endian unsigned integer of `size` bytes at `at`, when it ends by `end`.
    [[nodiscard]] std::optional<std::uint64_t> number(std::uint64_t at, unsigned size,
                                                      std::uint64_t end) const {
        if (at > end || size > end - at) return std::nullopt;
        std::uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i)
            value = (value << 8) | static_cast<unsigned char>(bytes_[at + i]);
        return value;
    }

    bool read_trailer() {
        if (bytes_.size() < 8 + 32 || bytes_.substr(0, 8) != "bplist00") return false;
        trailer_ = bytes_.size() - 32;
        offset_size_ = static_cast<unsigned char>(bytes_[trailer_ + 6]);
        ref_size_ = static_cast<unsigned char>(bytes_[trailer_ + 7]);
        objects_ = *number(trailer_ + 8, 8, bytes_.size());
        top_ = *number(trailer_ + 16, 8, bytes_.size());
        table_ = *number(trailer_ + 24, 8, bytes_.size());
        return offset_size_ >= 1 && offset_size_ <= 8 && ref_size_ >= 1 && ref_size_ <= 8 &&
               top_ < objects_ && table_ >= 8 && table_ <= trailer_ &&
               objects_ <= (trailer_ - table_) / offset_size_;
    }

    // The object that `ref` names, its marker and count read; nullopt when anything lies
    // outside the objects.
    [[nodiscard]] std::optional<Object> object(std::uint64_t ref) const {
        if (ref >= objects_) return std::nullopt;
        const auto offset = number(table_ + ref * offset_size_, offset_size_, trailer_);
        if (!offset || *offset < 8 || *offset >= table_) return std::nullopt;
        const auto marker = static_cast<unsigned char>(bytes_[*offset]);
        Object found{static_cast<unsigned>(marker >> 4), static_cast<unsigned>(marker & 0xF),
                     *offset + 1};
        if (found.count == 0xF) {  // the count follows as an integer object, 0x1n of 2^n bytes
            const auto size_marker = number(found.body, 1, table_);
            if (!size_marker || (*size_marker >> 4) != 1 || (*size_marker & 0xF) > 3)
                return std::nullopt;
            const unsigned size = 1u << (*size_marker & 0xF);
            const auto count = number(found.body + 1, size, table_);
            if (!count) return std::nullopt;
            found = {found.type, *count, found.body + 1 + size};
        }
        return found;
    }

    // The string's bytes (ASCII) or units (UTF-16BE), when they lie within the objects.
    [[nodiscard]] std::optional<std::string_view> string_of(const Object& string) const {
        const std::uint64_t unit = string.type == 0x5 ? 1 : string.type == 0x6 ? 2 : 0;
        if (unit == 0 || string.count > (table_ - string.body) / unit) return std::nullopt;
        return bytes_.substr(string.body, string.count * unit);
    }

    // The key's text, in UTF-8 as the wanted keys are.
    [[nodiscard]] std::string_view key_text(const Object& key, std::string_view bytes) {
        if (key.type == 0x5) return bytes;
        key_ = utf8_of_utf16(bytes);
        return key_;
    }

    [[nodiscard]] static std::string utf8_of_utf16(std::string_view units) {
        std::string text;
        const auto unit = [&](std::size_t i) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(units[2 * i]) << 8 |
                                              static_cast<unsigned char>(units[2 * i + 1]));
        };
        for (std::size_t i = 0; i < units.size() / 2; ++i) {
            std::uint32_t code = unit(i);
            const bool high = code >= 0xD800 && code < 0xDC00;
            if (high && i + 1 < units.size() / 2 && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (unit(++i) - 0xDC00);
            } else if (code >= 0xD800 && code < 0xE000) {
                code = 0xFFFD;  // a lone surrogate
            }
            append_utf8(text, code);
        }
        return text;
    }

    // Sets `text` when `value` is a string; false when its bytes lie outside the objects.
    bool read_string(const Object& value, std::optional<std::string>& text) const {
        if (value.type != 0x5 && value.type != 0x6) return true;
        const auto bytes = string_of(value);
        if (!bytes) return false;
        text = value.type == 0x5 ? std::string(*bytes) : utf8_of_utf16(*bytes);
        return true;
    }

    // Reads the value that `ref` names into `found`, as `wanted_` asks. An array whose first
    // element is itself or the top dictionary is a cycle.
    bool read_value(std::uint64_t ref, Found& found) {
        const auto value = object(ref);
        if (!value) return false;
        if (wanted_.take == Take::list) return read_list(ref, *value, found);
        if (value->type != 0xA || wanted_.take != Take::first_of_array)
            return read_string(*value, found.text);
        if (value->count > (table_ - value->body) / ref_size_) return false;
        if (value->count == 0) return true;
        const auto first_ref = number(value->body, ref_size_, table_);
        if (!first_ref || *first_ref == top_ || *first_ref == ref) return false;
        const auto first = object(*first_ref);
        return first && read_string(*first, found.text);
    }

    // Reads the strings of the array, or the keys of the dictionary, that `ref` names into
    // `found`. An element that is the list itself or the top dictionary is a cycle.
    bool read_list(std::uint64_t ref, const Object& value, Found& found) {
        if (value.type != 0xA && value.type != 0xD) return true;
        if (value.count > MAX_LIST_SIZE) {
            fault_ = Fault::too_long;
            return false;
        }
        const std::uint64_t entry = value.type == 0xD ? 2 * ref_size_ : ref_size_;
        if (value.count > (table_ - value.body) / entry) return false;
        std::vector<std::string>& list = found.list.emplace();
        for (std::uint64_t i = 0; i < value.count; ++i) {
            const auto element_ref = number(value.body + i * ref_size_, ref_size_, table_);
            if (!element_ref || *element_ref == top_ || *element_ref == ref) return false;
            const auto element = object(*element_ref);
            std::optional<std::string> text;
            if (!element || !read_string(*element, text)) return false;
            if (value.type == 0xD && !text) return false;  // keys are strings
            if (text) list.push_back(std::move(*text));
        }
        return true;
    }

    // Keys must be strings. A reference back to the top dictionary is a cycle, which CF
    // refuses the whole file for.
    bool lookup_in_top(Lookup& found) {
        const auto top = object(top_);
        if (!top) return false;
        if (top->type != 0xD) {
            fault_ = Fault::no_dictionary;
            return false;
        }
        const std::uint64_t count = top->count;
        if (count > (table_ - top->body) / (2 * ref_size_)) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const auto key_ref = number(top->body + i * ref_size_, ref_size_, table_);
            const auto value_ref = number(top->body + (count + i) * ref_size_, ref_size_, table_);
            if (!key_ref || !value_ref || *key_ref == top_ || *value_ref == top_) return false;
            const auto key = object(*key_ref);
            const auto key_bytes = key ? string_of(*key) : std::nullopt;
            if (!key_bytes) return false;
            const auto wanted = position(wanted_, key_text(*key, *key_bytes));
            if (!wanted || ++found.found[*wanted].times > 1) continue;
            if (!read_value(*value_ref, found.found[*wanted])) return false;
        }
        return true;
    }

    std::string_view bytes_;
    Wanted wanted_;
    Fault fault_ = Fault::none;
    std::string key_;  // a UTF-16 key in UTF-8, kept from one entry to the next
    unsigned offset_size_ = 0;
    unsigned ref_size_ = 0;
    std::uint64_t objects_ = 0;
    std::uint64_t top_ = 0;
    std::uint64_t table_ = 0;    // where the offset table starts, and the objects end
    std::uint64_t trailer_ = 0;  // where the offset table ends
};

// ---- XML: the subset Apple writes. Comments, processing instructions and the DOCTYPE are
// skipped wherever they stand; elements are skipped by a bounded stack, not by recursion.

class XmlPlist {
public:
    XmlPlist(std::string_view text, const Wanted& wanted) : text_(text), wanted_(wanted) {
        if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    }

    Lookup lookup() {
        Lookup found{Fault::none, std::vector<Found>(wanted_.keys.size())};
        if (!lookup_in_document(found))
            found.fault = fault_ == Fault::none ? Fault::not_a_plist : fault_;
        return found;
    }

private:
    enum class Kind { start, end, text, cdata, done, bad };
    struct Token {
        explicit Token(Kind kind = Kind::bad, std::string_view name = {})
            : kind(kind), name(name) {}
        Kind kind;
        std::string_view name;  // the tag's name, or the text
        bool empty = false;     // <name/>
    };

    [[nodiscard]] static bool is_space(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    }

    // Moves past `close`, which ends what starts at pos_; false when nothing closes it.
    bool skip_past(std::string_view close) {
        const auto at = text_.find(close, pos_);
        if (at == std::string_view::npos) return false;
        pos_ = at + close.size();
        return true;
    }

    // Moves past the '>' that ends a tag or declaration, over quoted attribute values. The
    // DOCTYPE's internal subset, which could declare entities, is refused.
    bool skip_tag(bool& empty) {
        char quote = 0;
        for (; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                return false;
            } else if (c == '>') {
                empty = text_[pos_ - 1] == '/';
                ++pos_;
                return true;
            }
        }
        return false;
    }

    Token tag(Kind kind) {
        const std::size_t begin = pos_;
        while (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != '/' &&
               text_[pos_] != '>')
            ++pos_;
        Token token(kind, text_.substr(begin, pos_ - begin));
        if (token.name.empty() || !skip_tag(token.empty) || (kind == Kind::end && token.empty))
            return Token();
        return token;
    }

    Token next() {
        while (pos_ < text_.size()) {
            const std::string_view rest = text_.substr(pos_);
            if (rest[0] != '<') {
                const std::size_t end = std::min(text_.find('<', pos_), text_.size());
                const Token text(Kind::text, text_.substr(pos_, end - pos_));
                pos_ = end;
                return text;
            }
            bool ignored = false;
            if (rest.starts_with("<!--")) {
                if (!skip_past("-->")) return Token();
            } else if (rest.starts_with("<?")) {
                if (!skip_past("?>")) return Token();
            } else if (rest.starts_with("<![CDATA[")) {
                pos_ += 9;
                const std::size_t begin = pos_;
                if (!skip_past("]]>")) return Token();
                return Token(Kind::cdata, text_.substr(begin, pos_ - 3 - begin));
            } else if (rest.starts_with("<!")) {
                if (!skip_tag(ignored)) return Token();
            } else if (rest.starts_with("</")) {
                pos_ += 2;
                return tag(Kind::end);
            } else {
                pos_ += 1;
                return tag(Kind::start);
            }
        }
        return Token(Kind::done);
    }

    // The next token that is not white space between elements; other text there is wrong.
    Token next_element() {
        for (;;) {
            const Token token = next();
            if (token.kind != Kind::text) return token;
            for (const char c : token.name) {
                if (!is_space(c)) return Token();
            }
        }
    }

    // Appends `text` with its entities replaced.
    static bool decode(std::string_view text, std::string& out) {
        while (!text.empty()) {
            const auto amp = text.find('&');
            out += text.substr(0, amp);
            if (amp == std::string_view::npos) return true;
            const auto semicolon = text.find(';', amp);
            if (semicolon == std::string_view::npos) return false;
            const std::string_view name = text.substr(amp + 1, semicolon - amp - 1);
            text.remove_prefix(semicolon + 1);
            if (name == "amp")
                out += '&';
            else if (name == "lt")
                out += '<';
            else if (name == "gt")
                out += '>';
            else if (name == "quot")
                out += '"';
            else if (name == "apos")
                out += '\'';
            else if (!decode_number(name, out))
                return false;
        }
        return true;
    }

    static bool decode_number(std::string_view name, std::string& out) {
        if (!name.starts_with('#')) return false;
        const bool hex = name.starts_with("#x");
        const std::string_view digits = name.substr(hex ? 2 : 1);
        std::uint32_t code = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            code == 0 || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            return false;
        append_utf8(out, code);
        return true;
    }

    // The text of the element `start`, which holds nothing but text.
    bool read_text(const Token& start, std::string& out) {
        if (start.empty) return true;
        for (;;) {
            const Token token = next();
            if (token.kind == Kind::end) return token.name == start.name;
            if (token.kind == Kind::cdata) {
                out += token.name;
            } else if (token.kind != Kind::text || !decode(token.name, out)) {
                return false;
            }
        }
    }

    // Moves past the element `start`, which begins at nesting level `level`.
    bool skip(const Token& start, std::size_t level) {
        if (start.empty) return true;
        std::vector<std::string_view>& open = open_;
        open.assign(1, start.name);
        while (!open.empty()) {
            const Token token = next();
            if (token.kind == Kind::start && !token.empty) {
                if (level + open.size() > MAX_DEPTH) {
                    fault_ = Fault::too_deep;
                    return false;
                }
                open.push_back(token.name);
            } else if (token.kind == Kind::end) {
                if (token.name != open.back()) return false;
                open.pop_back();
            } else if (token.kind == Kind::done || token.kind == Kind::bad) {
                return false;
            }
        }
        return true;
    }

    // The next tag, past any text; in an array, as skip() does, text between elements is passed
    // over.
    Token next_tag() {
        Token token = next();
        while (token.kind == Kind::text || token.kind == Kind::cdata)
            token = next();
        return token;
    }

    bool too_long() {
        fault_ = Fault::too_long;
        return false;
    }

    // Reads the string elements of the array `array`, which has begun, into `strings`, and
    // moves past its end.
    bool read_strings(const Token& array, std::vector<std::string>& strings) {
        for (std::size_t count = 0;; ++count) {
            const Token element = next_tag();
            if (element.kind == Kind::end) return element.name == array.name;
            if (element.kind != Kind::start) return false;
            if (count == MAX_LIST_SIZE) return too_long();
            const bool read = element.name == "string" ? read_text(element, strings.emplace_back())
                                                       : skip(element, 4);
            if (!read) return false;
        }
    }

    // Reads the keys of the dictionary `dict`, which has begun, into `keys`, and moves past its
    // end.
    bool read_keys(const Token& dict, std::vector<std::string>& keys) {
        for (;;) {
            const Token key = next_element();
            if (key.kind == Kind::end) return key.name == dict.name;
            if (keys.size() == MAX_LIST_SIZE) return too_long();
            if (key.kind != Kind::start || key.name != "key" ||
                !read_text(key, keys.emplace_back()))
                return false;
            const Token value = next_element();
            if (value.kind != Kind::start || !skip(value, 4)) return false;
        }
    }

    // Reads the top dictionary's value `value` into `found`, when it is an array or a
    // dictionary, and moves past it.
    bool read_list(const Token& value, Found& found) {
        if (value.name != "array" && value.name != "dict") return skip(value, 3);
        std::vector<std::string>& list = found.list.emplace();
        if (value.empty) return true;
        return value.name == "array" ? read_strings(value, list) : read_keys(value, list);
    }

    // Reads the top dictionary's value `value` into `found`, as `wanted_` asks, and moves past
    // it.
    bool read_value(const Token& value, Found& found) {
        if (wanted_.take == Take::list) return read_list(value, found);
        if (value.name == "string") return read_text(value, found.text.emplace());
        if (value.name != "array" || value.empty || wanted_.take != Take::first_of_array)
            return skip(value, 3);
        const Token first = next_tag();
        if (first.kind == Kind::end) return first.name == value.name;
        if (first.kind != Kind::start) return false;
        const bool read =
            first.name == "string" ? read_text(first, found.text.emplace()) : skip(first, 4);
        return read && skip(value, 3);
    }

    // The top dictionary's entries, up to its end.
    bool lookup_in_dict(Lookup& found) {
        for (;;) {
            const Token key = next_element();
            if (key.kind == Kind::end && key.name == "dict") return true;
            key_.clear();
            if (key.kind != Kind::start || key.name != "key" || !read_text(key, key_)) return false;
            const Token value = next_element();
            if (value.kind != Kind::start) return false;
            const auto wanted = position(wanted_, key_);
            const bool read = !wanted || ++found.found[*wanted].times > 1
                                  ? skip(value, 3)
                                  : read_value(value, found.found[*wanted]);
            if (!read) return false;
        }
    }

    bool lookup_in_document(Lookup& found) {
        const Token plist = next_element();
        if (plist.kind != Kind::start || plist.name != "plist") return false;
        const Token dict = plist.empty ? Token(Kind::end) : next_element();
        if (dict.kind != Kind::start || dict.name != "dict") {
            if (dict.kind == Kind::start || dict.kind == Kind::end) fault_ = Fault::no_dictionary;
            return false;
        }
        if (!dict.empty && !lookup_in_dict(found)) return false;
        const Token end = next_element();
        return end.kind == Kind::end && end.name == "plist" && next_element().kind == Kind::done;
    }

    std::string_view text_;
    Wanted wanted_;
    std::size_t pos_ = 0;
    Fault fault_ = Fault::none;
    // Kept from one entry to the next, so that their memory is too.
    std::string key_;
    std::vector<std::string_view> open_;
};

[[nodiscard]] bool is_well_formed(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > MAX_IDENTIFIER_SIZE) return false;
    if (identifier.front() == '.' || identifier.back() == '.') return false;
    if (identifier.find("..") != std::string_view::npos) return false;
    for (const char c : identifier) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
    }
    return true;
}

[[nodiscard]] Lookup lookup(std::string_view plist, const Wanted& wanted) {
    if (plist.starts_with("bplist")) return BinaryPlist(plist, wanted).lookup();
    return XmlPlist(plist, wanted).lookup();
}

// An Info.plist's CFBundleIdentifier, its only wanted key.
[[nodiscard]] BundleIdentifier judged(const Lookup& lookup) {
    const std::string key(BUNDLE_KEY);
    if (lookup.fault != Fault::none) return {std::nullopt, fault_text(lookup.fault, INFO_PLIST)};
    const Found& found = lookup.found.front();
    if (found.times == 0) return {std::nullopt, key + " is missing"};
    if (found.times > 1) return {std::nullopt, key + " appears more than once"};
    if (!found.text) return {std::nullopt, key + " is not a string"};
    if (!is_well_formed(*found.text))
        return {std::nullopt,
                key + " \"" + shown_name(*found.text) + "\" is not a valid bundle identifier"};
    return {found.text, {}};
}

// What `keys` hold in `plist`, as `take` reads them into `member`, or why `file` is refused.
template <typename Result, typename Value>
[[nodiscard]] Result collected(std::string_view plist, std::initializer_list<std::string_view> keys,
                               Take take, std::optional<Value> Found::*member,
                               std::string_view file) {
    const Wanted wanted{{keys.begin(), keys.size()}, take};
    const Lookup found = lookup(plist, wanted);
    if (found.fault != Fault::none) return {{}, fault_text(found.fault, file)};
    Result result;
    for (std::size_t i = 0; i < wanted.keys.size(); ++i) {
        const std::string key(wanted.keys[i]);
        if (found.found[i].times > 1)
            return {{}, key + " appears more than once in " + std::string(file)};
        if (found.found[i].*member) result.values.emplace(key, *(found.found[i].*member));
    }
    return result;
}

// The contents of the regular file `fd`, which problems call `what`, or an empty optional and
// the reason.
[[nodiscard]] std::optional<std::string> read_limited(int fd, const std::string& what,
                                                      std::string& problem) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = what + " is not a regular file";
        return std::nullopt;
    }
    std::string contents;
    contents.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(status.st_size), MAX_PLIST_SIZE + 1));
    char chunk[16384];
    // The size is checked as read, not as fstat said: the file may grow meanwhile.
    while (contents.size() <= MAX_PLIST_SIZE) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        const int error = errno;
        if (got == 0) return contents;
        if (got < 0 && error == EINTR) continue;
        if (got < 0) {
            problem = what + " cannot be read: " + std::generic_category().message(error);
            return std::nullopt;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    problem = what + " is larger than 1 MiB";
    return std::nullopt;
}

// The contents of the regular file `name` in `dir`, opened without following a link, or an
// empty optional and the reason.
[[nodiscard]] std::optional<std::string> read_named(int dir, const char* name,
                                                    std::string& problem) {
    // O_NONBLOCK: a FIFO planted there must not hold the open.
    const unique_fd file(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        const int error = errno;
        problem = open_problem(dir, name, name, error, std::string("no ") + name);
        return std::nullopt;
    }
    return read_limited(file.get(), name, problem);
}

// What `keys` hold in the file `name` in `dir`, as collected() reads them.
template <typename Result, typename Value>
[[nodiscard]] Result read_collected(int dir, const char* name,
                                    std::initializer_list<std::string_view> keys, Take take,
                                    std::optional<Value> Found::*member) {
    // A path could lead through a link before the last name.
    if (std::strchr(name, '/') != nullptr) return {{}, std::string(name) + " is not a file name"};
    std::string problem;
    const auto text = read_named(dir, name, problem);
    if (!text) return {{}, problem};
    return collected<Result>(*text, keys, take, member, name);
}

}  // namespace

bool is_reverse_dns(std::string_view identifier) {
    // A well-formed identifier has no empty part, so one dot makes two parts.
    return is_well_formed(identifier) && identifier.find('.') != std::string_view::npos;
}

std::string shown_name(std::string_view value) {
    std::string text;
    for (const char c : value.substr(0, MAX_SHOWN))
        text += c >= ' ' && c <= '~' && c != '"' ? c : '?';
    return value.size() > MAX_SHOWN ? text + "..." : text;
}

std::string open_problem(int dir, const char* name, const std::string& what, int error,
                         const std::string& absent) {
    struct stat status {};
    if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        return what + " is a symbolic link";
    if (error == ENOENT || error == ENOTDIR) return absent;
    return what + " cannot be read: " + std::generic_category().message(error);
}

BundleIdentifier bundle_identifier_in(std::string_view plist) {
    const std::string_view keys[] = {BUNDLE_KEY};
    return judged(lookup(plist, {keys, Take::string}));
}

BundleIdentifier bundle_identifier_at(int bundle_fd) {
    const unique_fd contents(::openat(bundle_fd, "Contents", DIRECTORY_FLAGS));
    if (!contents.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(bundle_fd, "Contents", "Contents", error, "no Info.plist")};
    }
    std::string problem;
    const auto text = read_named(contents.get(), INFO_PLIST, problem);
    if (!text) return {std::nullopt, problem};
    return bundle_identifier_in(*text);
}

BundleIdentifier bundle_identifier(const std::string& bundle_path) {
    const unique_fd bundle(::open(bundle_path.c_str(), DIRECTORY_FLAGS));
    if (!bundle.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(AT_FDCWD, bundle_path.c_str(), "the bundle", error, "no bundle")};
    }
    return bundle_identifier_at(bundle.get());
}

PlistStrings read_plist_strings(int dir_fd, const char* name,
                                std::initializer_list<std::string_view> keys) {
    return read_collected<PlistStrings>(dir_fd, name, keys, Take::first_of_array, &Found::text);
}

PlistLists plist_lists_in(std::string_view plist, std::initializer_list<std::string_view> keys,
                          std::string_view file) {
    return collected<PlistLists>(plist, keys, Take::list, &Found::list, file);
}

PlistLists read_plist_lists(int dir_fd, const char* name,
                            std::initializer_list<std::string_view> keys) {
    return read_collected<PlistLists>(dir_fd, name, keys, Take::list, &Found::list);
}

}  // namespace brinvast
