// SPDX-License-Identifier: MIT
// XML property lists: the subset Apple writes. Comments, processing instructions and the DOCTYPE
// are skipped wherever they stand; elements are skipped by a bounded stack, not by recursion.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "plist_values.h"

namespace brinvast::plist {

namespace {

constexpr std::size_t MAX_DEPTH = 64;  // Apple's property lists nest a few levels

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

}  // namespace

Lookup lookup_xml(std::string_view text, const Wanted& wanted) {
    return XmlPlist(text, wanted).lookup();
}

}  // namespace brinvast::plist
