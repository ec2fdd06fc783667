// SPDX-License-Identifier: MIT
// What every platform reads alike about one entry.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform.h"

namespace brinvast::platform {

const char* locking_flag(int dir_fd, const char* name) {
    const char* flag = nullptr;
    return lock_flag(dir_fd, name, flag) ? flag : nullptr;
}

bool read_link(const std::string& path, std::string& target) {
    target.assign(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            const int error = errno;
            target.clear();
            errno = error;
            return false;
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return true;
        }
        target.resize(target.size() * 2);
    }
}

}  // namespace brinvast::platform
