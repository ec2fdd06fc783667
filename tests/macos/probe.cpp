// SPDX-License-Identifier: MIT
// What the engine's macOS code takes for granted, tried on the Mac it runs on. Nothing else can
// tell us: the cross-build only compiles this code, and the engine's tests would show a wrong
// assumption as a puzzling failure far from its cause. One line per check, "ok:" or "FAILED:"
// with what the system answered; the exit status is 1 when any check failed.
//
//   O_SEARCH        opens a folder that may be searched but not read, and openat works from it:
//                   removal and the tree walk enter parents so (macOS 12 is said to ignore it);
//   renameatx_np    with RENAME_EXCL refuses a name that is taken, with EEXIST: the database's
//                   backup is never replaced;
//   F_FULLFSYNC     takes a folder's descriptor: the database's renames are made durable so;
//   flock           takes a folder, and a second descriptor of it is refused: the run lock;
//   unlink          of a folder gives EPERM, which the engine reads as "a folder";
//   uchg            makes unlink and rename give EPERM: Finder's Locked, named in the hint;
//   proc_pidinfo    proc_pidpath and PROC_PIDT_SHORTBSDINFO answer for another user's process
//                   (launchd), as the refusal to run beside Brinvast needs; PROC_PIDTBSDINFO's
//                   answer is shown, not judged;
//   statfs          names the file system and the device of this program's own executable, as
//                   the check for a translocated bundle reads them;
//   getfsstat       counts the mounts, nullfs among them, for a user who is not root: it is how
//                   the engine finds another user's translocated app;
//   securelevel     kern.securelevel is shown: at 0, root may clear schg and sappnd where System
//                   Integrity Protection does not guard the file, as the hint for them says;
//   remove_tree     removes a folder of 5,000 files whole, though the listing shifts beneath it
//                   as entries go, and says how long it took;
//   survey_tree     which lists through getattrlistbulk, counts the files, folders and bytes of
//                   a folder of 300 files and a link as find -L and stat -L -f %z do;
//   iopolicy        materialize_dataless_listings() is taken, and getiopolicy_np reads it back:
//                   without it, listing a folder that iCloud Drive evicted fails with EDEADLK;
//   system tools    `defaults delete`, `launchctl bootout`, `lsregister -u` and `pkgutil
//                   --file-info` are started as the engine starts them, for things that are not
//                   there, and their answers shown: each must start and end within the engine's
//                   time limit, and pkgutil must name no package for a bundle none installed;
//   our readers     read what Apple's own read: over every bundle at the first level of
//                   /System/Applications and /Applications and the Xcode that xcode-select names,
//                   each once, our bundle identifier against `plutil -extract CFBundleIdentifier
//                   raw`, and our code-signature reader's team and application groups against
//                   `codesign -dv` and `codesign -d --entitlements`; each disagreement fails.
//
// Root passes every permission check, so run as root the probe first becomes nobody.

#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app_identities.h"
#include "code_signature.h"
#include "fs.h"
#include "info_plist.h"
#include "platform.h"
#include "probe.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {

namespace {

int failures = 0;

}  // namespace

void say(const char* outcome, const std::string& line) {
    std::printf("%s %s\n", outcome, line.c_str());
    std::fflush(stdout);
}
void ok(const std::string& line) {
    say("ok:", line);
}
void failed(const std::string& line) {
    ++failures;
    say("FAILED:", line);
}
int failure_count() {
    return failures;
}

