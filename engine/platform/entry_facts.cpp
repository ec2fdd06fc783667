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

namespace {

// The target of the link at `path`, however long, as `readlink` reads it.
Result<std::string> read_link_with(ssize_t (*readlink)(const char*, char*, std::size_t),
                                   const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return {{}, last_error()};
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return {std::move(target), {}};
        }
        target.resize(target.size() * 2);
    }
}

}  // namespace

Result<std::string> read_link(const std::string& path) {
    return read_link_with(syscalls().readlink, path);
}

Result<std::string> read_link_past_the_table(const std::string& path) {
    return read_link_with(::readlink, path);
}

}  // namespace brinvast::platform
