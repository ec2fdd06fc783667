#include <dirent.h>
#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

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
        if (::proc_pidpath(pids[i], path, sizeof path) > 0) processes.push_back({pids[i], path});
    }
    return true;
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

// Accounts made in System Settings start at 501; the setup assistants' own are below it.
uid_t first_regular_uid() {
    return 501;
}

}  // namespace brinvast::platform
