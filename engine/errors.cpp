#include "errors.h"

#include <cstring>

namespace brinvast {

fs_error::fs_error(int error_number, const std::string& path)
    : fs_error(error_number, std::strerror(error_number), path) {}

fs_error::fs_error(int error_number, std::string message, const std::string& path)
    : std::system_error(error_number, std::generic_category()),
      message_(std::move(message).append(": ").append(path)),
      path_(path) {}

bool is_permission_error(const std::exception& error) noexcept {
    const auto* system_error = dynamic_cast<const std::system_error*>(&error);
    return system_error && (system_error->code() == std::errc::permission_denied ||
                            system_error->code() == std::errc::operation_not_permitted);
}

}  // namespace brinvast
