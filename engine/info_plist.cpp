#include "info_plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "unique_fd.h"

namespace brinvast {

namespace {

constexpr std::size_t MAX_PLIST_SIZE = 1 << 20;
constexpr std::size_t MAX_IDENTIFIER_SIZE = 255;
constexpr std::size_t MAX_SHOWN = 64;
constexpr std::size_t MAX_DEPTH = 64;  // Apple's Info.plist files nest a few levels
constexpr std::string_view KEY_WANTED = "CFBundleIdentifier";

const std::string NOT_A_PLIST = "Info.plist is not an XML or binary property list";
const std::string TOO_DEEP = "Info.plist is nested deeper than 64 levels";
const std::string NO_DICTIONARY = "Info.plist does not hold a dictionary";

// What a parser found under the wanted key of the top-level dictionary.
struct Lookup {
    std::string problem;              // the file is at fault; nothing else counts then
    int times = 0;                    // how often the key appears
    std::optional<std::string> text;  // the value, when it is a string
};

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
// dictionary's own references are followed, one level, so a cycle cannot hold the reader.

class BinaryPlist {
public:
    explicit BinaryPlist(std::string_view bytes) : bytes_(bytes) {}

    Lookup lookup() {
        Lookup found;
        if (!read_trailer() || !lookup_in_top(found)) found.problem = NOT_A_PLIST;
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

    [[nodiscard]] static bool is_wanted(const Object& key, std::string_view bytes) {
        if (key.count != KEY_WANTED.size()) return false;
        if (key.type == 0x5) return bytes == KEY_WANTED;
        for (std::size_t i = 0; i < KEY_WANTED.size(); ++i) {
            if (bytes[2 * i] != 0 || bytes[2 * i + 1] != KEY_WANTED[i]) return false;
        }
        return true;
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

    // Keys must be strings. A reference back to the top dictionary is a cycle, which CF
    // refuses the whole file for.
    bool lookup_in_top(Lookup& found) const {
        const auto top = object(top_);
        if (!top) return false;
        if (top->type != 0xD) {
            found.problem = NO_DICTIONARY;
            return true;
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
            if (!is_wanted(*key, *key_bytes) || ++found.times > 1) continue;
            const auto value = object(*value_ref);
            if (!value) return false;
            if (value->type != 0x5 && value->type != 0x6) continue;
            const auto text = string_of(*value);
            if (!text) return false;
            found.text = value->type == 0x5 ? std::string(*text) : utf8_of_utf16(*text);
        }
        return true;
    }

    std::string_view bytes_;
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
    explicit XmlPlist(std::string_view text) : text_(text) {
        if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    }

    Lookup lookup() {
        Lookup found;
        if (!lookup_in_document(found) && found.problem.empty()) found.problem = NOT_A_PLIST;
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
                    problem_ = TOO_DEEP;
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

    // The top dictionary's entries, up to its end.
    bool lookup_in_dict(Lookup& found) {
        for (;;) {
            const Token key = next_element();
            if (key.kind == Kind::end && key.name == "dict") return true;
            key_.clear();
            if (key.kind != Kind::start || key.name != "key" || !read_text(key, key_)) return false;
            const Token value = next_element();
            if (value.kind != Kind::start) return false;
            if (key_ == KEY_WANTED && ++found.times == 1 && value.name == "string") {
                std::string text;
                if (!read_text(value, text)) return false;
                found.text = std::move(text);
            } else if (!skip(value, 3)) {
                found.problem = problem_;
                return false;
            }
        }
    }

    bool lookup_in_document(Lookup& found) {
        const Token plist = next_element();
        if (plist.kind != Kind::start || plist.name != "plist") return false;
        const Token dict = plist.empty ? Token(Kind::end) : next_element();
        if (dict.kind != Kind::start || dict.name != "dict") {
            if (dict.kind == Kind::start || dict.kind == Kind::end) found.problem = NO_DICTIONARY;
            return false;
        }
        if (!dict.empty && !lookup_in_dict(found)) return false;
        const Token end = next_element();
        return end.kind == Kind::end && end.name == "plist" && next_element().kind == Kind::done;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string problem_;
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

// A refused value as the report may print it: short, printable, unable to end its quotes.
[[nodiscard]] std::string shown(std::string_view value) {
    std::string text;
    for (const char c : value.substr(0, MAX_SHOWN))
        text += c >= ' ' && c <= '~' && c != '"' ? c : '?';
    return value.size() > MAX_SHOWN ? text + "..." : text;
}

[[nodiscard]] BundleIdentifier judged(const Lookup& found) {
    const std::string key(KEY_WANTED);
    if (!found.problem.empty()) return {std::nullopt, found.problem};
    if (found.times == 0) return {std::nullopt, key + " is missing"};
    if (found.times > 1) return {std::nullopt, key + " appears more than once"};
    if (!found.text) return {std::nullopt, key + " is not a string"};
    if (!is_well_formed(*found.text))
        return {std::nullopt,
                key + " \"" + shown(*found.text) + "\" is not a valid bundle identifier"};
    return {found.text, {}};
}

// Why `name` in `dir` could not be opened, where the open failed with `error`.
[[nodiscard]] std::string open_problem(int dir, const char* name, const std::string& what,
                                       int error, const std::string& absent) {
    struct stat status {};
    if (::fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
        return what + " is a symbolic link";
    if (error == ENOENT || error == ENOTDIR) return absent;
    return what + " cannot be read: " + std::generic_category().message(error);
}

// The contents of the regular file `fd`, or an empty optional and the reason.
[[nodiscard]] std::optional<std::string> read_limited(int fd, std::string& problem) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "Info.plist is not a regular file";
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
            problem = "Info.plist cannot be read: " + std::generic_category().message(error);
            return std::nullopt;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    problem = "Info.plist is larger than 1 MiB";
    return std::nullopt;
}

}  // namespace

BundleIdentifier bundle_identifier_in(std::string_view plist) {
    if (plist.starts_with("bplist")) return judged(BinaryPlist(plist).lookup());
    return judged(XmlPlist(plist).lookup());
}

BundleIdentifier bundle_identifier(const std::string& bundle_path) {
    constexpr int directory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const unique_fd bundle(::open(bundle_path.c_str(), directory));
    if (!bundle.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(AT_FDCWD, bundle_path.c_str(), "the bundle", error, "no bundle")};
    }
    const unique_fd contents(::openat(bundle.get(), "Contents", directory));
    if (!contents.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(bundle.get(), "Contents", "Contents", error, "no Info.plist")};
    }
    // O_NONBLOCK: a FIFO planted there must not hold the open.
    const unique_fd file(
        ::openat(contents.get(), "Info.plist", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        const int error = errno;
        return {std::nullopt,
                open_problem(contents.get(), "Info.plist", "Info.plist", error, "no Info.plist")};
    }
    std::string problem;
    const auto text = read_limited(file.get(), problem);
    if (!text) return {std::nullopt, problem};
    return bundle_identifier_in(*text);
}

}  // namespace brinvast
