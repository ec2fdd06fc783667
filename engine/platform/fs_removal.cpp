// SPDX-License-Identifier: MIT
// Removal of whole trees, contents first, from descriptors alone.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "fs.h"
#include "fs_internal.h"
#include "interrupt.h"
#include "platform.h"
#include "syscalls.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

const char* const MOUNTED_HERE = "Another file system is mounted here";

// Unlinks every non-directory of the top frame and notes its subdirectories for later.
void empty_directory(DirectoryStack& stack, platform::ListingBuffer& buffer) {
    DirectoryStack::Frame& frame = stack.top();
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    bool listed_any = false;
    while (listing.next(entry)) {
        throw_if_interrupted();
        listed_any = true;
        bool is_directory = entry.type == DT_DIR;
        if (entry.type == DT_UNKNOWN) {
            struct stat info {};
            if (platform::syscalls().fstatat(fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                const int error = errno;
                if (error == ENOENT) continue;
                throw fs_error(error, stack.path_of(entry.name));
            }
            is_directory = S_ISDIR(info.st_mode);
        }
        // A directory that took the place of what was listed is entered like any other.
        if (!is_directory) {
            if (platform::syscalls().unlinkat(fd, entry.name, 0) == 0) continue;
            const int error = errno;
            if (error == ENOENT) continue;
            if (!unlink_met_directory(fd, entry.name, error, platform::unlink_directory_error())) {
                throw fs_error(error, stack.path_of(entry.name));
            }
        }
        frame.add_child(entry.name);
    }
    // A directory removed from under us after we entered it lists as ENOENT: it vanished on its
    // own, and with it everything it held.
    const std::error_code error = listing.error();
    if (error && error.value() != ENOENT) throw fs_error(error.value(), stack.top_path());
    frame.listed = true;
    frame.listed_any = listed_any;
}

// A directory that could not be opened with `open_error` is removed as rm removes it, when it
// is empty: rmdir needs only write permission on its parent. Otherwise the open's error stands.
void remove_unopened(int parent_fd, const char* name, int open_error, const std::string& path) {
    if (open_error == EACCES || open_error == EPERM) {
        if (platform::syscalls().unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
            return;
        }
    }
    throw fs_error(open_error, path);
}

// Enters the subdirectory `name` of the top frame. Something that is no longer a directory
// (a symbolic link swapped in, say) is unlinked as what it now is, never followed.
void enter_for_removal(DirectoryStack& stack, const char* name) {
    const int parent_fd = stack.top().fd.get();
    unique_fd fd(platform::syscalls().openat(parent_fd, name, DIRECTORY_FLAGS, 0));
    if (fd.valid()) {
        if (!stack.push(std::move(fd))) throw fs_error(EXDEV, MOUNTED_HERE, stack.path_of(name));
        return;
    }
    const int open_error = errno;
    if (open_error == ENOENT) return;
    if (open_error == ELOOP || open_error == ENOTDIR) {
        if (platform::syscalls().unlinkat(parent_fd, name, 0) == 0) return;
        const int error = errno;
        if (error == ENOENT) return;
        throw fs_error(error, stack.path_of(name));
    }
    remove_unopened(parent_fd, name, open_error, stack.path_of(name));
}

// Whether an rmdir that failed with `error`, after a pass that listed entries, should list the
// folder again. On HFS+, SMB and exFAT under macOS, unlinking entries shifts the read position
// of a listing past some not yet read, so one pass can leave entries behind; POSIX lets rmdir
// say EEXIST for ENOTEMPTY. A pass that listed nothing ends it, so the passes never loop.
bool list_again(int error, bool listed_any) {
    return listed_any && (error == ENOTEMPTY || error == EEXIST);
}

// Leaves the emptied top frame and removes it from its parent, or enters it again for another
// pass; the parent goes on visiting the same name.
void remove_emptied(DirectoryStack& stack) {
    const bool listed_any = stack.top().listed_any;
    stack.pop();
    const char* name = stack.visiting();
    if (platform::syscalls().unlinkat(stack.top().fd.get(), name, AT_REMOVEDIR) == 0) return;
    const int error = errno;
    if (error == ENOENT) return;
    if (!list_again(error, listed_any)) throw fs_error(error, stack.path_of(name));
    enter_for_removal(stack, name);
}

// Empties the directory `top` and everything beneath it. True when the last pass over `top`
// itself listed any entry.
bool empty_tree(unique_fd top, const std::string& path) {
    auto buffer = std::make_unique<platform::ListingBuffer>();
    DirectoryStack stack(path);
    (void)stack.push(std::move(top));  // the root sets the file system of the walk
    for (;;) {
        throw_if_interrupted();
        if (!stack.top().listed) {
            empty_directory(stack, *buffer);
        } else if (const char* child = stack.next_child()) {
            enter_for_removal(stack, child);
        } else if (stack.depth() > 1) {
            remove_emptied(stack);
        } else {
            break;
        }
    }
    const bool listed_any = stack.top().listed_any;
    stack.pop();
    return listed_any;
}

// Where a removal reaches its target from: an open folder and the target's path from there,
// its name in the folder or its path below it.
struct Anchor {
    int fd = -1;
    std::string name;
};

// Opens the target's parent into `folder`, for search only, and returns the target's name in
// it. Where the parent may be searched but not opened that way (macOS 12 ignores O_SEARCH, and a
// build without it asks for read permission), opens the nearest ancestor that opens instead, and
// returns the target's path below it, whose folders need only search permission. They are
// resolved by each call, as the parent's path is by the open; the target itself is still never
// followed. Sets `error` to why no folder could be opened.
std::string open_anchor(const std::string& path, unique_fd& folder, int& error) {
    std::string below;
    std::string parent = parent_of(path, below);
    for (;;) {
        Result<unique_fd> opened = platform::open_search_only(AT_FDCWD, parent.c_str());
        folder = std::move(opened.value);
        if (!opened.error) return below;
        error = opened.error.value();
        if (error != EACCES || parent == "/" || parent == ".") return below;
        std::string name;
        parent = parent_of(parent, name);
        below = name + "/" + below;
    }
}

// Whether the open directory `top` lies on the mounted file system of its parent: the anchor's
// folder itself, or the folder above the target below it.
bool on_parents_mount(const Anchor& anchor, int top, const std::string& path) {
    const auto slash = anchor.name.rfind('/');
    const Result<std::uint64_t> parent =
        slash == std::string::npos
            ? platform::mount_of(anchor.fd)
            : platform::mount_at(anchor.fd, anchor.name.substr(0, slash).c_str());
    if (parent.error) throw fs_error(parent.error.value(), path);
    const Result<std::uint64_t> mount = platform::mount_of(top);
    if (mount.error) throw fs_error(mount.error.value(), path);
    return parent.value == mount.value;
}

// Nothing there any more is no error for a removal; anything else is.
[[nodiscard]] bool gone_or_throw(int error, const std::string& path) {
    if (error == ENOENT) return false;
    throw fs_error(error, path);
}

// remove_tree of the target that `anchor` reaches, shown as `path`. Removing entries needs only
// search and write permission on the parent, not read.
bool remove_anchored(const Anchor& anchor, const std::string& path) {
    const char* const name = anchor.name.c_str();
    struct stat info {};
    if (platform::syscalls().fstatat(anchor.fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return gone_or_throw(errno, path);
    }
    if (S_ISLNK(info.st_mode)) throw fs_error(ELOOP, "Refusing to delete a symbolic link", path);
    // Each pass opens the target afresh, for a listing from its start (see list_again).
    for (bool emptied = false;; emptied = true) {
        unique_fd top(platform::syscalls().openat(anchor.fd, name, DIRECTORY_FLAGS, 0));
        if (!top.valid()) {
            const int error = errno;
            if (error == ENOENT) return emptied;
            remove_unopened(anchor.fd, name, error, path);
            return true;
        }
        // A product directory that is itself a mount point holds someone else's file system.
        if (!on_parents_mount(anchor, top.get(), path)) throw fs_error(EXDEV, MOUNTED_HERE, path);
        const bool listed_any = empty_tree(std::move(top), path);
        if (platform::syscalls().unlinkat(anchor.fd, name, AT_REMOVEDIR) == 0) return true;
        const int error = errno;
        if (error == ENOENT) return true;
        if (!list_again(error, listed_any)) throw fs_error(error, path);
    }
}

}  // namespace

bool remove_tree(const std::string& path) {
    unique_fd folder;
    int error = 0;
    std::string below = open_anchor(path, folder, error);
    // A file that took the place of a folder on the way leaves nothing to remove.
    if (!folder.valid()) return gone_or_throw(error == ENOTDIR ? ENOENT : error, path);
    return remove_anchored({folder.get(), std::move(below)}, path);
}

bool remove_tree_at(int dir_fd, const std::string& name, const std::string& shown) {
    require_single_name(name, shown);
    return remove_anchored({dir_fd, name}, shown);
}

bool remove_file_at(int dir_fd, const std::string& name, const std::string& shown) {
    require_single_name(name, shown);
    if (platform::syscalls().unlinkat(dir_fd, name.c_str(), 0) == 0) return true;
    return gone_or_throw(errno, shown);
}

}  // namespace brinvast
