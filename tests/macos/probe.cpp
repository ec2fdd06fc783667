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
//   our readers     read what Apple's own read: over every bundle at the first level of
//                   /System/Applications and /Applications, our bundle identifier against
//                   `plutil -extract CFBundleIdentifier raw`, and our code-signature reader's team
//                   and application groups against `codesign -dv` and `codesign -d --entitlements`.
//
// Root passes every permission check, so run as root the probe first becomes nobody.

#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app_identities.h"
#include "code_signature.h"
#include "info_plist.h"
#include "test_tree.h"
#include "unique_fd.h"

namespace brinvast {
namespace {

using namespace testing;  // brinvast::testing: the shared tree helpers

int failures = 0;

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

std::string error_text(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

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

// The temporary folder is made in /tmp, since nobody may not enter the caller's own.
// What `command` wrote to standard output, its standard error dropped.
std::string output_of(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return text;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, got);
    ::pclose(pipe);
    return text;
}

std::string quoted(const std::string& path) {
    std::string text = "'";
    for (const char c : path)
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// Our team and groups for the bundle at `path`, and Apple's, as one comparable line each.
void compare_signature(const std::string& path, int bundle) {
    const unique_fd contents(::openat(bundle, "Contents", O_RDONLY | O_DIRECTORY));
    const PlistStrings info =
        read_plist_strings(contents.get(), "Info.plist", {"CFBundleExecutable"});
    const auto executable = info.values.find("CFBundleExecutable");
    const unique_fd programs(::openat(contents.get(), "MacOS", O_RDONLY | O_DIRECTORY));
    if (executable == info.values.end() || !programs.valid()) return;
    const CodeSignature ours = read_code_signature(programs.get(), executable->second.c_str());
    const std::string details = output_of("codesign -dv " + quoted(path) + " 2>&1");
    const std::size_t at = details.find("TeamIdentifier=");
    std::string team = at == std::string::npos ? "" : details.substr(at + 15);
    team = team.substr(0, team.find('\n'));
    if (team == "not set") team.clear();
    const PlistLists entitled =
        plist_lists_in(output_of("codesign -d --entitlements - --xml " + quoted(path)),
                       {"com.apple.security.application-groups"}, "entitlements");
    const auto groups = entitled.values.find("com.apple.security.application-groups");
    std::vector<std::string> theirs =
        groups == entitled.values.end() ? std::vector<std::string>{} : groups->second;
    std::vector<std::string> mine = ours.groups;
    std::ranges::sort(theirs);
    std::ranges::sort(mine);
    if (ours.problem.empty() && ours.team == team && mine == theirs) return;
    failed("the signature of " + path + ": ours says team \"" + ours.team + "\", " +
           std::to_string(mine.size()) + " groups" +
           (ours.problem.empty() ? "" : " (" + ours.problem + ")") + "; codesign says \"" + team +
           "\", " + std::to_string(theirs.size()));
}

void check_readers_against_apples() {
    const int failed_before = failures;
    int bundles = 0;
    for (const char* folder : {"/System/Applications", "/Applications"}) {
        const unique_fd dir(::open(folder, O_RDONLY | O_DIRECTORY));
        std::vector<std::string> names;
        if (!dir.valid() || names_in(dir.get(), names) != 0) continue;
        for (const std::string& name : names) {
            const std::string path = std::string(folder) + "/" + name;
            const unique_fd bundle(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
            if (!name.ends_with(".app") || !bundle.valid()) continue;
            ++bundles;
            const BundleIdentifier ours = bundle_identifier_at(bundle.get());
            std::string theirs = output_of("plutil -extract CFBundleIdentifier raw " +
                                           quoted(path + "/Contents/Info.plist"));
            theirs = theirs.substr(0, theirs.find('\n'));
            if (ours.identifier.value_or("") != theirs)
                failed("the identifier of " + path + ": ours \"" +
                       ours.identifier.value_or(ours.problem) + "\", plutil's \"" + theirs + "\"");
            compare_signature(path, bundle.get());
        }
    }
    if (failures == failed_before)
        ok("our readers agree with plutil and codesign on " + std::to_string(bundles) + " bundles");
}

bool drop_root() {
    if (::geteuid() != 0) return true;
    const Account account = nobody();
    if (::setgroups(1, &account.gid) != 0 || ::setgid(account.gid) != 0 ||
        ::setuid(account.uid) != 0) {
        failed("becoming nobody: " + error_text(errno));
        return false;
    }
    ::setenv("TMPDIR", "/tmp", 1);
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
    }
    check_other_users_process();
    check_own_file_system();
    check_readers_against_apples();
    say("info:", failures == 0 ? "every check passed" : std::to_string(failures) + " failed");
    return failures == 0 ? 0 : 1;
}
