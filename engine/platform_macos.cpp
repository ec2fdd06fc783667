#include <dirent.h>
#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "permission_hint.h"
#include "platform.h"

namespace brinvast::platform {

std::string executable_path() {
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
    return std::string(buffer.data());
}

// A process whose path the caller may not see makes proc_pidpath fail; it is left out.
bool running_processes(std::vector<Process>& processes) {
    const int count = ::proc_listallpids(nullptr, 0);
    if (count < 0) return false;
    // Room for processes started between the two calls.
    std::vector<pid_t> pids(static_cast<std::size_t>(count) + 64);
    const int listed =
        ::proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (listed < 0) return false;
    char path[PROC_PIDPATHINFO_MAXSIZE];
    for (int i = 0; i < listed && static_cast<std::size_t>(i) < pids.size(); ++i) {
        if (::proc_pidpath(pids[i], path, sizeof path) <= 0) continue;
        struct stat status {};
        const bool seen = ::stat(path, &status) == 0;  // a deleted executable keeps its path only
        struct proc_bsdinfo info {};
        const bool owner_known =
            ::proc_pidinfo(pids[i], PROC_PIDTBSDINFO, 0, &info, sizeof info) == sizeof info;
        processes.push_back({pids[i], path, seen ? status.st_dev : 0, seen ? status.st_ino : 0,
                             owner_known ? info.pbi_uid : 0});
    }
    return true;
}

// fsync() leaves the data in the drive's cache, where a power loss may still reorder it;
// F_FULLFSYNC asks the drive to write it out. Not every file system takes it.
bool sync_to_disk(int fd) {
    return ::fcntl(fd, F_FULLFSYNC) == 0 || ::fsync(fd) == 0;
}

timespec modification_time(const struct stat& status) {
    return status.st_mtimespec;
}

int rename_exclusive(int from_dir, const char* from, int to_dir, const char* to) {
    if (::renameatx_np(from_dir, from, to_dir, to, RENAME_EXCL) == 0) return 0;
    if (errno == EINVAL) errno = ENOTSUP;
    return -1;
}

int open_search_only(int at_fd, const char* path) {
#if defined(O_SEARCH)
    return ::openat(at_fd, path, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#else
    return ::openat(at_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
}

bool artwork_in_bundle_resources() {
    return true;
}

// POSIX lets unlink refuse a directory with EPERM, and macOS does, even for root.
int unlink_directory_error() {
    return EPERM;
}

// macOS has no bind mounts: every mount has a device of its own.
bool mount_of(int fd, std::uint64_t& mount) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    mount = static_cast<std::uint64_t>(info.st_dev);
    return true;
}

// fdopendir takes over the descriptor it is given, so it gets a duplicate of the caller's.
DirectoryListing::DirectoryListing(int dir_fd, ListingBuffer&) {
    const int own_fd = ::dup(dir_fd);
    if (own_fd < 0) {
        open_error_ = errno;
        return;
    }
    dir_ = ::fdopendir(own_fd);
    if (dir_ == nullptr) {
        open_error_ = errno;
        ::close(own_fd);
    }
}

DirectoryListing::~DirectoryListing() {
    if (dir_ != nullptr) ::closedir(dir_);
}

int DirectoryListing::next(DirectoryEntry& entry) {
    if (dir_ == nullptr) return -open_error_;
    for (;;) {
        errno = 0;
        const dirent* record = ::readdir(dir_);
        if (record == nullptr) return errno == 0 ? 0 : -errno;
        const char* name = record->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        entry.name = name;
        entry.type = record->d_type;
        return 1;
    }
}

// The user's flags may be set by the owner, the system's only by root in single-user mode; both
// refuse root too.
bool lock_flag(int dir_fd, const char* name, const char*& flag) {
    struct stat status {};
    if (::fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    flag = (status.st_flags & UF_IMMUTABLE) != 0   ? "uchg"
           : (status.st_flags & SF_IMMUTABLE) != 0 ? "schg"
           : (status.st_flags & UF_APPEND) != 0    ? "uappnd"
           : (status.st_flags & SF_APPEND) != 0    ? "sappnd"
                                                   : nullptr;
    return true;
}

namespace {

// Finder's Locked: the entry itself, or the folder whose entries it would change.
bool locked(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && (status.st_flags & UF_IMMUTABLE) != 0;
}

}  // namespace

std::string permission_hint(const std::string& path, int error, bool in_bundle) {
    Refusal refusal{path, error, in_bundle, {}};
    const std::string parent = path.substr(0, path.find_last_of('/'));
    if (locked(path)) {
        refusal.locked = path;
    } else if (error == EPERM && !parent.empty() && locked(parent)) {
        refusal.locked = parent;
    }
    return macos_permission_hint(refusal);
}

// Accounts made in System Settings start at 501; the setup assistants' own are below it.
uid_t first_regular_uid() {
    return 501;
}

std::vector<std::string> administrator_command(const std::string& program,
                                               const std::vector<std::string>& arguments) {
    return osascript_command(program, arguments);
}

AdministratorRun administrator_outcome(int exit_status, const std::string& output) {
    return osascript_outcome(exit_status, output);
}

}  // namespace brinvast::platform
