// SPDX-License-Identifier: MIT
#pragma once

// How values are written into the console report: the same in every locale, so that both
// front ends print the same report whatever locale their toolkit has switched to.

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace brinvast {

inline constexpr double BYTES_PER_MB = 1024.0 * 1024.0;
inline constexpr const char* RULE = "============================================================";

// A size in MB with exactly two decimals, rounded as printf's "%.2f" rounds the same double in
// the C locale: 1572864 bytes give "1.50".
[[nodiscard]] std::string format_mb(double megabytes);

// A time stamp in the machine's local time zone, as "%Y-%m-%d %H:%M:%S". Throws
// std::system_error for a time stamp the calendar cannot hold.
[[nodiscard]] std::string local_time_text(std::time_t when);

// `text` with its control characters (C0 and DEL) escaped as `ls -b` shows them: "\n", "\t",
// "\x1b"; a backslash is doubled, so that an escape always means the character it stands for.
// A name from the disk shown so can never begin a report line of its own. Everything else,
// UTF-8 included, stays as it is.
[[nodiscard]] std::string shown_text(std::string_view text);

// Appends `value` in decimal, padded with leading zeros to at least `width` digits.
void append_number(std::string& text, long long value, std::size_t width = 1);

[[nodiscard]] inline const char* bool_text(bool value) {
    return value ? "True" : "False";
}

}  // namespace brinvast
