// SPDX-License-Identifier: MIT
#pragma once

// The platform seam: everything that differs between macOS and Linux lives behind these
// declarations, with one implementation file per platform.

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "errors.h"
#include "unique_fd.h"

#if defined(__APPLE__)
#include <dirent.h>
#endif

namespace brinvast::platform {

// The file-system path of the running executable, as the platform reports it (it may still
// contain symbolic links). Empty when the platform cannot tell.
[[nodiscard]] std::string executable_path();

// Opens the directory at `path` (relative to `at_fd`) only as a base for *at() calls, which
// needs search permission on it but not read permission.
[[nodiscard]] Result<unique_fd> open_search_only(int at_fd, const char* path);

// Opens the directory `relative` (a relative path, "a/b/c") below the open directory `dir_fd`,
// one component at a time, following no symbolic link on the way or at the end, and never
// leaving `dir_fd` through "..": only search permission is needed on each. Its errors: ELOOP or
// ENOTDIR where a link or a file stands on the way, ENOENT where nothing does, EINVAL for an
// absolute path or one with "..", or an empty component. Like open_search_only's, the
// descriptor is a base for *at() calls, not for listing.
[[nodiscard]] Result<unique_fd> open_folder_beneath(int dir_fd, const char* relative);

// The mounted file system that holds the open file `fd`, told apart from every other mount,
// bind mounts of the same device included.
[[nodiscard]] Result<std::uint64_t> mount_of(int fd);

// The same for the entry at `path` relative to `dir_fd`, followed, for a directory that may be
// searched but not opened.
[[nodiscard]] Result<std::uint64_t> mount_at(int dir_fd, const char* path);

// Whether a program in a bundle keeps its artwork in the bundle's Contents/Resources, where
// macOS wants data; true on macOS only.
[[nodiscard]] bool artwork_in_bundle_resources();

// The errno with which unlink() refuses a directory: EISDIR on Linux, EPERM on macOS.
[[nodiscard]] int unlink_directory_error();

// Makes the open file or directory `fd` durable: what was written to it, or renamed or deleted in
// it, so far survives a power loss. The error when it cannot be promised.
[[nodiscard]] std::error_code sync_to_disk(int fd);

// The modification time that `status` holds, to the nanosecond where the file system keeps it.
[[nodiscard]] timespec modification_time(const struct stat& status);

// renameat() that never replaces anything: fails with EEXIST when an entry stands at `to`, and
// with ENOTSUP on a file system that cannot promise it.
[[nodiscard]] std::error_code rename_exclusive(int from_dir, const char* from, int to_dir,
                                               const char* to);

// The flag that makes the kernel refuse to delete, rename or change the entry `name` in `dir_fd`
// (not followed), whoever asks, root included: macOS's uchg, schg, uappnd and sappnd (Finder's
// Locked is uchg), Linux's immutable and append-only attributes. The flag's name, or nullptr when
// none is set; the error when the entry cannot be examined.
[[nodiscard]] Result<const char*> lock_flag(int dir_fd, const char* name);

// The name lock_flag gives the flag among macOS's st_flags `flags` that locks an entry, or
// nullptr; getattrlistbulk reads the same flags.
[[nodiscard]] const char* lock_in_flags(std::uint32_t flags);

// lock_flag's answer as one value: the flag's name, or nullptr when none is set or when the entry
// cannot be examined (whatever acts on it then meets its own error).
[[nodiscard]] const char* locking_flag(int dir_fd, const char* name);

// The target of the link at `path`, however long.
[[nodiscard]] Result<std::string> read_link(const std::string& path);
// The same past the table of calls (syscalls.h): for what no fault sweep aims at, such as which
// processes run, whose number of calls changes from one run to the next.
[[nodiscard]] Result<std::string> read_link_past_the_table(const std::string& path);

// Whether `status` is that of a dataless file or folder: one whose contents a file provider
// (iCloud Drive) keeps elsewhere and brings back only when they are read. Never on Linux.
[[nodiscard]] bool is_dataless(const struct stat& status);

// Whether the entry at `path`, not followed, is kept by a file provider, as iCloud Drive marks
// the folders it syncs. False where the platform has none, or when it cannot tell.
[[nodiscard]] bool kept_by_file_provider(const std::string& path);

// Lets this process list dataless folders: the system brings their entries back from the file
// provider instead of failing with EDEADLK, while the contents of dataless files stay where they
// are. Nothing to do on Linux. The error when the system refuses.
[[nodiscard]] std::error_code materialize_dataless_listings();

// This Mac's hardware UUID in capitals with dashes, as the preferences system names the files it
// keeps for this Mac alone (ByHost); on Linux, the machine id in that form. Empty when the system
// cannot tell.
[[nodiscard]] std::string host_uuid();

// A running process, the path of the executable it was started from, and that file's identity,
// which other paths to the same file (a hard link, a bind mount) share.
struct Process {
    int pid = 0;
    std::string executable;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t user = 0;  // whose process it is
    // Where the executable lies on a nullfs mount, a read-only mirror of another folder (as macOS
    // runs an app that was copied with its quarantine, from under AppTranslocation): the folder it
    // mirrors, where the mirror is mounted, and the device of the mirrored file, whose inode
    // number the mirror keeps. Empty and 0 elsewhere.
    std::string mirrored_from;
    std::string mirror_at;
    dev_t mirrored_device = 0;
};

// Every running process whose executable can be seen. A process whose executable cannot be seen
// (another user's, without the privileges) is left out. The error when the processes cannot be
// listed at all.
[[nodiscard]] Result<std::vector<Process>> running_processes();

// One entry of a directory listing. `name` stays valid until the next call to next().
struct DirectoryEntry {
    const char* name = nullptr;
    unsigned char type = 0;  // DT_DIR, DT_LNK, DT_REG, ..., or DT_UNKNOWN
    // What a listing that was asked for sizes read along with the name, for an entry that is
    // neither a directory nor a link, where the platform gives it in the same call (macOS's
    // getattrlistbulk): its size as st_size has it, and whether it is dataless (is_dataless).
    // Without them, the entry must be examined to learn them.
    bool facts_known = false;
    std::uint64_t size = 0;
    bool dataless = false;
    // The flag that locks the entry (lock_flag's name for it), where the listing read the
    // entry's flags with its name, directories included (`flags_known`): nullptr when none is set.
    bool flags_known = false;
    const char* lock = nullptr;
};

// What one stat tells of the entry `name` in `dir_fd`, followed when `follow`, and the flag that
// locks it, in the same call.
struct EntryFacts {
    mode_t mode = 0;
    std::uint64_t size = 0;
    bool dataless = false;  // is_dataless
    const char* lock = nullptr;
};
[[nodiscard]] Result<EntryFacts> entry_facts(int dir_fd, const char* name, bool follow);

// What a listing reads of each entry: its name and type, or sizes as well where the platform
// can give them without a call per entry.
enum class ListingDetail { types, sizes };

// Scratch memory for listings, reused from one directory to the next so that a walk does not
// allocate per directory. One listing at a time may use it.
struct ListingBuffer {
    static constexpr std::size_t SIZE = 64 * 1024;
    alignas(8) std::byte bytes[SIZE];
};

// Reads the entries of one open directory from its start, skipping "." and "..". The
// descriptor stays owned by the caller and must outlive the listing.
class DirectoryListing {
public:
    DirectoryListing(int dir_fd, ListingBuffer& buffer,
                     ListingDetail detail = ListingDetail::types);
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;
    ~DirectoryListing();

