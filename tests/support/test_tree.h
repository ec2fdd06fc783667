#pragma once

// Small real trees in temporary directories, for tests that point the engine at them. Builds on
// every platform; the Linux-only tools are in linux_tools.h.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fs.h"
#include "locations.h"

namespace brinvast::testing {

// A fresh directory, removed with everything in it when the test ends. Its path is real: on
// macOS $TMPDIR lies under /var, a link to /private/var, and the paths that the engine and the
// system report are real ones.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/brinvast-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = std::filesystem::canonical(pattern);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        // Permissions a test took away must not keep its leftovers alive.
        std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
        (void)std::system(command.c_str());
    }

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(const std::string& relative) const {
        return path_ + "/" + relative;
    }

private:
    std::string path_;
};

inline void make_dirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

// Writes `size` bytes to `path`, creating its parent directories.
inline void write_file(const std::string& path, std::size_t size = 0) {
    make_dirs(std::filesystem::path(path).parent_path());
    std::ofstream file(path, std::ios::binary);
    file << std::string(size, 'x');
}

[[nodiscard]] inline bool exists_no_follow(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// The program's locations with the application folder and the home directory inside `root`.
[[nodiscard]] inline Locations locations_under(const std::string& root) {
    LocationSources sources;
    sources.home_variable = root + "/home";
    sources.executable = root + "/bin/brinvast-uninstaller";
    Locations where = compute_locations(sources);
    where.BRINVAST_APP_PATH = root + "/Applications/Brinvast.app";
    return where;
}

// Every entry beneath `dir`, relative, with its size ("dir" for a directory), so that any change
// shows.
[[nodiscard]] inline std::set<std::string> inventory(const std::string& dir) {
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        entries.insert(entry.path().lexically_relative(dir).string() + ":" +
                       (entry.is_directory() ? "dir" : std::to_string(entry.file_size())));
    }
    return entries;
}

// Puts the clock two hours east of UTC while it lives, so that a time stamp from
// stamp_known_time reads as known_time_text: a formatter that ignored the time zone would show
// otherwise. The previous zone comes back at the end.
class KnownTimeZone {
public:
    KnownTimeZone() {
        if (const char* zone = std::getenv("TZ")) saved_ = zone;
        ::setenv("TZ", "XST-2", 1);
        ::tzset();
    }
    KnownTimeZone(const KnownTimeZone&) = delete;
    KnownTimeZone& operator=(const KnownTimeZone&) = delete;
    ~KnownTimeZone() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

inline const std::string known_time_text = "2024-03-09 09:05:00";
inline bool stamp_known_time(const std::string& path) {
    const timespec times[2] = {{1709967900, 0}, {1709967900, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Makes `path` immutable while it lives, so that even root is refused with EPERM: chattr's flag
// on Linux, the Finder's lock (uchg) on macOS. The flag comes off again whatever the test's
// outcome.
class Immutable {
public:
    explicit Immutable(std::string path) : path_(std::move(path)) {
        applied_ = std::system((set_flag + (" '" + path_ + "'")).c_str()) == 0;
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    ~Immutable() { (void)std::system((clear_flag + (" '" + path_ + "'")).c_str()); }
    [[nodiscard]] bool applied() const { return applied_; }

#if defined(__APPLE__)
    static constexpr const char* flag = "uchg";  // as the engine names it
#else
    static constexpr const char* flag = "immutable";
#endif

private:
#if defined(__APPLE__)
    static constexpr const char* set_flag = "chflags uchg";
    static constexpr const char* clear_flag = "chflags nouchg";
#else
    static constexpr const char* set_flag = "chattr +i";
    static constexpr const char* clear_flag = "chattr -i";
#endif
    std::string path_;
    bool applied_ = false;
};

[[nodiscard]] inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The unprivileged user nobody as the user database has it: 65534 on Linux, -2 on macOS.
struct Account {
    uid_t uid;
    gid_t gid;
};
[[nodiscard]] inline Account nobody() {
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr) std::abort();
    return {entry->pw_uid, entry->pw_gid};
}

// Runs `body` in a child process as the unprivileged user nobody, so that permission checks
// bite even when the tests run as root. Returns the child's exit status.
[[nodiscard]] inline int run_as_nobody(const std::function<int()>& body) {
    const Account account = nobody();
    const pid_t child = ::fork();
    if (child == 0) {
        // As root, setgid and setuid set the real, effective and saved ids alike.
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
            ::setuid(account.uid) != 0) {
            ::_exit(125);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Hands a tree to nobody, so that the only refusals it meets are the ones a test arranges.
inline void give_to_nobody(const std::string& path) {
    const Account account = nobody();
    const auto hand_over = [&](const std::filesystem::path& entry) {
        if (::lchown(entry.c_str(), account.uid, account.gid) != 0) std::abort();
    };
    hand_over(path);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        hand_over(entry.path());
}

// A survey's totals, comparable at a glance: files, directories, bytes.
using Counts = std::array<std::uint64_t, 3>;
[[nodiscard]] inline Counts counts(const TreeTotals& totals) {
    return {totals.file_count, totals.dir_count, totals.total_bytes};
}

}  // namespace brinvast::testing
