// SPDX-License-Identifier: MIT
#pragma once

// A folder opened once, whose entries every step names relative to its descriptor, so that the
// steps of one change cannot land in two places when its path is given to another folder
// meanwhile. Each step that fails throws fs_error naming the entry as the user knows it.

#include <cstdint>
#include <optional>
#include <string>

#include "unique_fd.h"

namespace brinvast {

// What tells one file from another: a name that is given to another file, or the same file
// changed meanwhile, no longer matches.
struct EntryIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool operator==(const EntryIdentity&) const = default;
};

class PinnedFolder {
public:
    // Opens the folder at `path`. Nothing standing there (ENOENT, ENOTDIR) is no error: exists()
    // then says so. Throws fs_error when it cannot be opened otherwise.
    explicit PinnedFolder(std::string path);

    [[nodiscard]] bool exists() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] const std::string& path() const { return path_; }
    // The path of the entry `name` of the folder, or one further down, for messages.
    [[nodiscard]] std::string path_of(const std::string& name) const { return path_ + "/" + name; }

    // The identity of the entry `name` in the folder `dir` (not followed); nothing when none
    // stands there.
    [[nodiscard]] std::optional<EntryIdentity> identity_in(int dir, const std::string& name,
                                                           const std::string& shown) const;
    [[nodiscard]] std::optional<EntryIdentity> identity_of(const std::string& name) const {
        return identity_in(fd(), name, path_of(name));
    }

    // Moves an entry without ever replacing one; the error names the entry in the way (EEXIST)
    // or the one that would have moved.
    void move_entry(int from_dir, const std::string& from, int to_dir, const std::string& to,
                    const std::string& shown_from, const std::string& shown_to) const;
    void move_entry(const std::string& from, const std::string& to) const {
        move_entry(fd(), from, fd(), to, path_of(from), path_of(to));
    }

    // unlinkat() with `flags`; nothing standing there is no error.
    void remove_entry(int dir, const std::string& name, int flags, const std::string& shown) const;

    // Makes what was done in `dir` so far survive a power loss, before the next step relies on
    // it. A failure leaves the step perhaps done, perhaps not: whoever undoes it looks first.
    void make_durable(int dir, const std::string& shown) const;
    void make_durable() const { make_durable(fd(), path_); }

    // Makes the folder `name` (mode 0700), failing when anything stands there.
    void make_subfolder(const std::string& name) const;
    // Opens the folder `name` itself, not a link to one.
    [[nodiscard]] unique_fd open_subfolder(const std::string& name) const;

private:
    std::string path_;
    unique_fd fd_;
};

}  // namespace brinvast
