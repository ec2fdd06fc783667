#pragma once

// The engine's file-system core. Every operation that fails throws fs_error, which carries the
// failing errno so that callers can tell EACCES and EPERM from other errors.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <system_error>

namespace brinvast {

// A failed file-system call. what() is the platform's text followed by the path it concerns,
// for example "Permission denied: /Applications/Brinvast.app/Contents/x".
class fs_error : public std::system_error {
public:
    fs_error(int error_number, const std::string& path);
    fs_error(int error_number, std::string message, const std::string& path);
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] int error_number() const noexcept { return code().value(); }

private:
    std::string message_;
};

// An operating-system refusal: EACCES or EPERM.
[[nodiscard]] bool is_permission_error(const std::exception& error) noexcept;

// True when a file-system entry exists at `path`, following symbolic links. A dangling link,
// or a path that cannot be examined, is absent. Never fails.
[[nodiscard]] bool path_exists(const std::string& path) noexcept;

struct FileStatus {
    std::uint64_t size = 0;
    std::time_t modified = 0;  // whole seconds
};

// Size and modification time, following symbolic links.
[[nodiscard]] FileStatus file_status(const std::string& path);

// Renames within one file system, atomically replacing whatever file stands at `to`.
void rename_path(const std::string& from, const std::string& to);

// Like rename_path, but refuses (EISDIR) when a real directory stands at `to`, which rename()
// would replace when `from` is a directory too.
void replace_file(const std::string& from, const std::string& to);

// Deletes the directory tree at `path`, contents first. `path` itself must be a real directory:
// a symbolic link or anything else there is refused. Links inside the tree are removed as links.
// Stops at the first entry that cannot be deleted and throws its error; what was deleted stays
// deleted. Entries that vanish on their own are not errors. Throws UserInterrupt when the user
// interrupts.
void remove_tree(const std::string& path);

struct TreeTotals {
    std::uint64_t file_count = 0;
    std::uint64_t dir_count = 0;
    std::uint64_t total_bytes = 0;
};

// Counts and sizes everything beneath `path` (followed when it is a link). Subdirectories count
// at every depth; links to directories are counted but not entered; a directory that cannot be
// listed, or whose listing breaks off, contributes nothing. Sizes follow links; a size that
// cannot be read is left out. Throws UserInterrupt when the user interrupts, and fs_error only
// when a directory is moved away beneath a deep walk so that it cannot find its way back.
[[nodiscard]] TreeTotals survey_tree(const std::string& path);

}  // namespace brinvast
