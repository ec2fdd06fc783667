// SPDX-License-Identifier: MIT
// Sizes in the report read as printf("%.2f") writes the same double in the C locale, the test's
// own locale, down to the last rounding.

#include "report.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using brinvast::BYTES_PER_MB;
using brinvast::format_mb;

std::string printf_text(double value) {
    char text[400];  // the largest double has 309 integer digits
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Sizes in bytes as the survey finds them, up to 2^64, and their running totals; the odd
// eighths, which are the only ties at two decimals; the extremes of double; and random bit
// patterns, which reach every exponent.
std::vector<double> sizes_to_check() {
    std::vector<double> values = {0.0, -0.0, DBL_TRUE_MIN, DBL_MIN, DBL_MAX, 0.005, 2.675, 1e15};
    double total = 0;
    for (std::uint64_t bytes = 0; bytes < 5000000; bytes += 7919) {
        values.push_back(static_cast<double>(bytes) / BYTES_PER_MB);
        total += values.back();
        values.push_back(total);
    }
    for (int eighths = 0; eighths < 100000; ++eighths)
        values.push_back(eighths / 8.0);
    std::mt19937_64 random(16);
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t bits = random();
        values.push_back(static_cast<double>(bits >> (i % 64)) / BYTES_PER_MB);
        const double pattern = std::bit_cast<double>(bits);
        if (std::isfinite(pattern)) values.push_back(pattern);
    }
    return values;
}

TEST(FormatMb, WritesWhatPrintfWritesForEverySize) {
    int mismatches = 0;
    for (const double value : sizes_to_check()) {
        const std::string expected = printf_text(value);
        if (format_mb(value) == expected) continue;
        ADD_FAILURE() << "for " << expected << " (" << std::hexfloat << value << ") it wrote "
                      << format_mb(value);
        if (++mismatches == 10) break;
    }
}

}  // namespace
