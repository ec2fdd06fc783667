// SPDX-License-Identifier: MIT
#include "syscalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#if defined(__APPLE__)
#if __has_include(<sys/attr.h>)
#include <sys/attr.h>
#else  // headers without it; this is macOS's own declaration
extern "C" int getattrlistbulk(int dirfd, void* attr_list, void* attr_buf, size_t attr_buf_size,
                               std::uint64_t options);
#endif
#else
#include <sys/syscall.h>
#endif

namespace brinvast::platform {

namespace {

// The calls whose C declarations a function pointer cannot take as they are: variadic ones, and
// one that only syscall(2) reaches on every glibc.
int open_path(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

int open_at(int dir, const char* path, int flags, mode_t mode) {
    return ::openat(dir, path, flags, mode);
}

#if defined(__APPLE__)
int control(int fd, int command) {
    return ::fcntl(fd, command);
}
#else
ssize_t list_entries(int fd, void* buffer, std::size_t size) {
    return ::syscall(SYS_getdents64, fd, buffer, size);
}
#endif

}  // namespace

constinit Syscalls system_calls {
    .open = open_path, .openat = open_at, .close = ::close, .read = ::read, .pread = ::pread,
    .write = ::write, .stat = ::stat, .lstat = ::lstat, .fstat = ::fstat, .fstatat = ::fstatat,
    .faccessat = ::faccessat, .readlink = ::readlink, .mkdir = ::mkdir, .mkdirat = ::mkdirat,
    .rmdir = ::rmdir, .unlinkat = ::unlinkat, .renameat = ::renameat, .symlinkat = ::symlinkat,
    .fsync = ::fsync,
#if defined(__APPLE__)
    .renameatx_np = ::renameatx_np, .fcntl = control, .getattrlistbulk = ::getattrlistbulk,
    .dup = ::dup, .fdopendir = ::fdopendir, .readdir = ::readdir, .closedir = ::closedir,
#else
    .renameat2 = ::renameat2, .statx = ::statx, .getdents64 = list_entries,
#endif
};

}  // namespace brinvast::platform
