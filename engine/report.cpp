#include "report.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace brinvast {

std::string format_mb(double megabytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", megabytes);
    return text;
}

std::string local_time_text(std::time_t when) {
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "time stamp out of range");
    }
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

}  // namespace brinvast
