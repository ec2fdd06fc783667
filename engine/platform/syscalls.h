// SPDX-License-Identifier: MIT
#pragma once

// Every system call that the database move and the removal make goes through this one table, as
// SQLite's os_unix.c routes its calls through aSyscall[]: so that a test can wrap each entry
// in-process, fail the n-th call with an errno or end the process right there, and sweep a crash
// through every call in milliseconds, on every platform. The entries hold the system's own
// functions; nothing but a test ever changes them, and only before the run it watches.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace brinvast::platform {

struct Syscalls {
    // open(2) and openat(2) take their mode always, whatever the flags.
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dir, const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*pread)(int fd, void* buffer, std::size_t size, off_t offset);
    ssize_t (*write)(int fd, const void* buffer, std::size_t size);
    int (*stat)(const char* path, struct stat* status);
    int (*lstat)(const char* path, struct stat* status);
    int (*fstat)(int fd, struct stat* status);
    int (*fstatat)(int dir, const char* path, struct stat* status, int flags);
    int (*faccessat)(int dir, const char* path, int mode, int flags);
    ssize_t (*readlink)(const char* path, char* buffer, std::size_t size);
    int (*mkdir)(const char* path, mode_t mode);
    int (*mkdirat)(int dir, const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*unlinkat)(int dir, const char* path, int flags);
    int (*renameat)(int from_dir, const char* from, int to_dir, const char* to);
    int (*symlinkat)(const char* target, int dir, const char* path);
    int (*fsync)(int fd);
#if defined(__APPLE__)
    int (*renameatx_np)(int from_dir, const char* from, int to_dir, const char* to,
                        unsigned int flags);
    int (*fcntl)(int fd, int command);  // F_FULLFSYNC, which takes no argument
    int (*getattrlistbulk)(int dir, void* wanted, void* buffer, std::size_t size,
                           std::uint64_t options);
    int (*dup)(int fd);
    DIR* (*fdopendir)(int fd);
    struct dirent* (*readdir)(DIR* dir);
    int (*closedir)(DIR* dir);
#else
    int (*renameat2)(int from_dir, const char* from, int to_dir, const char* to,
                     unsigned int flags);
    int (*statx)(int dir, const char* path, int flags, unsigned int mask, struct statx* status);
    ssize_t (*getdents64)(int fd, void* buffer, std::size_t size);
#endif
};

// The table itself; reached through syscalls().
extern Syscalls system_calls;

[[nodiscard]] inline Syscalls& syscalls() noexcept {
    return system_calls;
}

}  // namespace brinvast::platform
