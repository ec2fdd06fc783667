#include "fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "interrupt.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

fs_error::fs_error(int error_number, const std::string& path)
    : fs_error(error_number, std::strerror(error_number), path) {}

fs_error::fs_error(int error_number, std::string message, const std::string& path)
    : std::system_error(error_number, std::generic_category()),
      message_(std::move(message).append(": ").append(path)) {}

bool is_permission_error(const std::exception& error) noexcept {
    const auto* system_error = dynamic_cast<const std::system_error*>(&error);
    return system_error && (system_error->code() == std::errc::permission_denied ||
                            system_error->code() == std::errc::operation_not_permitted);
}

bool path_exists(const std::string& path) noexcept {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

FileStatus file_status(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw fs_error(errno, path);
    return {static_cast<std::uint64_t>(status.st_size), status.st_mtime};
}

void rename_path(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) throw fs_error(errno, from + " → " + to);
}

void replace_file(const std::string& from, const std::string& to) {
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) throw fs_error(EISDIR, to);
    rename_path(from, to);
}

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// ---- deletion ----

// Unlinks every non-directory of the top frame and notes its subdirectories for later.
void empty_directory(DirectoryStack& stack, platform::ListingBuffer& buffer) {
    DirectoryStack::Frame& frame = stack.top();
    const int fd = frame.fd.get();
    platform::DirectoryListing listing(fd, buffer);
    platform::DirectoryEntry entry;
    int status = 0;
    while ((status = listing.next(entry)) > 0) {
        throw_if_interrupted();
        bool is_directory = entry.type == DT_DIR;
        if (entry.type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(fd, entry.name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                throw fs_error(errno, stack.path_of(entry.name));
            }
            is_directory = S_ISDIR(info.st_mode);
        }
        if (!is_directory) {
            if (::unlinkat(fd, entry.name, 0) == 0 || errno == ENOENT) continue;
            if (errno != EISDIR) throw fs_error(errno, stack.path_of(entry.name));
        }
        frame.add_child(entry.name);
    }
    // A directory removed from under us after we entered it lists as ENOENT: it vanished on its
    // own, and with it everything it held.
    if (status < 0 && status != -ENOENT) throw fs_error(-status, stack.top_path());
    frame.listed = true;
}

// Enters the subdirectory `name` of the top frame. Something that is no longer a directory
// (a symbolic link swapped in, say) is unlinked as what it now is, never followed.
void enter_for_removal(DirectoryStack& stack, const char* name) {
    const int parent_fd = stack.top().fd.get();
    unique_fd fd(::openat(parent_fd, name, directory_flags));
    if (fd.valid()) return stack.push(std::move(fd));
    if (errno == ENOENT) return;
    if (errno == ELOOP || errno == ENOTDIR) {
        if (::unlinkat(parent_fd, name, 0) == 0 || errno == ENOENT) return;
    }
    throw fs_error(errno, stack.path_of(name));
}

// Leaves the emptied top frame and removes it from its parent.
void remove_emptied(DirectoryStack& stack) {
    stack.pop();
    const char* name = stack.visiting();
    if (::unlinkat(stack.top().fd.get(), name, AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    throw fs_error(errno, stack.path_of(name));
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

}  // namespace

void remove_tree(const std::string& path) {
    std::string base;
    const std::string parent = parent_of(path, base);
    unique_fd parent_fd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent_fd.valid()) throw fs_error(errno, path);

    struct stat info {};
    if (::fstatat(parent_fd.get(), base.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        throw fs_error(errno, path);
    }
    if (S_ISLNK(info.st_mode)) throw fs_error(ELOOP, "Refusing to delete a symbolic link", path);
    unique_fd top(::openat(parent_fd.get(), base.c_str(), directory_flags));
    if (!top.valid()) throw fs_error(errno, path);

    auto buffer = std::make_unique<platform::ListingBuffer>();
    DirectoryStack stack(path);
    stack.push(std::move(top));
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
    stack.pop();
    if (::unlinkat(parent_fd.get(), base.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        throw fs_error(errno, path);
    }
}

namespace {

// ---- survey ----

struct Counts {
    std::uint64_t files = 0;
    std::uint64_t dirs = 0;
    std::uint64_t bytes = 0;
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
        return;
    }
    ++counts.files;
    counts.bytes += static_cast<std::uint64_t>(info.st_size);
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
            }
        }
        if (type == DT_DIR) {
            ++counts.dirs;
            frame.add_child(entry.name);
        } else if (type == DT_LNK || type == DT_UNKNOWN) {
            count_other_entry(fd, entry.name, counts);
        } else {
            ++counts.files;
            struct stat info {};
            if (::fstatat(fd, entry.name, &info, 0) == 0) {
                counts.bytes += static_cast<std::uint64_t>(info.st_size);
            }
        }
    }
    if (status < 0) {
        frame.children.clear();
        return;
    }
    totals.file_count += counts.files;
    totals.dir_count += counts.dirs;
    totals.total_bytes += counts.bytes;
}

}  // namespace

TreeTotals survey_tree(const std::string& path) {
    TreeTotals totals;
    unique_fd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) return totals;

    auto buffer = std::make_unique<platform::ListingBuffer>();
    DirectoryStack stack(path);
    stack.push(std::move(root));
    while (!stack.empty()) {
        throw_if_interrupted();
        if (!stack.top().listed) {
            list_for_survey(stack, *buffer, totals);
        } else if (const char* child = stack.next_child()) {
            // A subdirectory that can't be opened, or was swapped for a link, is not entered.
            unique_fd fd(::openat(stack.top().fd.get(), child, directory_flags));
            if (fd.valid()) stack.push(std::move(fd));
        } else {
            stack.pop();
        }
    }
    return totals;
}

}  // namespace brinvast
