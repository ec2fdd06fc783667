// SPDX-License-Identifier: MIT
#include "fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "fs_internal.h"
#include "syscalls.h"

namespace brinvast {

PathCheck check_path(const std::string& path) noexcept {
    struct stat status {};
    if (platform::syscalls().stat(path.c_str(), &status) == 0) return {true, {}};
    const std::error_code error = last_error();
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory)
        return {false, {}};
    // ELOOP from a link at the end that loops; from one on the way there, nothing is known.
    if (error == std::errc::too_many_symbolic_link_levels &&
        platform::syscalls().lstat(path.c_str(), &status) == 0) {
        return {false, {}};
    }
    return {true, error};
}

namespace {

// Adds the components of `path` to `rest`, the first of them last, where it comes off first.
void push_components(std::string_view path, std::vector<std::string>& rest) {
    std::vector<std::string> parts;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    rest.insert(rest.end(), parts.rbegin(), parts.rend());
}

}  // namespace

std::string real_path(const std::string& path) {
    constexpr int MAX_LINKS = 40;  // as the kernel's own limit, so that a loop ends
    std::vector<std::string> rest;
    std::string resolved;
    if (!path.starts_with('/')) {
        const std::unique_ptr<char, decltype(&std::free)> here(::getcwd(nullptr, 0), &std::free);
        if (!here) return path;
        push_components(path, rest);
        push_components(here.get(), rest);
    } else {
        push_components(path, rest);
    }
    bool gone = false;  // past the last entry that stands
    for (int links = 0; !rest.empty();) {
        const std::string part = std::move(rest.back());
        rest.pop_back();
        if (part == "..") resolved.resize(std::min(resolved.size(), resolved.rfind('/')));
        if (part == "." || part == "..") continue;
        std::string next = resolved + "/" + part;
        struct stat status {};
        gone = gone || platform::syscalls().lstat(next.c_str(), &status) != 0;
        if (!gone && S_ISLNK(status.st_mode) && links < MAX_LINKS) {
            const Result<std::string> target = platform::read_link(next);
            if (!target.error) {
                ++links;
                if (target.value.starts_with('/')) resolved.clear();
                push_components(target.value, rest);
                continue;
            }
        }
        resolved = std::move(next);
    }
    return resolved.empty() ? "/" : resolved;
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
    return platform::syscalls().fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
}

// The *_at operations take one entry of an open folder: a path would resolve links on its way.
void require_single_name(const std::string& name, const std::string& shown) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        throw fs_error(EINVAL, "Not a single name", shown);
    }
}

}  // namespace brinvast
