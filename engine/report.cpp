#include "report.h"

#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

// Nothing here consults the process locale: a window toolkit switches it to the user's at
// start-up, and the report must read the same in every locale.

namespace brinvast {
namespace {

// The largest double in fixed notation has 309 integer digits.
constexpr std::size_t longest_fixed_double = 320;

// Appends `value` in decimal, padded with leading zeros to at least `width` digits.
void append_number(std::string& text, long long value, std::size_t width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto length = static_cast<std::size_t>(end - digits);
    if (length < width) text.append(width - length, '0');
    text.append(digits, length);
}

}  // namespace

std::string format_mb(double megabytes) {
    char text[longest_fixed_double];
    const auto end =
        std::to_chars(text, text + sizeof text, megabytes, std::chars_format::fixed, 2).ptr;
    return std::string(text, end);
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
