// SPDX-License-Identifier: MIT
#pragma once

// The engine's file-system core. Every operation that fails throws fs_error, which carries the
// failing errno so that callers can tell EACCES and EPERM from other errors. The tree walks stay
// on the mounted file system where their tree starts.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"

namespace brinvast {

// What the existence test saw at a path. Absent only when the entry is really not there: no such
// entry, a file where a directory was expected, or a link that dangles or loops at its end. An
// entry that cannot be examined (EACCES, EPERM, EIO, ...) may be there, so it is present, with
// `error` saying why it could not be seen.
struct PathCheck {
    bool present = false;
    std::error_code error;
};

// The existence test, following symbolic links. Never fails.
[[nodiscard]] PathCheck check_path(const std::string& path) noexcept;

[[nodiscard]] inline bool path_exists(const std::string& path) noexcept {
    return check_path(path).present;
}

// `path` made absolute, with every link, "." and ".." resolved as far as entries stand, and the
// rest, which does not exist, added as spelt, its "." and ".." resolved by name: two spellings of
// one place give one path. `path` itself when the working folder cannot be told.
[[nodiscard]] std::string real_path(const std::string& path);

// The folder that holds `path`, with the last component, its name in that folder, in `base`.
[[nodiscard]] std::string parent_of(const std::string& path, std::string& base);

struct FileStatus {
    std::uint64_t size = 0;
    std::time_t modified = 0;  // whole seconds
};

// Size and modification time, following symbolic links.
[[nodiscard]] FileStatus file_status(const std::string& path);

// Renames within one file system, atomically replacing whatever file stands at `to`.
void rename_path(const std::string& from, const std::string& to);

// Moves the regular file at `from` (or the link to one) to `to`, replacing whatever file stands
// there, and returns true. Returns false when `to` already is another name of that very file:
// then only the name `from` is dropped. Refuses anything but a regular file at `from`, and a
// real directory at `to`; then nothing moves.
[[nodiscard]] bool replace_file(const std::string& from, const std::string& to);

// Deletes the file (or link) at `path`. False when nothing stood there.
[[nodiscard]] bool remove_file(const std::string& path);

// Whether an unlink of `name` in `dir_fd` that failed with `error` met a directory standing
// there, on a platform whose unlink refuses a directory with `directory_error`. EISDIR means
// nothing else; macOS's EPERM also refuses a locked (uchg) file, so then only a directory seen
// there now counts.
[[nodiscard]] bool unlink_met_directory(int dir_fd, const char* name, int error,
                                        int directory_error);

// Deletes the directory tree at `path`, contents first. `path` itself must be a real directory:
// a symbolic link or anything else there is refused. Links inside the tree are removed as links.
// Stops at the first entry that cannot be deleted and throws its error; what was deleted stays
// deleted. A directory still holding entries after a pass that listed some is listed again from
// its start, as macOS's HFS+, SMB and exFAT skip entries in a listing that deletions disturb. A
// directory on another mounted file system, `path` itself included, is never entered: it is such an
// error. An unreadable directory is removed if it is empty, as rm does. Entries that vanish on
// their own are not errors. False when nothing stood at `path` any more. Throws UserInterrupt when
// the user interrupts.
[[nodiscard]] bool remove_tree(const std::string& path);

// The operations below act on the entry `name` (a single name, no '/') of the open directory
// `dir_fd`, a folder reached without following links (platform::open_folder_beneath), so that
// no link swapped in on the way since can lead them elsewhere; `shown` is the entry's path for
// messages. A name that is not a single one is refused with EINVAL.

// remove_tree of the directory `name`: a link or anything else there is refused as remove_tree
// refuses it, and a directory on another mounted file system than `dir_fd` is never entered.
[[nodiscard]] bool remove_tree_at(int dir_fd, const std::string& name, const std::string& shown);

// Deletes the file or link `name`. False when nothing stood there; a directory there is refused
// with the error the platform's unlink gives (EISDIR on Linux, EPERM on macOS).
[[nodiscard]] bool remove_file_at(int dir_fd, const std::string& name, const std::string& shown);

// An entry that a flag locks against deletion, whoever asks: see platform::lock_flag.
struct LockedEntry {
    std::string path;
    std::string flag;  // uchg, schg, uappnd, sappnd; immutable, append-only
};

struct TreeTotals {
    std::uint64_t file_count = 0;
    std::uint64_t dir_count = 0;
    std::uint64_t total_bytes = 0;
    // The paths, as shown, of the first UNLISTED_KEPT subdirectories whose contents are missing
    // from the totals because they could not be opened or their listing broke off (EACCES, EIO,
    // EDEADLK for a dataless folder that may not be fetched), and how many there were in all.
    // Not one that vanished, was swapped for a file or link, or lies on another file system.
    static constexpr std::size_t UNLISTED_KEPT = 20;
    std::vector<std::string> unlisted;
    std::uint64_t unlisted_count = 0;
    // Entries whose contents a file provider keeps elsewhere (platform::is_dataless), among
    // those the survey examines anyway: files and links, and entries listed without a type. A
    // directory listed as one is not examined, so it is not counted. Never on Linux.
    std::uint64_t dataless_count = 0;
    // The first entry that a flag locks, as locked_entry() finds it, when the survey was asked to
    // look: it reads each entry's flags with what it reads of the entry anyway, so looking costs
    // no walk of its own.
    std::optional<LockedEntry> locked;
};

// Counts and sizes everything beneath `path` (followed when it is a link). Subdirectories count
// at every depth; links to directories are counted but not entered; a directory that cannot be
// listed, or whose listing breaks off, contributes nothing but its name in `unlisted`, and a
// directory on another mounted file system contributes nothing (it still counts as a
// directory). Sizes follow links; a size that cannot be read is left out. Throws UserInterrupt
// when the user interrupts, and fs_error when `path` itself is there but may not be listed
// (EACCES, EPERM), or when a directory is moved away beneath a deep walk so that it cannot find
// its way back.
[[nodiscard]] TreeTotals survey_tree(const std::string& path, bool find_lock = false);

// survey_tree of the directory `name` in `dir_fd`, not followed: a link there, like a file, holds
// nothing to count.
[[nodiscard]] TreeTotals survey_tree_at(int dir_fd, const std::string& name,
                                        const std::string& shown);

// A file's identity, which every path to it shares: hard links, bind mounts.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileId&) const = default;
};

// The identities of the executable files beneath the directory `path`, sorted. Links are not
// followed, and a directory that cannot be listed is left out. Empty when nothing is there.
[[nodiscard]] std::vector<FileId> executables_in(const std::string& path);

// The first locked entry that a removal of the tree at `path` would meet: the folder that holds
// it (whose entries a lock keeps), `path` itself, or anything beneath it, so that a locked entry
// is found before anything is deleted rather than after everything else was. Links are not
// followed. What cannot be examined or listed is left out: the removal meets it with its own
// error. Nothing when no entry is locked.
[[nodiscard]] std::optional<LockedEntry> locked_entry(const std::string& path);

}  // namespace brinvast