std::string error_text(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers

std::string sysctl_text(const char* name) {
    char value[256] = {};
    std::size_t size = sizeof value - 1;
    if (::sysctlbyname(name, value, &size, nullptr, 0) != 0) return "unknown: " + error_text(errno);
    return value;
}

void describe_system() {
    utsname machine{};
    ::uname(&machine);
    say("info:", "macOS " + sysctl_text("kern.osproductversion") + " (kern.osproductversion), " +
                     machine.machine + ", uid " + std::to_string(::getuid()));
}

// The folder's mode 0111 lets its owner search it but not read it.
void check_search_only(const TempDir& tmp) {
#if defined(O_SEARCH)
    const std::string folder = tmp / "search-only";
    make_dirs(folder + "/inner");
    if (::chmod(folder.c_str(), 0111) != 0) return failed("O_SEARCH: chmod: " + error_text(errno));
    const unique_fd readable(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int read_error = errno;
    const unique_fd search(::open(folder.c_str(), O_SEARCH | O_DIRECTORY | O_CLOEXEC));
    const int search_error = errno;
    if (readable.valid()) {
        failed("O_SEARCH: O_RDONLY opened a folder of mode 0111 too, so this check tells nothing");
    } else if (!search.valid()) {
        failed("O_SEARCH: refused a folder of mode 0111: " + error_text(search_error));
    } else {
        ok("O_SEARCH opened a folder of mode 0111, which O_RDONLY may not (" +
           error_text(read_error) + ")");
        const unique_fd inner(
            ::openat(search.get(), "inner", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (inner.valid()) {
            ok("openat from the O_SEARCH descriptor opened the folder inside it");
        } else {
            failed("openat from the O_SEARCH descriptor: " + error_text(errno));
        }
    }
    ::chmod(folder.c_str(), 0700);
#else
    (void)tmp;
    failed(
        "O_SEARCH: these headers do not define it, so the engine opens with O_RDONLY and "
        "cannot enter a folder it may only search");
#endif
}

// `status` is what a call returned, right after it: the call must have failed with `expected`.
void expect_refusal(const char* what, int status, int expected) {
    const int error = errno;
    if (status == 0) {
        failed(std::string(what) + ": succeeded");
    } else if (error != expected) {
        failed(std::string(what) + ": " + error_text(error) + ", not " + error_text(expected));
    } else {
        ok(std::string(what) + ": " + error_text(error));
    }
}

void check_rename_exclusive(const TempDir& tmp) {
    write_file(tmp / "from");
    write_file(tmp / "taken");
    const unique_fd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    expect_refusal("renameatx_np RENAME_EXCL onto a taken name",
                   ::renameatx_np(dir.get(), "from", dir.get(), "taken", RENAME_EXCL), EEXIST);
    if (::renameatx_np(dir.get(), "from", dir.get(), "free", RENAME_EXCL) != 0) {
        failed("renameatx_np RENAME_EXCL onto a free name: " + error_text(errno));
    } else if (exists_no_follow(tmp / "from") || !exists_no_follow(tmp / "free")) {
        failed("renameatx_np RENAME_EXCL onto a free name left the name it came from");
    } else {
        ok("renameatx_np RENAME_EXCL onto a free name: moved");
    }
}

void check_full_sync(const TempDir& tmp) {
    const unique_fd dir(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (::fcntl(dir.get(), F_FULLFSYNC) == 0) {
        ok("fcntl F_FULLFSYNC on a folder");
    } else {
        failed("fcntl F_FULLFSYNC on a folder: " + error_text(errno));
    }
}

void check_folder_lock(const TempDir& tmp) {
    const unique_fd first(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (::flock(first.get(), LOCK_EX | LOCK_NB) != 0) {
        return failed("flock LOCK_EX|LOCK_NB on a folder: " + error_text(errno));
    }
    ok("flock LOCK_EX|LOCK_NB on a folder");
    const unique_fd second(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    expect_refusal("flock LOCK_EX|LOCK_NB on a second descriptor of the locked folder",
                   ::flock(second.get(), LOCK_EX | LOCK_NB), EWOULDBLOCK);
}

void check_unlink_folder(const TempDir& tmp) {
    make_dirs(tmp / "folder");
    expect_refusal("unlink of a folder", ::unlink((tmp / "folder").c_str()), EPERM);
}

void check_locked_file(const TempDir& tmp) {
    const std::string file = tmp / "locked";
    const std::string elsewhere = tmp / "moved";
    write_file(file);
    if (::chflags(file.c_str(), UF_IMMUTABLE) != 0) {
        return failed("chflags UF_IMMUTABLE: " + error_text(errno));
    }
    expect_refusal("unlink of a uchg file", ::unlink(file.c_str()), EPERM);
    expect_refusal("rename of a uchg file", ::rename(file.c_str(), elsewhere.c_str()), EPERM);
    if (::chflags(file.c_str(), 0) != 0) failed("chflags 0 on a uchg file: " + error_text(errno));
}

// launchd is root's; the probe is not.
void check_other_users_process() {
    char path[PROC_PIDPATHINFO_MAXSIZE] = {};
    if (::proc_pidpath(1, path, sizeof path) > 0) {
        ok(std::string("proc_pidpath of pid 1: ") + path);
    } else {
        failed("proc_pidpath of pid 1: " + error_text(errno));
    }
    proc_bsdshortinfo brief{};
    const int brief_size = static_cast<int>(sizeof brief);
    if (::proc_pidinfo(1, PROC_PIDT_SHORTBSDINFO, 0, &brief, brief_size) != brief_size) {
        failed("proc_pidinfo PROC_PIDT_SHORTBSDINFO of pid 1: " + error_text(errno));
    } else if (brief.pbsi_uid != 0) {
        failed("proc_pidinfo PROC_PIDT_SHORTBSDINFO of pid 1: pbsi_uid " +
               std::to_string(brief.pbsi_uid) + ", not 0");
    } else {
        ok("proc_pidinfo PROC_PIDT_SHORTBSDINFO of pid 1: pbsi_uid 0");
    }
    proc_bsdinfo full{};
    const int full_size = static_cast<int>(sizeof full);
    const bool given = ::proc_pidinfo(1, PROC_PIDTBSDINFO, 0, &full, full_size) == full_size;
    say("info:", "proc_pidinfo PROC_PIDTBSDINFO of pid 1: " +
                     (given ? "pbi_uid " + std::to_string(full.pbi_uid) : error_text(errno)));
}

void check_own_file_system() {
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> path(size + 1, '\0');
    if (_NSGetExecutablePath(path.data(), &size) != 0) {
        return failed("_NSGetExecutablePath gave no path");
    }
    struct statfs fs {};
    if (::statfs(path.data(), &fs) != 0) {
        return failed(std::string("statfs of ") + path.data() + ": " + error_text(errno));
    }
    ok(std::string("statfs of ") + path.data() + ": f_fstypename " + fs.f_fstypename +
       ", f_mntfromname " + fs.f_mntfromname);
}

// MNT_NOWAIT, as the engine lists them: a hung network mount must not hang the listing.
void check_mount_list() {
    const int count = ::getfsstat(nullptr, 0, MNT_NOWAIT);
    if (count <= 0)
        return failed("getfsstat counted " + std::to_string(count) +
                      " mounts: " + error_text(errno));
    std::vector<struct statfs> mounts(static_cast<std::size_t>(count) + 16);
    const int listed = ::getfsstat(
        mounts.data(), static_cast<int>(mounts.size() * sizeof(struct statfs)), MNT_NOWAIT);
    if (listed <= 0) return failed("getfsstat listed no mounts: " + error_text(errno));
    const auto mirrors = std::count_if(mounts.begin(), mounts.begin() + listed, [](const auto& m) {
        return std::strcmp(m.f_fstypename, "nullfs") == 0;
    });
    ok("getfsstat as uid " + std::to_string(::getuid()) + ": " + std::to_string(listed) +
       " mounts, " + std::to_string(mirrors) + " of them nullfs");
}

void check_secure_level() {
    int level = 0;
    std::size_t size = sizeof level;
    if (::sysctlbyname("kern.securelevel", &level, &size, nullptr, 0) != 0)
        return failed("kern.securelevel: " + error_text(errno));
    ok("kern.securelevel: " + std::to_string(level));
}

void check_removing_many(const TempDir& tmp) {
    const std::string folder = tmp / "many";
    make_dirs(folder);
    for (int i = 0; i < 5000; ++i)
        write_file(folder + "/" + std::to_string(i));
    const auto start = std::chrono::steady_clock::now();
    try {
        (void)remove_tree(folder);
    } catch (const std::system_error& error) {
        return failed(std::string("remove_tree of 5,000 files: ") + error.what());
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const std::string line =
        "remove_tree of 5,000 files, in " + std::to_string(took.count()) + " ms";
    if (exists_no_follow(folder)) return failed(line + ", left the folder");
    ok(line + ": gone");
}

void check_dataless_policy() {
    if (const std::error_code refused = platform::materialize_dataless_listings())
        return failed("materialize_dataless_listings: " + error_text(refused.value()));
    const int policy =
        ::getiopolicy_np(IOPOL_TYPE_VFS_MATERIALIZE_DATALESS_FILES, IOPOL_SCOPE_PROCESS);
    const std::string line = "materialize_dataless_listings, then getiopolicy_np: " +
                             (policy < 0 ? error_text(errno) : std::to_string(policy));
    if (policy != IOPOL_MATERIALIZE_DATALESS_FILES_ON)
        return failed(line + ", not IOPOL_MATERIALIZE_DATALESS_FILES_ON (" +
                      std::to_string(IOPOL_MATERIALIZE_DATALESS_FILES_ON) + ")");
    ok(line + " (IOPOL_MATERIALIZE_DATALESS_FILES_ON)");
}

// Runs `command` as the engine runs the system's tools, with its time limit. How it ended and what
// it wrote, on one line; nothing, after a failure, when it could not start or had to be killed.
std::optional<std::string> answer_of(const std::vector<std::string>& command, std::string& said) {
    std::string shown;
    for (const std::string& word : command)
        shown += (shown.empty() ? "" : " ") + word;
    said.clear();
    const platform::ProgramRun run = platform::run_program(command, said);
    if (run.error || run.timed_out) {
        failed(shown + (run.timed_out ? ": killed at the time limit"
                                      : ": not started: " + error_text(run.error.value())));
        return std::nullopt;
    }
    std::string text = said;
    while (text.ends_with('\n'))
        text.pop_back();
    std::ranges::replace(text, '\n', '|');
    return shown + ": status " + std::to_string(run.status) + ", \"" + text + "\"";
}

// Nothing of these is there, as when a complete removal finds no trace left.
void check_system_tools(const TempDir& tmp) {
    const platform::SystemTools tools = platform::system_tools();
    const std::string missing = "com.example.brinvast-probe.missing-" + std::to_string(::getpid());
    const std::string domain = "gui/" + std::to_string(::getuid());
    std::string said;
    for (const auto& command :
         std::vector<std::vector<std::string>>{{tools.defaults, "delete", missing},
                                               {tools.launchctl, "bootout", domain + "/" + missing},
                                               {tools.lsregister, "-u", tmp / "Missing.app"}}) {
        if (const auto line = answer_of(command, said)) ok(*line);
    }
    write_file(tmp / "Unowned.app/Contents/Info.plist", "<plist version=\"1.0\"><dict/></plist>\n");
    const auto line = answer_of({tools.pkgutil, "--file-info", tmp / "Unowned.app"}, said);
    if (!line) return;
    if (said.find("pkgid:") != std::string::npos)
        return failed(*line + ": names a package for a bundle that none installed");
    ok(*line + ": no package");
}

bool drop_root() {
    if (::geteuid() != 0) return true;
    const Account account = nobody();
    if (::setgroups(1, &account.gid) != 0 || ::setgid(account.gid) != 0 ||
        ::setuid(account.uid) != 0) {
        failed("becoming nobody: " + error_text(errno));
        return false;
    }
    ::setenv("TMPDIR", "/tmp", 1);  // nobody may not enter the caller's own
    say("info:", "run as root, so the checks run as nobody");
    return true;
}

}  // namespace
}  // namespace brinvast

int main() {
    using namespace brinvast;
    if (!drop_root()) return 1;
    describe_system();
    {
        const testing::TempDir tmp;
        check_search_only(tmp);
        check_rename_exclusive(tmp);
        check_full_sync(tmp);
        check_folder_lock(tmp);
        check_unlink_folder(tmp);
        check_locked_file(tmp);
        check_removing_many(tmp);
        check_survey(tmp);
        check_system_tools(tmp);
    }
    check_other_users_process();
    check_own_file_system();
    check_mount_list();
    check_secure_level();
    check_dataless_policy();
    check_readers_against_apples();
    say("info:", failures == 0 ? "every check passed" : std::to_string(failures) + " failed");
    return failures == 0 ? 0 : 1;
}
