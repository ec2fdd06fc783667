// SPDX-License-Identifier: MIT
#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

#include "interrupt.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

PathCheck check_path(const std::string& path) noexcept {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) return {true, 0};
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return {false, 0};
    // ELOOP from a link at the end that loops; from one on the way there, nothing is known.
    if (error == ELOOP && ::lstat(path.c_str(), &status) == 0) return {false, 0};
    return {true, error};
}

std::string real_path(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

FileStatus file_status(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        throw fs_error(error, path);
    }
    return {static_cast<std::uint64_t>(status.st_size), status.st_mtime};
}

void rename_path(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        throw fs_error(error, from + " → " + to);
    }
}

std::string parent_of(const std::string& path, std::string& base) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        base = path;
        return ".";
    }
    base = path.substr(slash + 1);
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

// Whether `a` and `b` are one directory entry, spelt two ways.
bool one_entry(const std::string& a, const std::string& b) {
    std::string base_a;
    std::string base_b;
    struct stat parent_a {};
    struct stat parent_b {};
    return ::stat(parent_of(a, base_a).c_str(), &parent_a) == 0 &&
           ::stat(parent_of(b, base_b).c_str(), &parent_b) == 0 && base_a == base_b &&
           parent_a.st_dev == parent_b.st_dev && parent_a.st_ino == parent_b.st_ino;
}

// True when `to` is, itself and not through a link, another name of the file that `from`
// names (directly or through a link).
bool second_name_of(const std::string& from, const struct stat& source, const std::string& to,
                    const struct stat& target) {
    struct stat link {};
    return S_ISREG(target.st_mode) && target.st_dev == source.st_dev &&
           target.st_ino == source.st_ino && ::lstat(from.c_str(), &link) == 0 &&
           (S_ISLNK(link.st_mode) || !one_entry(from, to));
}

}  // namespace

bool replace_file(const std::string& from, const std::string& to) {
    struct stat source {};
    if (::stat(from.c_str(), &source) != 0) {
        const int error = errno;
        throw fs_error(error, from);
    }
    if (S_ISDIR(source.st_mode)) throw fs_error(EISDIR, from);
    if (!S_ISREG(source.st_mode)) throw fs_error(EINVAL, "Not a regular file", from);
    struct stat target {};
    const bool target_seen = ::lstat(to.c_str(), &target) == 0;
    if (target_seen && S_ISDIR(target.st_mode)) throw fs_error(EISDIR, to);
    // rename() between two names of one file succeeds and does nothing; the file already stands
    // at `to`, so dropping the name `from` is the whole move.
    if (target_seen && second_name_of(from, source, to, target)) {
        if (::unlink(from.c_str()) != 0) {
            const int error = errno;
            throw fs_error(error, from);
        }
        return false;
    }
    rename_path(from, to);
    return true;
}

bool remove_file(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return true;
    const int error = errno;
    if (error == ENOENT) return false;
    throw fs_error(error, path);
}

