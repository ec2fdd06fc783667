// What the report adds to a refusal: on macOS, what helps past privacy protection, App
// Management, a locked file or a bundle an administrator owns; on Linux nothing, since the
// report's own lines say all. macOS's rules are fed macOS's errnos here.

#include <gtest/gtest.h>

#include <cerrno>

#include "permission_hint.h"
#include "platform.h"

namespace {

using brinvast::Refusal;

TEST(PermissionHint, MacosSaysWhatHelpsWhereSudoDoesNot) {
    const std::string app = "/Applications/Brinvast.app";
    const std::string allow =
        "   Allow Brinvast Uninstaller under System Settings › Privacy & Security › ";
    const struct {
        Refusal refusal;
        std::string hint;
    } cases[] = {
        {{app + "/Contents/Info.plist", EPERM, true, {}}, allow + "App Management, then try again"},
        {{"/Users/a/Documents/Brinvast", EPERM, false, {}},
         allow + "Files and Folders (or Full Disk Access), then try again"},
        {{app + "/Contents/x", EPERM, true, app + "/Contents"},
         "   " + app +
             "/Contents is locked: unlock it in Finder (Get Info › Locked), then try again"},
        {{app, EACCES, true, {}},
         "   Only an administrator may remove it: run brinvast-uninstall as one, with sudo and "
         "--user <your name>"},
        {{"/Users/a/Library/Logs/Brinvast/x.log", EACCES, false, {}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal.path + " " + std::to_string(c.refusal.error));
        EXPECT_EQ(brinvast::macos_permission_hint(c.refusal), c.hint);
#if !defined(__APPLE__)
        EXPECT_EQ(brinvast::platform::permission_hint(c.refusal.path, c.refusal.error,
                                                      c.refusal.in_bundle),
                  "");
#endif
    }
}

}  // namespace
