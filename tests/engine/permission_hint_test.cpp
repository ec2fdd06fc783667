// SPDX-License-Identifier: MIT
// What the report adds to a refusal: what helps past a lock on either platform, and on macOS past
// privacy protection, App Management or a bundle an administrator owns, in the words of the macOS
// that runs; on Linux nothing else, since the report's own lines say all. macOS's rules are fed
// macOS's errnos here.

#include <gtest/gtest.h>

#include <cerrno>

#include "permission_hint.h"
#include "test_tree.h"

namespace {

using brinvast::Refusal;

TEST(PermissionHint, SaysWhatHelpsWhereSudoDoesNot) {
    const std::string app = "/Applications/Brinvast.app";
    const std::string docs = "/Users/a/Documents/Brinvast";
    const std::string settings = "System Settings › Privacy & Security › ";
    const std::string preferences = "System Preferences › Security & Privacy › Privacy › ";
    const std::string terminal =
        "   Allow the app that started brinvast-uninstall (Terminal, or your management tool's "
        "agent) under ";
    const std::string window = "   Allow Brinvast Uninstaller under ";
    const std::string locked = "   " + app + "/Contents";
    const struct {
        Refusal refusal;
        std::string hint;
    } cases[] = {
        {{.path = app, .error = EPERM, .in_bundle = true, .macos = 13},
         terminal + settings + "App Management, then try again"},
        {{.path = app, .error = EPERM, .in_bundle = true, .macos = 15, .from_window = true},
         window + settings + "App Management, then try again"},
        {{.path = app, .error = EPERM, .in_bundle = true, .macos = 12, .from_window = true},
         "   macOS 12 has no App Management to allow, and no lock is in the way: ls -lO shows any "
         "other flag on it, such as System Integrity Protection's restricted"},
        {{.path = docs, .error = EPERM, .macos = 12, .from_window = true},
         window + preferences + "Files and Folders (or Full Disk Access), then try again"},
        {{.path = docs, .error = EPERM, .macos = 14},
         terminal + settings + "Files and Folders (or Full Disk Access), then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "uchg", .macos = 12},
         locked + " is locked (uchg): clear Locked in Finder (File › Get Info) or run chflags "
                  "nouchg on it, then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "uappnd", .macos = 13},
         locked + " is append-only (uappnd): run chflags nouappnd on it, then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "schg", .macos = 13},
         locked + " carries the system flag schg: an administrator can clear it (sudo chflags "
                  "noschg on it) unless System Integrity Protection guards it, then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "sappnd", .macos = 13},
         locked + " carries the system flag sappnd: an administrator can clear it (sudo chflags "
                  "nosappnd on it) unless System Integrity Protection guards it, then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "immutable"},
         locked + " is immutable: root can clear that with chattr -i, then try again"},
        {{.path = app, .error = EPERM, .locked = app + "/Contents", .flag = "append-only"},
         locked + " is append-only: root can clear that with chattr -a, then try again"},
        {{.path = app, .error = EACCES, .in_bundle = true, .macos = 13},
         "   Only an administrator may remove it: run brinvast-uninstall as one, with sudo and "
         "--user <your name>"},
        {{.path = docs + "/x.log", .error = EACCES, .macos = 13}, ""},
        {{.path = app, .error = EPERM, .in_bundle = true}, ""},
        {{.path = app, .error = EACCES, .in_bundle = true}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hint);
        EXPECT_EQ(brinvast::permission_hint(c.refusal), c.hint);
    }
}

// The lock on the refused entry, or for EPERM on the folder that holds it, as the seam tells it.
TEST(PermissionHint, RefusalNamesTheLockInTheWay) {
    const brinvast::testing::TempDir tmp;
    brinvast::testing::write_file(tmp / "entry/file");
    brinvast::testing::write_file(tmp / "folder/file");
#if defined(__APPLE__)
    const std::string flag = "uchg";
#else
    const std::string flag = "immutable";
#endif
    const brinvast::testing::Immutable entry(tmp / "entry/file");
    const brinvast::testing::Immutable folder(tmp / "folder");
    ASSERT_TRUE(entry.applied() && folder.applied());
    const struct {
        std::string path;
        int error;
        std::string locked;
    } cases[] = {
        {tmp / "entry/file", EACCES, tmp / "entry/file"},
        {tmp / "folder/file", EPERM, tmp / "folder"},
        {tmp / "folder/file", EACCES, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Refusal refusal = brinvast::refusal_of(c.path, c.error, false, true);
        EXPECT_EQ(refusal.locked, c.locked);
        EXPECT_EQ(refusal.flag, c.locked.empty() ? "" : flag);
    }
}

}  // namespace
