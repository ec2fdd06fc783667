// SPDX-License-Identifier: MIT
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
#include <map>
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

    // Removes everything in the directory, as a fresh one would be.
    void empty() const {
        (void)std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null").c_str());
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            std::filesystem::remove_all(entry.path());
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

// Writes `text` to `path`, creating its parent directories.
inline void write_file(const std::string& path, const std::string& text) {
    make_dirs(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}
// A file's contents of `size` bytes.
[[nodiscard]] inline std::string bytes(std::size_t size) {
    return std::string(size, 'x');
}
inline void write_file(const std::string& path, std::size_t size = 0) {
    write_file(path, bytes(size));
}

[[nodiscard]] inline bool make_link(const std::string& target, const std::string& path) {
    return ::symlink(target.c_str(), path.c_str()) == 0;
}

[[nodiscard]] inline std::string read_text(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
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

// tests/e2e/sandbox.sh stamps and reads the product's time in the same zone.
inline const std::string known_time_text = "2024-03-09 09:05:00";
inline bool stamp_known_time(const std::string& path) {
    const timespec times[2] = {{1709967900, 0}, {1709967900, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Files by their path under a folder, and what each holds.
using Files = std::map<std::string, std::string>;

// The product as a test installs it: only what is given is put in place, every file and filled
// product folder stamped with the known time. Each member has an initializer, so that a
// designated initializer may leave it out.
struct Product {
    Files app{};  // the bundle's files; none, no bundle
    std::optional<std::string> database{};
    std::optional<std::string> backup{};
    Files database_folder{};  // beside the database, by name: its sidecars, say
    Files support{};          // in each product folder
    Files documents{};
    Files logs{};
};

// A bundle with the identifier under which macOS keeps Brinvast's data.
inline const std::string brinvast_identifier = "com.brinvast.Brinvast";
inline const Files a_bundle{{"Contents/Info.plist",
                             "<plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                             "</key><string>" +
                                 brinvast_identifier + "</string></dict></plist>\n"}};

// The product as tests/e2e/sandbox.sh installs it, whose runs the golden transcripts show.
inline const Product typical_product{.app = a_bundle,
                                     .database = bytes(1572864),
                                     .support = {{"settings.json", "{}\n"}},
                                     .documents = {{"Reports/2024-03.txt", "report\n"}},
                                     .logs = {{"brinvast.log", "log\n"}}};

inline void install_product(const Locations& where, const Product& product) {
    const auto put = [](const std::string& path, const std::string& text) {
        write_file(path, text);
        if (!stamp_known_time(path)) std::abort();
    };
    const auto put_all = [&put](const std::string& folder, const Files& files) {
        for (const auto& [name, text] : files)
            put(folder + "/" + name, text);
    };
    put_all(where.BRINVAST_APP_PATH, product.app);
    if (product.database) put(where.BRINVAST_DATABASE_PATH, *product.database);
    if (product.backup) put(where.BRINVAST_BACKUP_DATABASE_PATH, *product.backup);
    put_all(std::filesystem::path(where.BRINVAST_DATABASE_PATH).parent_path(),
            product.database_folder);
    put_all(where.BRINVAST_APP_SUPPORT, product.support);
    put_all(where.BRINVAST_DOCUMENTS, product.documents);
    put_all(where.BRINVAST_LOGS_FALLBACK, product.logs);
    for (const std::string& folder :
         {where.BRINVAST_APP_SUPPORT, where.BRINVAST_DOCUMENTS, where.BRINVAST_LOGS_FALLBACK}) {
        if (exists_no_follow(folder) && !stamp_known_time(folder)) std::abort();
    }
}

// `text` with every `from` written as `to`.
[[nodiscard]] inline std::string replaced(std::string text, const std::string& from,
                                          const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
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

// Runs `body` in a child process; its exit status, or 128 + the signal that ended it.
[[nodiscard]] inline int in_child(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(body());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    return in_child([&] {
        // As root, setgid and setuid set the real, effective and saved ids alike.
        if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
            ::setuid(account.uid) != 0) {
            return 125;
        }
        return body();
    });
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
