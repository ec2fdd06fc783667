// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <unistd.h>
#include <uuid/uuid.h>
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#else  // the cross-build's headers lack it; these are macOS's own declarations
extern "C" ssize_t getxattr(const char* path, const char* name, void* value, size_t size,
                            u_int32_t position, int options);
#define XATTR_NOFOLLOW 0x0001
#endif

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "folder_beneath.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast::platform {

std::string executable_path() {
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
    return std::string(buffer.data());
}

namespace {

// App Translocation runs a quarantined app from a read-only nullfs mirror of its folder, which
// has a device of its own but the inode numbers of the folder it mirrors.
struct Mirror {
    std::string from;
    std::string on;
    dev_t from_device = 0;
};

// getfsstat answers anybody, where statfs of a path under another user's private folder (where
// the mirrors of their apps are mounted) is refused. MNT_NOWAIT: a hung network mount must not
// hang the listing.
std::vector<Mirror> mirrors() {
    std::vector<Mirror> found;
    const int count = ::getfsstat(nullptr, 0, MNT_NOWAIT);
    if (count <= 0) return found;
    std::vector<struct statfs> mounts(static_cast<std::size_t>(count) + 16);
    const int listed = ::getfsstat(
        mounts.data(), static_cast<int>(mounts.size() * sizeof(struct statfs)), MNT_NOWAIT);
    for (int i = 0; i < listed && static_cast<std::size_t>(i) < mounts.size(); ++i) {
        const struct statfs& mount = mounts[static_cast<std::size_t>(i)];
        if (std::strcmp(mount.f_fstypename, "nullfs") != 0) continue;
        Mirror mirror{mount.f_mntfromname, mount.f_mntonname, 0};
        struct stat source {};
        if (::stat(mount.f_mntfromname, &source) == 0) mirror.from_device = source.st_dev;
        found.push_back(std::move(mirror));
    }
    return found;
}

void note_mirror(Process& process, const std::vector<Mirror>& mirrors) {
    for (const Mirror& mirror : mirrors) {
        const std::string& on = mirror.on;
        if (process.executable.size() > on.size() && process.executable.starts_with(on) &&
            (on == "/" || process.executable[on.size()] == '/') &&
            on.size() > process.mirror_at.size()) {
            process.mirrored_from = mirror.from;
            process.mirror_at = on;
            process.mirrored_device = mirror.from_device;
        }
    }
}

}  // namespace

// A process whose path the caller may not see makes proc_pidpath fail; it is left out. The short
// BSD record, unlike the full one, tells anybody whose process it is, not only root.
Result<std::vector<Process>> running_processes() {
    // It answers 0, never less, when it fails (libproc.c), and may leave errno unset.
    const auto failure = [] {
        const int error = errno;
        return Result<std::vector<Process>>{{},
                                            {error != 0 ? error : EIO, std::generic_category()}};
    };
    errno = 0;
    const int count = ::proc_listallpids(nullptr, 0);
    if (count <= 0) return failure();
    // Room for processes started between the two calls.
    std::vector<pid_t> pids(static_cast<std::size_t>(count) + 64);
    errno = 0;
    const int listed =
        ::proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (listed <= 0) return failure();
    Result<std::vector<Process>> processes;
    const std::vector<Mirror> mirrored = mirrors();
    char path[PROC_PIDPATHINFO_MAXSIZE];
    for (int i = 0; i < listed && static_cast<std::size_t>(i) < pids.size(); ++i) {
        if (::proc_pidpath(pids[i], path, sizeof path) <= 0) continue;
        struct proc_bsdshortinfo owner {};
        const bool owner_known = ::proc_pidinfo(pids[i], PROC_PIDT_SHORTBSDINFO, 0, &owner,
                                                sizeof owner) == static_cast<int>(sizeof owner);
        if (!owner_known && errno == ESRCH) continue;  // it has ended since it was listed
        Process process;
        process.pid = pids[i];
        process.executable = path;
        process.user = owner_known ? owner.pbsi_uid : static_cast<uid_t>(-1);  // nobody can tell
        struct stat status {};
        if (::stat(path, &status) == 0) {  // a deleted executable keeps its path only
            process.device = status.st_dev;
            process.inode = status.st_ino;
        }
        note_mirror(process, mirrored);
        processes.value.push_back(std::move(process));
    }
    return processes;
}

bool is_dataless(const struct stat& status) {
    return (status.st_flags & SF_DATALESS) != 0;
}

// iCloud Drive's file provider names its domain on every folder it keeps.
bool kept_by_file_provider(const std::string& path) {
    return ::getxattr(path.c_str(), "com.apple.file-provider-domain-id", nullptr, 0, 0,
                      XATTR_NOFOLLOW) >= 0;
}

// Without it, listing a dataless folder fails with EDEADLK unless a parent process passed the
// policy on. A dataless file's contents are brought back only when they are read, and nothing
// here reads a file it deletes.
std::error_code materialize_dataless_listings() {
    if (::setiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_PROCESS,
                         IOPOL_MATERIALIZE_DATALESS_FILES_ON) != 0) {
        return last_error();
    }
    return {};
}

std::string host_uuid() {
    uuid_t uuid{};
    const timespec wait{1, 0};
    if (::gethostuuid(uuid, &wait) != 0) return {};
    uuid_string_t text{};
    ::uuid_unparse_upper(uuid, text);
    return text;
}

