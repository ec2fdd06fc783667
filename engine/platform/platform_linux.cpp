// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "errors.h"
#include "folder_beneath.h"
#include "platform.h"
#include "syscalls.h"
#include "unique_fd.h"

namespace brinvast::platform {

std::string executable_path() {
    return read_link_past_the_table("/proc/self/exe").value;  // empty along with any error
}

Result<unique_fd> open_search_only(int at_fd, const char* path) {
    unique_fd fd(syscalls().openat(at_fd, path, O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
    if (!fd.valid()) return {{}, last_error()};
    return {std::move(fd), {}};
}

// openat2 refuses every link in one call, but names a failure only roughly: a link at the end
// fails as ENOTDIR (O_DIRECTORY is checked first), one on the way may fail as ENOENT, and a
// kernel before 5.6, or a seccomp filter, answers ENOSYS, EPERM, E2BIG or EINVAL. Any failure
// but ELOOP is asked again one component at a time, which tells them apart.
Result<unique_fd> open_folder_beneath(int dir_fd, const char* relative) {
    if (!plain_relative_path(relative))
        return {{}, std::make_error_code(std::errc::invalid_argument)};
    constexpr int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    open_how how{};
    how.flags = flags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    const long fd = ::syscall(SYS_openat2, dir_fd, relative, &how, sizeof how);
    if (fd >= 0) return {unique_fd(static_cast<int>(fd)), {}};
    if (errno == ELOOP) return {{}, last_error()};
    return open_components(dir_fd, relative, flags);
}

bool artwork_in_bundle_resources() {
    return false;
}

int unlink_directory_error() {
    return EISDIR;
}

// A bind mount has the device of its source, so only the mount ID tells it apart. Kernels
// older than 5.8 give none, and then the device is the best there is.
namespace {

Result<std::uint64_t> mount_by_statx(int dir_fd, const char* path, int flags) {
    struct statx info {};
    if (syscalls().statx(dir_fd, path, flags | AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) != 0) {
        return {0, last_error()};
    }
    return {(info.stx_mask & STATX_MNT_ID) != 0 ? info.stx_mnt_id
                                                : ::makedev(info.stx_dev_major, info.stx_dev_minor),
            {}};
}

}  // namespace

Result<std::uint64_t> mount_of(int fd) {
    return mount_by_statx(fd, "", AT_EMPTY_PATH);
}

Result<std::uint64_t> mount_at(int dir_fd, const char* path) {
    return mount_by_statx(dir_fd, path, 0);
}

std::error_code sync_to_disk(int fd) {
    if (syscalls().fsync(fd) != 0) return last_error();
    return {};
}

timespec modification_time(const struct stat& status) {
    return status.st_mtim;
}

std::error_code rename_exclusive(int from_dir, const char* from, int to_dir, const char* to) {
    if (syscalls().renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0) return {};
    const std::error_code error = last_error();
    if (error == std::errc::invalid_argument) return std::make_error_code(std::errc::not_supported);
    return error;
}

bool is_dataless(const struct stat&) {
    return false;
}

bool kept_by_file_provider(const std::string&) {
    return false;
}

// The machine id's 32 hex digits, dashed as a UUID.
std::string host_uuid() {
    const unique_fd fd(::open("/etc/machine-id", O_RDONLY | O_CLOEXEC));
    char id[32];
    if (!fd.valid() || ::read(fd.get(), id, sizeof id) != static_cast<ssize_t>(sizeof id))
        return {};
    std::string uuid;
    for (std::size_t i = 0; i < sizeof id; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(id[i]))) return {};
        if (i == 8 || i == 12 || i == 16 || i == 20) uuid.push_back('-');
        uuid.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(id[i]))));
    }
    return uuid;
}

std::error_code materialize_dataless_listings() {
    return {};
}

namespace {

// The name of the flag among statx's attributes that locks the entry, or nullptr.
const char* lock_in(const struct statx& info) {
    const std::uint64_t set = info.stx_attributes & info.stx_attributes_mask;
    return (set & STATX_ATTR_IMMUTABLE) != 0 ? "immutable"
           : (set & STATX_ATTR_APPEND) != 0  ? "append-only"
                                             : nullptr;
}

}  // namespace

// Not every file system reports these attributes; one that doesn't cannot set them either.
Result<const char*> lock_flag(int dir_fd, const char* name) {
    struct statx info {};
    if (syscalls().statx(dir_fd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, 0, &info) != 0) {
        return {nullptr, last_error()};
    }
    return {lock_in(info), {}};
}

// statx gives the attributes with the size, so a survey that looks for locks makes no more calls.
Result<EntryFacts> entry_facts(int dir_fd, const char* name, bool follow) {
    struct statx info {};
    const int flags = (follow ? 0 : AT_SYMLINK_NOFOLLOW) | AT_STATX_DONT_SYNC;
    if (syscalls().statx(dir_fd, name, flags, STATX_TYPE | STATX_MODE | STATX_SIZE, &info) != 0)
        return {{}, last_error()};
    return {{info.stx_mode, info.stx_size, false, lock_in(info)}, {}};
}

