// SPDX-License-Identifier: MIT
// What every platform reads alike about one entry.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform.h"
#include "syscalls.h"

namespace brinvast::platform {

const char* locking_flag(int dir_fd, const char* name) {
    return lock_flag(dir_fd, name).value;  // nullptr along with any error
}

Result<std::string> read_link(const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = syscalls().readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return {{}, last_error()};
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return {std::move(target), {}};
        }
        target.resize(target.size() * 2);
    }
}

}  // namespace brinvast::platform
