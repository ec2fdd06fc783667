// SPDX-License-Identifier: MIT
#include "errors.h"

#include <cstring>

namespace brinvast {

fs_error::fs_error(int error_number, const std::string& path)
    : fs_error(error_number, std::strerror(error_number), path) {}

fs_error::fs_error(int error_number, std::string message, const std::string& path)
    : std::system_error(error_number, std::generic_category()),
      message_(std::move(message).append(": ").append(path)),
      path_(path) {}

bool is_permission_error(const std::system_error& error) noexcept {
    return error.code() == std::errc::permission_denied ||
           error.code() == std::errc::operation_not_permitted;
}

}  // namespace brinvast
