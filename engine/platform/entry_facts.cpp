// SPDX-License-Identifier: MIT
// What every platform reads alike about one entry.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "platform.h"
#include "syscalls.h"

namespace brinvast::platform {

// macOS's <sys/stat.h> numbers, which getattrlistbulk's records carry on every platform that
// reads them.
const char* lock_in_flags(std::uint32_t flags) {
    constexpr std::uint32_t USER_IMMUTABLE = 0x2;  // UF_IMMUTABLE, Finder's Locked
    constexpr std::uint32_t USER_APPEND = 0x4;     // UF_APPEND
    constexpr std::uint32_t SYSTEM_IMMUTABLE = 0x20000;
    constexpr std::uint32_t SYSTEM_APPEND = 0x40000;
    return (flags & USER_IMMUTABLE) != 0     ? "uchg"
           : (flags & SYSTEM_IMMUTABLE) != 0 ? "schg"
           : (flags & USER_APPEND) != 0      ? "uappnd"
           : (flags & SYSTEM_APPEND) != 0    ? "sappnd"
                                             : nullptr;
}

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