    // True with the next entry in `entry`; false at the end, or when the listing broke off.
    [[nodiscard]] bool next(DirectoryEntry& entry);

    // Why the listing broke off; empty while it goes on and once it is complete.
    [[nodiscard]] std::error_code error() const { return error_; }

private:
    [[nodiscard]] bool fail(int error_number) {
        error_ = std::error_code(error_number, std::generic_category());
        return false;
    }

    std::error_code error_;
#if defined(__APPLE__)
    [[nodiscard]] bool next_listed(DirectoryEntry& entry);
    [[nodiscard]] bool next_read(DirectoryEntry& entry);

    int fd_;
    ListingBuffer& buffer_;
    bool sizes_;            // listing through getattrlistbulk
    bool started_ = false;  // whether getattrlistbulk has returned a batch
    std::size_t left_ = 0;  // entries of the last batch not yet returned
    std::size_t pos_ = 0;   // where the next of them starts
    DIR* dir_ = nullptr;    // the readdir listing otherwise
#else
    int fd_;
    ListingBuffer& buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
#endif
};

// The major version of the running macOS (12, 13, ...), from kern.osproductversion; 0 on any
// other system, or when it cannot be read.
[[nodiscard]] int macos_version();

// The prompt through which the platform's users let a program run as root: macOS's password
// dialog (osascript's "with administrator privileges"), polkit's pkexec on Linux.
enum class AdministratorPrompt { osascript, pkexec };
[[nodiscard]] AdministratorPrompt administrator_prompt();

// The system's own programs that make macOS let go of what it keeps for an app, by their full
// paths: launchctl (launch agents), defaults (the preferences system, which cfprefsd caches),
// lsregister (Launch Services), sudo (to run one of them as the user whose home it is), pkgutil
// (the receipts of installer packages), codesign (who signed a program) and sfltool (what the
// Background Task Management of macOS 13 and later lists under Login Items). Empty where the
// platform has no such program. macOS has them all; Linux reports each only where an executable
// file stands at its macOS path, which only end-to-end tests arrange, with stand-ins, in a mount
// namespace of their own.
struct SystemTools {
    std::string launchctl;
    std::string defaults;
    std::string lsregister;
    std::string sudo;
    std::string pkgutil;
    std::string codesign;
    std::string sfltool;
};
[[nodiscard]] SystemTools system_tools();

// How a program that run_program started ended.
struct ProgramRun {
    int status = 0;          // exit status, or 128 + the signal that ended it
    bool timed_out = false;  // killed, with its whole process group, at the time limit
    bool cut = false;        // it wrote more than the output keeps
    std::error_code error;   // when it could not be started or waited for (status is then -1)
};

// Runs `command`, whose first word is a program's full path, with no input, and waits for it for
// at most `limit`; what it writes to standard output and error goes to `output`, up to 16 MiB, and
// the run says whether more came.
// The program runs in a process group of its own, with every signal at its default and none
// blocked, and inherits no descriptor but the three standard ones. At the limit its whole group
// is killed, and whatever of it still holds the output open is waited for no longer.
[[nodiscard]] ProgramRun run_program(const std::vector<std::string>& command, std::string& output,
                                     std::chrono::milliseconds limit = std::chrono::seconds(30));

// The group whose members are administrators, who may become root anyway, so that a folder they
// may change still holds a program that root can trust: macOS's admin; none on Linux.
[[nodiscard]] std::optional<gid_t> administrators_group();

// The lowest user id of a regular user; the accounts below it belong to the system. Throws
// std::system_error when the system's setting is there but cannot be read.
[[nodiscard]] uid_t first_regular_uid();

// The highest user id of a regular user; the accounts above it belong to the system (nobody, as
// macOS's -2 or Linux's 65534). Throws std::system_error as first_regular_uid does.
[[nodiscard]] uid_t last_regular_uid();

}  // namespace brinvast::platform
