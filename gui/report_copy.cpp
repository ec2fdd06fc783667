// SPDX-License-Identifier: MIT
#include "report_copy.h"

ReportCopy::int_type ReportCopy::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char character = traits_type::to_char_type(c);
    kept.push_back(character);
    destination.put(character);
    return c;
}

std::streamsize ReportCopy::xsputn(const char* text, std::streamsize count) {
    kept.append(text, static_cast<std::size_t>(count));
    destination.write(text, count);
    return count;
}

// Always succeeds: a failed flush of the destination must not stop the copy.
int ReportCopy::sync() {
    destination.flush();
    return 0;
}
