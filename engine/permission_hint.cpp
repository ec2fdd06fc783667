// SPDX-License-Identifier: MIT
#include "permission_hint.h"

#include <fcntl.h>

#include <cerrno>

#include "fs.h"
#include "platform.h"

namespace brinvast {

namespace {

// The user's flags may be cleared by the entry's owner; the system's only by root, which macOS
// lets do so in normal use (its kern.securelevel stays 0), except where System Integrity
// Protection guards the entry.
std::string lock_hint(const Refusal& refusal) {
    const std::string& flag = refusal.flag;
    const std::string head = "   " + refusal.locked;
    const char* const again = ", then try again";
    if (flag == "uchg") {
        return head + " is locked (uchg): clear Locked in Finder (File › Get Info) or run " +
               "chflags nouchg on it" + again;
    }
    if (flag == "uappnd") {
        return head + " is append-only (uappnd): run chflags nouappnd on it" + again;
    }
    if (flag == "schg" || flag == "sappnd") {
        return head + " carries the system flag " + flag + ": an administrator can clear it " +
               "(sudo chflags no" + flag + " on it) unless System Integrity Protection guards it" +
               again;
    }
    if (flag == "immutable") {
        return head + " is immutable: root can clear that with chattr -i" + again;
    }
    if (flag == "append-only") {
        return head + " is append-only: root can clear that with chattr -a" + again;
    }
    return head + " is locked (" + flag + ")" + again;
}

// Privacy protection asks about the app that is responsible for the run: the window, or for the
// command line whatever started it.
std::string allow(const Refusal& refusal, const char* setting) {
    const char* const who = refusal.from_window
                                ? "Brinvast Uninstaller"
                                : "the app that started brinvast-uninstall (Terminal, or your "
                                  "management tool's agent)";
    const char* const settings = refusal.macos >= 13 ? "System Settings › Privacy & Security › "
                                                     : "System Preferences › Security & Privacy › "
                                                       "Privacy › ";
    return std::string("   Allow ") + who + " under " + settings + setting + ", then try again";
}

}  // namespace

std::string permission_hint(const Refusal& refusal) {
    if (!refusal.locked.empty()) return lock_hint(refusal);
    if (refusal.macos == 0) return {};  // sudo lifts all else there: the report's lines say it
    if (refusal.error == EPERM && !refusal.in_bundle) {
        return allow(refusal, "Files and Folders (or Full Disk Access)");
    }
    if (refusal.error == EPERM && refusal.macos >= 13) return allow(refusal, "App Management");
    if (refusal.error == EPERM) {
        return "   macOS " + std::to_string(refusal.macos) +
               " has no App Management to allow, and no lock is in the way: ls -lO shows any "
               "other flag on it, such as System Integrity Protection's restricted";
    }
    if (refusal.error == EACCES && refusal.in_bundle) {
        return "   Only an administrator may remove it: run brinvast-uninstall as one, with sudo "
               "and --user <your name>";
    }
    return {};
}

Refusal refusal_of(const std::string& path, int error, bool in_bundle, bool from_window) {
    Refusal refusal{path, error, in_bundle, {}, {}, platform::macos_version(), from_window};
    std::string base;
    const std::string parent = parent_of(path, base);
    // A locked folder keeps its entries, which EPERM then refuses.
    for (const std::string& entry : {path, error == EPERM ? parent : path}) {
        if (const char* flag = platform::locking_flag(AT_FDCWD, entry.c_str())) {
            refusal.locked = entry;
            refusal.flag = flag;
            break;
        }
    }
    return refusal;
}

}  // namespace brinvast