bool unlink_met_directory(int dir_fd, const char* name, int error, int directory_error) {
    if (error == EISDIR) return true;
    if (error != directory_error) return false;
    struct stat info {};
    return ::fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// ---- deletion ----

const char* const MOUNTED_HERE = "Another file system is mounted here";

// Unlinks every non-directory of the top frame and notes its subdirectories for later.
void empty_directory(DirectoryStack& stack, platform::ListingBuffer& buffer) {
    DirectoryStack::Frame& frame = stack.top();
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    bool listed_any = false;
    int status = 0;
    while ((status = listing.next(entry)) > 0) {
        throw_if_interrupted();
        listed_any = true;
        bool is_directory = entry.type == DT_DIR;
        if (entry.type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                const int error = errno;
                if (error == ENOENT) continue;
                throw fs_error(error, stack.path_of(entry.name));
            }
            is_directory = S_ISDIR(info.st_mode);
        }
        // A directory that took the place of what was listed is entered like any other.
        if (!is_directory) {
            if (::unlinkat(fd, entry.name, 0) == 0) continue;
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
    if (status < 0 && status != -ENOENT) throw fs_error(-status, stack.top_path());
    frame.listed = true;
    frame.listed_any = listed_any;
}

// A directory that could not be opened with `open_error` is removed as rm removes it, when it
// is empty: rmdir needs only write permission on its parent. Otherwise the open's error stands.
void remove_unopened(int parent_fd, const char* name, int open_error, const std::string& path) {
    if (open_error == EACCES || open_error == EPERM) {
        if (::unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    }
    throw fs_error(open_error, path);
}

// Enters the subdirectory `name` of the top frame. Something that is no longer a directory
// (a symbolic link swapped in, say) is unlinked as what it now is, never followed.
void enter_for_removal(DirectoryStack& stack, const char* name) {
    const int parent_fd = stack.top().fd.get();
    unique_fd fd(::openat(parent_fd, name, DIRECTORY_FLAGS));
    if (fd.valid()) {
        if (!stack.push(std::move(fd))) throw fs_error(EXDEV, MOUNTED_HERE, stack.path_of(name));
        return;
    }
    const int open_error = errno;
    if (open_error == ENOENT) return;
    if (open_error == ELOOP || open_error == ENOTDIR) {
        if (::unlinkat(parent_fd, name, 0) == 0) return;
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
    if (::unlinkat(stack.top().fd.get(), name, AT_REMOVEDIR) == 0) return;
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
    if (::fstatat(anchor.fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return gone_or_throw(errno, path);
    }
    if (S_ISLNK(info.st_mode)) throw fs_error(ELOOP, "Refusing to delete a symbolic link", path);
    // Each pass opens the target afresh, for a listing from its start (see list_again).
    for (bool emptied = false;; emptied = true) {
        unique_fd top(::openat(anchor.fd, name, DIRECTORY_FLAGS));
        if (!top.valid()) {
            const int error = errno;
            if (error == ENOENT) return emptied;
            remove_unopened(anchor.fd, name, error, path);
            return true;
        }
        // A product directory that is itself a mount point holds someone else's file system.
        if (!on_parents_mount(anchor, top.get(), path)) throw fs_error(EXDEV, MOUNTED_HERE, path);
        const bool listed_any = empty_tree(std::move(top), path);
        if (::unlinkat(anchor.fd, name, AT_REMOVEDIR) == 0) return true;
        const int error = errno;
        if (error == ENOENT) return true;
        if (!list_again(error, listed_any)) throw fs_error(error, path);
    }
}

// The *_at operations take one entry of an open folder: a path would resolve links on its way.
void require_single_name(const std::string& name, const std::string& shown) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw fs_error(EINVAL, "Not a single name", shown);
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
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) return true;
    return gone_or_throw(errno, shown);
}

namespace {

// ---- survey ----

struct Counts {
    std::uint64_t files = 0;
    std::uint64_t dirs = 0;
    std::uint64_t bytes = 0;
    std::uint64_t dataless = 0;

    void add_file(const struct stat& info) {
        ++files;
        bytes += static_cast<std::uint64_t>(info.st_size);
        if (platform::is_dataless(info)) ++dataless;
    }
};

// Counts one entry that is not known to be a real directory. Links to directories are counted
// as directories but never entered.
void count_other_entry(int fd, const char* name, Counts& counts) {
    struct stat info {};
    if (::fstatat(fd, name, &info, 0) != 0) {
        ++counts.files;  // its type can't be told, and its size is left out
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        ++counts.dirs;
        if (platform::is_dataless(info)) ++counts.dataless;
        return;
    }
    counts.add_file(info);
}

// Names the subdirectory at `path`, whose contents the totals lack, within the kept number.
void note_unlisted(TreeTotals& totals, std::string path) {
    if (totals.unlisted.size() < TreeTotals::UNLISTED_KEPT)
        totals.unlisted.push_back(std::move(path));
    ++totals.unlisted_count;
}

// What a subdirectory that fails to open or to list with `error` was: gone, or no longer a
// directory, is no loss to the totals; anything else is.
bool lost_to_survey(int error) {
    return error != ENOENT && error != ENOTDIR && error != ELOOP;
}

// Counts the entries of the top frame and notes the real subdirectories to visit. A listing
// that breaks off contributes nothing, not even the subdirectories seen so far.
void list_for_survey(DirectoryStack& stack, platform::ListingBuffer& buffer, TreeTotals& totals) {
    DirectoryStack::Frame& frame = stack.top();
    frame.listed = true;
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    Counts counts;
    int status = 0;
    while ((status = listing.next(entry)) > 0) {
        throw_if_interrupted();
        unsigned char type = entry.type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(info.st_mode)) {
                type = DT_DIR;
                if (platform::is_dataless(info)) ++counts.dataless;
            }
        }
        if (type == DT_DIR) {
            ++counts.dirs;
            frame.add_child(entry.name);
        } else if (type == DT_LNK || type == DT_UNKNOWN) {
            count_other_entry(fd, entry.name, counts);
        } else {
            struct stat info {};
            if (::fstatat(fd, entry.name, &info, 0) == 0) {
                counts.add_file(info);
            } else {
                ++counts.files;
            }
        }
    }
    if (status < 0) {
        frame.children.clear();
        if (stack.depth() > 1 && lost_to_survey(-status)) note_unlisted(totals, stack.top_path());
        return;
    }
    totals.file_count += counts.files;
    totals.dir_count += counts.dirs;
    totals.total_bytes += counts.bytes;
    totals.dataless_count += counts.dataless;
}

// Notes the identity of every executable file of the top frame, and its subdirectories.
void list_executables(DirectoryStack& stack, platform::ListingBuffer& buffer,
                      std::vector<FileId>& found) {
    DirectoryStack::Frame& frame = stack.top();
    frame.listed = true;
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    while (listing.next(entry) > 0) {
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

// A walk that needs no word of the subdirectories it could not open.
struct IgnoreUnopened {
    void operator()(const DirectoryStack&, const char*, int) const {}
};

// Visits the tree whose open top directory is `root` top-down: `list` lists the top frame and
// notes its subdirectories. A subdirectory that can't be opened, was swapped for a link, or lies
// on another file system, is not entered; `unopened` hears of the first two, with the error.
template <class List, class Unopened = IgnoreUnopened>
void walk_down(unique_fd root, const std::string& path, List list, Unopened unopened = {}) {
    auto buffer = std::make_unique<platform::ListingBuffer>();
    DirectoryStack stack(path);
    (void)stack.push(std::move(root));
    while (!stack.empty()) {
        throw_if_interrupted();
        if (!stack.top().listed) {
            list(stack, *buffer);
        } else if (const char* child = stack.next_child()) {
            unique_fd fd(::openat(stack.top().fd.get(), child, DIRECTORY_FLAGS));
            if (fd.valid()) {
                (void)stack.push(std::move(fd));
            } else {
                unopened(stack, child, errno);
            }
        } else {
            stack.pop();
        }
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
    while (!found && listing.next(entry) > 0) {
        if (const char* flag = platform::locking_flag(fd, entry.name)) {
            found = LockedEntry{stack.path_of(entry.name), flag};
        } else if (entry.type == DT_DIR || entry.type == DT_UNKNOWN) {
            frame.add_child(entry.name);  // one that is none fails to open, and is not entered
        }
    }
}

// The flag that locks the entry at `path`, not followed; nullptr when none does, or when it
// cannot be examined.
const char* lock_of(const std::string& path) {
    return platform::locking_flag(AT_FDCWD, path.c_str());
}

}  // namespace

namespace {

// survey_tree of the directory `root`, shown as `path`, or of nothing where it could not be
// opened, with `open_error`. A folder that is there but may not be listed (macOS privacy
// protection, say) is not an empty one.
TreeTotals survey_root(unique_fd root, int open_error, const std::string& path) {
    TreeTotals totals;
    if (open_error == EACCES || open_error == EPERM) throw fs_error(open_error, path);
    if (!root.valid()) return totals;
    walk_down(
        std::move(root), path,
        [&totals](DirectoryStack& stack, platform::ListingBuffer& buffer) {
            list_for_survey(stack, buffer, totals);
        },
        [&totals](const DirectoryStack& stack, const char* child, int error) {
            if (lost_to_survey(error)) note_unlisted(totals, stack.path_of(child));
        });
    return totals;
}

}  // namespace

TreeTotals survey_tree(const std::string& path) {
    unique_fd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int error = root.valid() ? 0 : errno;
    return survey_root(std::move(root), error, path);
}

TreeTotals survey_tree_at(int dir_fd, const std::string& name, const std::string& shown) {
    require_single_name(name, shown);
    unique_fd root(::openat(dir_fd, name.c_str(), DIRECTORY_FLAGS));
    const int error = root.valid() ? 0 : errno;
    return survey_root(std::move(root), error, shown);
}

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

std::optional<LockedEntry> locked_entry(const std::string& path) {
    std::string base;
    const std::string parent = real_path(parent_of(path, base));  // as the removal follows it
    for (const std::string& entry : {parent, path}) {
        if (const char* flag = lock_of(entry)) return LockedEntry{entry, flag};
    }
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