// fsync() leaves the data in the drive's cache, where a power loss may still reorder it;
// F_FULLFSYNC asks the drive to write it out. Not every file system takes it.
std::error_code sync_to_disk(int fd) {
    if (syscalls().fcntl(fd, F_FULLFSYNC) == 0) return {};
    // Only a file system that does not take it falls back, as xnu's own callers do: an I/O
    // error stays an error.
    if (errno != ENOTTY && errno != ENOTSUP && errno != EINVAL) return last_error();
    if (syscalls().fsync(fd) != 0) return last_error();
    return {};
}

timespec modification_time(const struct stat& status) {
    return status.st_mtimespec;
}

std::error_code rename_exclusive(int from_dir, const char* from, int to_dir, const char* to) {
    if (syscalls().renameatx_np(from_dir, from, to_dir, to, RENAME_EXCL) == 0) return {};
    const std::error_code error = last_error();
    if (error == std::errc::invalid_argument) return std::make_error_code(std::errc::not_supported);
    return error;
}

namespace {

// Headers before macOS 13's lack O_SEARCH, and macOS 12 ignores it: there, opening a folder asks
// for read permission after all.
#if defined(O_SEARCH)
constexpr int SEARCH_ONLY = O_SEARCH;
#else
constexpr int SEARCH_ONLY = O_RDONLY;
#endif

}  // namespace

Result<unique_fd> open_search_only(int at_fd, const char* path) {
    unique_fd fd(syscalls().openat(at_fd, path, SEARCH_ONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!fd.valid()) return {{}, last_error()};
    return {std::move(fd), {}};
}

// O_NOFOLLOW_ANY (macOS 11) refuses a link anywhere on the path with ELOOP in one call, so that
// only the folder opened needs more than search permission, and only on macOS 12. ENOTDIR may
// still be a link at the end, which the walk one component at a time tells apart.
Result<unique_fd> open_folder_beneath(int dir_fd, const char* relative) {
    if (!plain_relative_path(relative))
        return {{}, std::make_error_code(std::errc::invalid_argument)};
#if defined(O_NOFOLLOW_ANY)
    unique_fd fd(
        ::openat(dir_fd, relative, SEARCH_ONLY | O_DIRECTORY | O_NOFOLLOW_ANY | O_CLOEXEC));
    if (fd.valid()) return {std::move(fd), {}};
    if (errno != ENOTDIR) return {{}, last_error()};
#endif
    return open_components(dir_fd, relative, SEARCH_ONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool artwork_in_bundle_resources() {
    return true;
}

// POSIX lets unlink refuse a directory with EPERM, and macOS does, even for root.
int unlink_directory_error() {
    return EPERM;
}

// macOS has no bind mounts: every mount has a device of its own.
Result<std::uint64_t> mount_of(int fd) {
    struct stat info {};
    if (syscalls().fstat(fd, &info) != 0) return {0, last_error()};
    return {static_cast<std::uint64_t>(info.st_dev), {}};
}

Result<std::uint64_t> mount_at(int dir_fd, const char* path) {
    struct stat info {};
    if (syscalls().fstatat(dir_fd, path, &info, 0) != 0) return {0, last_error()};
    return {static_cast<std::uint64_t>(info.st_dev), {}};
}

// The user's flags may be set by the owner, the system's only by root in single-user mode; both
// refuse root too.
Result<const char*> lock_flag(int dir_fd, const char* name) {
    struct stat status {};
    if (syscalls().fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return {nullptr, last_error()};
    }
    return {lock_in_flags(status.st_flags), {}};
}

Result<EntryFacts> entry_facts(int dir_fd, const char* name, bool follow) {
    struct stat status {};
    if (syscalls().fstatat(dir_fd, name, &status, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return {{}, last_error()};
    return {{status.st_mode, static_cast<std::uint64_t>(status.st_size), is_dataless(status),
             lock_in_flags(status.st_flags)},
            {}};
}

int macos_version() {
    char version[32] = {};
    std::size_t size = sizeof version - 1;
    if (::sysctlbyname("kern.osproductversion", version, &size, nullptr, 0) != 0) return 0;
    int major = 0;
    (void)std::from_chars(version, version + std::strlen(version), major);  // "12.7.1"
    return major;
}

// Accounts made in System Settings start at 501; the setup assistants' own are below it.
uid_t first_regular_uid() {
    return 501;
}

// The user database's negative ids, read as uid_t, lie above this: nobody is -2.
uid_t last_regular_uid() {
    return 0x7fffffff;
}

std::optional<gid_t> administrators_group() {
    const group* admin = ::getgrnam("admin");
    if (admin == nullptr) return std::nullopt;
    return admin->gr_gid;
}

SystemTools system_tools() {
    return {"/bin/launchctl", "/usr/bin/defaults",
            "/System/Library/Frameworks/CoreServices.framework/Frameworks/"
            "LaunchServices.framework/Support/lsregister",
            "/usr/bin/sudo", "/usr/sbin/pkgutil", "/usr/bin/codesign",
            // Background Task Management came with macOS 13; sfltool had no dumpbtm before.
            macos_version() >= 13 ? "/usr/bin/sfltool" : ""};
}

AdministratorPrompt administrator_prompt() {
    return AdministratorPrompt::osascript;
}

}  // namespace brinvast::platform
