// SPDX-License-Identifier: MIT
#include "pinned_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "errors.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast {

namespace {

// Without the kernel's promise, look first; the run lock keeps other runs away meanwhile.
std::error_code rename_exclusive(int from_dir, const std::string& from, int to_dir,
                                 const std::string& to) {
    const std::error_code error =
        platform::rename_exclusive(from_dir, from.c_str(), to_dir, to.c_str());
    if (error != std::errc::not_supported) return error;
    struct stat status {};
    if (platform::syscalls().fstatat(to_dir, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        return std::make_error_code(std::errc::file_exists);
    }
    if (errno != ENOENT) return last_error();
    if (platform::syscalls().renameat(from_dir, from.c_str(), to_dir, to.c_str()) != 0) {
        return last_error();
    }
    return {};
}

}  // namespace

PinnedFolder::PinnedFolder(std::string path) : path_(std::move(path)) {
    fd_.reset(platform::syscalls().open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (fd_.valid()) return;
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) throw fs_error(error, path_);
}

std::optional<EntryIdentity> PinnedFolder::identity_in(int dir, const std::string& name,
                                                       const std::string& shown) const {
    struct stat status {};
    if (platform::syscalls().fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        const timespec modified = platform::modification_time(status);
        return EntryIdentity{static_cast<std::uint64_t>(status.st_dev),
                             static_cast<std::uint64_t>(status.st_ino), status.st_size,
                             modified.tv_sec, modified.tv_nsec};
    }
    const int error = errno;
    if (error == ENOENT) return std::nullopt;
    throw fs_error(error, shown);
}

void PinnedFolder::move_entry(int from_dir, const std::string& from, int to_dir,
                              const std::string& to, const std::string& shown_from,
                              const std::string& shown_to) const {
    const std::error_code error = rename_exclusive(from_dir, from, to_dir, to);
    if (!error) return;
    throw fs_error(error.value(), error == std::errc::file_exists ? shown_to : shown_from);
}

void PinnedFolder::remove_entry(int dir, const std::string& name, int flags,
                                const std::string& shown) const {
    if (platform::syscalls().unlinkat(dir, name.c_str(), flags) == 0 || errno == ENOENT) return;
    const int error = errno;
    throw fs_error(error, shown);
}

void PinnedFolder::make_durable(int dir, const std::string& shown) const {
    const std::error_code error = platform::sync_to_disk(dir);
    if (error) throw fs_error(error.value(), shown);
}

void PinnedFolder::make_subfolder(const std::string& name) const {
    if (platform::syscalls().mkdirat(fd(), name.c_str(), 0700) == 0) return;
    const int error = errno;
    throw fs_error(error, path_of(name));
}

unique_fd PinnedFolder::open_subfolder(const std::string& name) const {
    unique_fd folder(platform::syscalls().openat(
        fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (folder.valid()) return folder;
    const int error = errno;
    throw fs_error(error, path_of(name));
}

}  // namespace brinvast
