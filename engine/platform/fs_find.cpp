// SPDX-License-Identifier: MIT
// Searches of a tree that stop short of changing it: its executables, and what a lock keeps.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "fs.h"
#include "fs_internal.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

// Notes the identity of every executable file of the top frame, and its subdirectories.
void list_executables(DirectoryStack& stack, platform::ListingBuffer& buffer,
                      std::vector<FileId>& found) {
    DirectoryStack::Frame& frame = stack.top();
    frame.listed = true;
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry)) {
        if (entry.type == DT_DIR) {
            frame.add_child(entry.name);
            continue;
        }
        struct stat info {};
        if ((entry.type != DT_REG && entry.type != DT_UNKNOWN) ||
            ::fstatat(fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(info.st_mode)) frame.add_child(entry.name);
        if (S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0)
            found.push_back({info.st_dev, info.st_ino});
    }
}

// Notes the first entry of the top frame that a flag locks, and its subdirectories while none is
// found; once one is, the walk enters nothing more.
void list_locked(DirectoryStack& stack, platform::ListingBuffer& buffer,
                 std::optional<LockedEntry>& found) {
    DirectoryStack::Frame& frame = stack.top();
    frame.listed = true;
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    while (!found && listing.next(entry)) {
        if (const char* flag = platform::locking_flag(fd, entry.name)) {
            found = LockedEntry{stack.path_of(entry.name), flag};
        } else if (entry.type == DT_DIR || entry.type == DT_UNKNOWN) {
            frame.add_child(entry.name);  // one that is none fails to open, and is not entered
        }
    }
}

}  // namespace

std::vector<FileId> executables_in(const std::string& path) {
    std::vector<FileId> found;
    unique_fd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return found;
    walk_down(std::move(root), path,
              [&found](DirectoryStack& stack, platform::ListingBuffer& buffer) {
                  list_executables(stack, buffer, found);
              });
    std::ranges::sort(found);
    return found;
}

std::optional<LockedEntry> locked_at_top(const std::string& path) {
    std::string base;
    const std::string parent = real_path(parent_of(path, base));  // as the removal follows it
    for (const std::string& entry : {parent, path}) {
        if (const char* flag = platform::locking_flag(AT_FDCWD, entry.c_str()))
            return LockedEntry{entry, flag};
    }
    return std::nullopt;
}

std::optional<LockedEntry> locked_entry(const std::string& path) {
    if (std::optional<LockedEntry> top = locked_at_top(path)) return top;
    std::optional<LockedEntry> found;
    unique_fd root(::open(path.c_str(), DIRECTORY_FLAGS));
    if (!root.valid()) return found;
    walk_down(std::move(root), path,
              [&found](DirectoryStack& stack, platform::ListingBuffer& buffer) {
                  list_locked(stack, buffer, found);
              });
    return found;
}

}  // namespace brinvast
