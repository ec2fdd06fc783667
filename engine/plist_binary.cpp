// SPDX-License-Identifier: MIT
// Binary property lists: "bplist00", objects, a table of their offsets, a 32-byte trailer. Only
// the top dictionary's own references, and a wanted array's or dictionary's own, are followed, so
// a cycle cannot hold the reader.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plist_values.h"

namespace brinvast::plist {

namespace {

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

}  // namespace

Lookup lookup_binary(std::string_view bytes, const Wanted& wanted) {
    return BinaryPlist(bytes, wanted).lookup();
}

}  // namespace brinvast::plist
