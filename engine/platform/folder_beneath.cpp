// SPDX-License-Identifier: MIT
#include "folder_beneath.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace brinvast::platform {

bool plain_relative_path(const char* relative) {
    const std::string_view path = relative;
    if (path.empty() || path.front() == '/') return false;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view name = path.substr(start, end - start);
        if (name.empty() || name == "..") return false;
        start = end + 1;
    }
    return true;
}

namespace {

// O_DIRECTORY refuses a link with ENOTDIR on Linux before O_NOFOLLOW can refuse it with ELOOP.
int open_error(int at, const char* name, int error) {
    struct stat status {};
    const bool link = error == ENOTDIR && ::fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISLNK(status.st_mode);
    return link ? ELOOP : error;
}

}  // namespace

Result<unique_fd> open_components(int dir_fd, const char* relative, int flags) {
    const std::string_view path = relative;
    unique_fd folder;
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string name(path.substr(start, end - start));
        const int at = folder.valid() ? folder.get() : dir_fd;
        unique_fd next(::openat(at, name.c_str(), flags));
        if (!next.valid()) {
            const int error = errno;
            return {{}, {open_error(at, name.c_str(), error), std::generic_category()}};
        }
        folder = std::move(next);
        if (end == path.size()) return {std::move(folder), {}};
        start = end + 1;
    }
}

}  // namespace brinvast::platform
