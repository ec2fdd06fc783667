// SPDX-License-Identifier: MIT
#include "report.h"

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <utility>
#include <vector>

// Nothing here consults the process locale: a window toolkit switches it to the user's at
// start-up, and the report must read the same in every locale.

namespace brinvast {
namespace {

// Appends the integer `mantissa` * 2^`exponent` in decimal; a double can hold one of 309 digits.
void append_integer(std::string& text, std::uint64_t mantissa, int exponent) {
    constexpr std::uint64_t LIMB_BASE = 1000000000;
    std::vector<std::uint64_t> limbs;  // base 10^9, least significant first
    for (; mantissa != 0; mantissa /= LIMB_BASE)
        limbs.push_back(mantissa % LIMB_BASE);
    while (exponent > 0) {
        const int shift = exponent < 32 ? exponent : 32;  // a limb times 2^32 fits in 64 bits
        exponent -= shift;
        std::uint64_t carry = 0;
        for (std::uint64_t& limb : limbs) {
            const std::uint64_t value = (limb << shift) + carry;
            limb = value % LIMB_BASE;
            carry = value / LIMB_BASE;
        }
        for (; carry != 0; carry /= LIMB_BASE)
            limbs.push_back(carry % LIMB_BASE);
    }
    if (limbs.empty()) limbs.push_back(0);
    append_number(text, static_cast<long long>(limbs.back()), 1);
    for (auto limb = limbs.rbegin() + 1; limb != limbs.rend(); ++limb)
        append_number(text, static_cast<long long>(*limb), 9);
}

// mantissa * 2^exponent * 100 rounded to the nearest integer, ties to even, for exponent < 0: the
// rounding printf's "%.2f" does on the exact binary value.
std::uint64_t hundredths(std::uint64_t mantissa, int exponent) {
    const int shift = -exponent;
    // mantissa * 100 < 2^60: from a shift of 61 on, the value is below one half.
    if (shift > 60) return 0;
    const std::uint64_t scaled = mantissa * 100;
    std::uint64_t rounded = scaled >> shift;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (rounded & 1) != 0)) ++rounded;
    return rounded;
}

}  // namespace

void append_number(std::string& text, long long value, std::size_t width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) text.append(width - length, '0');
    text.append(digits, length);
}

// Exact, as printf("%.2f") is, and with integers only: libc++'s floating-point std::to_chars
// would need macOS 13.3.
std::string format_mb(double megabytes) {
    if (!std::isfinite(megabytes))
        return std::isnan(megabytes) ? "nan" : megabytes > 0 ? "inf" : "-inf";
    const auto bits = std::bit_cast<std::uint64_t>(megabytes);
    std::string text = (bits >> 63) != 0 ? "-" : "";
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    // The value is mantissa * 2^exponent; subnormals have no implicit leading bit.
    const std::uint64_t mantissa =
        biased_exponent == 0 ? fraction : fraction | std::uint64_t{1} << 52;
    const int exponent = biased_exponent == 0 ? -1074 : biased_exponent - 1075;
    if (exponent >= 0) {
        append_integer(text, mantissa, exponent);
        return text + ".00";
    }
    const std::uint64_t total = hundredths(mantissa, exponent);
    append_number(text, static_cast<long long>(total / 100), 1);
    text += '.';
    append_number(text, static_cast<long long>(total % 100), 2);
    return text;
}

std::string shown_text(std::string_view text) {
    constexpr std::string_view LETTERS = "abtnvfr";  // \a (7) to \r (13)
    constexpr char HEX[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '\\') {
            shown += "\\\\";
        } else if (code >= 7 && code <= 13) {
            shown.append(1, '\\').append(1, LETTERS[code - 7]);
        } else if (code < 0x20 || code == 0x7f) {
            shown.append("\\x").append(1, HEX[code >> 4]).append(1, HEX[code & 0xf]);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string local_time_text(std::time_t when) {
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "time stamp out of range");
    }
    // The year as strftime's %Y writes it: unpadded, with its sign.
    std::string text;
    append_number(text, local.tm_year + 1900LL, 1);
    const std::pair<char, int> fields[] = {{'-', local.tm_mon + 1},
                                           {'-', local.tm_mday},
                                           {' ', local.tm_hour},
                                           {':', local.tm_min},
                                           {':', local.tm_sec}};
    for (const auto& [separator, field] : fields) {
        text += separator;
        append_number(text, field, 2);
    }
    return text;
}

}  // namespace brinvast