namespace {

struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, CloseDir>;

// Fills in the executable of `process` from the "exe" link at `link`. False when it can't be
// seen. Not through the table of calls: which processes run is no part of the move or the
// removal, and would make their count differ from one run to the next.
bool read_executable(const std::string& link, Process& process) {
    Result<std::string> target = read_link_past_the_table(link);
    struct stat status {};
    if (target.error || ::stat(link.c_str(), &status) != 0) return false;
    process.executable = std::move(target.value);
    process.device = status.st_dev;
    process.inode = status.st_ino;
    return true;
}

// A process whose first thread has ended while others run shows no "exe" of its own; its
// threads still show theirs.
bool read_executable_of_threads(const std::string& process_dir, Process& process) {
    const DirHandle tasks(::opendir((process_dir + "/task").c_str()));
    if (!tasks) return false;
    while (const dirent* entry = ::readdir(tasks.get())) {
        if (entry->d_name[0] == '.') continue;
        if (read_executable(process_dir + "/task/" + entry->d_name + "/exe", process)) return true;
    }
    return false;
}

}  // namespace

// The kernel shows each process as a numbered directory whose "exe" links to its executable,
// with " (deleted)" appended once that file is gone; the path still names where it was, and the
// link still leads to the file itself.
Result<std::vector<Process>> running_processes() {
    Result<std::vector<Process>> processes;
    const DirHandle proc(::opendir("/proc"));
    if (!proc) return {{}, last_error()};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(proc.get());
        if (!entry && errno != 0) return {{}, last_error()};
        if (!entry) return processes;
        const std::string_view name = entry->d_name;
        Process process;
        const auto [end, parsed] =
            std::from_chars(name.data(), name.data() + name.size(), process.pid);
        if (parsed != std::errc{} || end != name.data() + name.size()) continue;
        const std::string dir = "/proc/" + std::string(name);
        struct stat owner {};
        if (::stat(dir.c_str(), &owner) != 0) continue;  // ended meanwhile
        process.user = owner.st_uid;
        if (read_executable(dir + "/exe", process) || read_executable_of_threads(dir, process)) {
            processes.value.push_back(std::move(process));
        }
    }
}

int macos_version() {
    return 0;
}

namespace {

// What shadow's tools assume when login.defs sets no UID_MIN or UID_MAX.
constexpr uid_t DEFAULT_UID_MIN = 1000;
constexpr uid_t DEFAULT_UID_MAX = 60000;
constexpr const char* LOGIN_DEFS = "/etc/login.defs";

// The whole text of the file at `path`, or nothing when there is no such file.
std::optional<std::string> file_text(const char* path) {
    const unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        if (error == ENOENT) return std::nullopt;
        throw fs_error(error, path);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            const int error = errno;
            throw fs_error(error, path);
        }
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// The setting `wanted` (UID_MIN, UID_MAX) as shadow reads login.defs(5): "NAME VALUE" lines and
// "#" comments, the number in C notation (octal, decimal or hex); a value that is no number
// counts as none.
std::optional<uid_t> uid_setting(const std::string& text, const char* wanted) {
    std::optional<uid_t> setting;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        std::string value;
        if (!(words >> name >> value) || name != wanted) continue;
        char* end = nullptr;
        errno = 0;
        const unsigned long number = std::strtoul(value.c_str(), &end, 0);
        const bool valid =
            *end == '\0' && errno == 0 && value[0] != '-' && number == static_cast<uid_t>(number);
        setting = valid ? std::optional<uid_t>(static_cast<uid_t>(number)) : std::nullopt;
    }
    return setting;
}

uid_t login_defs_uid(const char* name, uid_t fallback) {
    const std::optional<std::string> text = file_text(LOGIN_DEFS);
    return (text ? uid_setting(*text, name) : std::nullopt).value_or(fallback);
}

}  // namespace

uid_t first_regular_uid() {
    return login_defs_uid("UID_MIN", DEFAULT_UID_MIN);
}

uid_t last_regular_uid() {
    return login_defs_uid("UID_MAX", DEFAULT_UID_MAX);
}

std::optional<gid_t> administrators_group() {
    return std::nullopt;
}

namespace {

// `path` where an executable file stands there, or nothing.
std::string if_executable(const char* path) {
    struct stat status {};
    const bool found =
        ::stat(path, &status) == 0 && S_ISREG(status.st_mode) && ::access(path, X_OK) == 0;
    return found ? path : "";
}

}  // namespace

// Linux keeps an app's data in plain files, and has no such services to tell; only stand-ins
// that an end-to-end test puts at the macOS paths are reported. A real sudo is reported too, which
// is harmless: the engine runs sudo only under launchctl, which no Linux has.
SystemTools system_tools() {
    return {if_executable("/bin/launchctl"),
            if_executable("/usr/bin/defaults"),
            if_executable("/System/Library/Frameworks/CoreServices.framework/Frameworks/"
                          "LaunchServices.framework/Support/lsregister"),
            if_executable("/usr/bin/sudo"),
            if_executable("/usr/sbin/pkgutil"),
            if_executable("/usr/bin/codesign"),
            if_executable("/usr/bin/sfltool")};
}

AdministratorPrompt administrator_prompt() {
    return AdministratorPrompt::pkexec;
}

}  // namespace brinvast::platform
