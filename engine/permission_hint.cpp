#include "permission_hint.h"

#include <cerrno>

namespace brinvast {

std::string macos_permission_hint(const Refusal& refusal) {
    if (!refusal.locked.empty()) {
        return "   " + refusal.locked +
               " is locked: unlock it in Finder (Get Info › Locked), then try again";
    }
    const std::string allow =
        "   Allow Brinvast Uninstaller under System Settings › Privacy & Security › ";
    if (refusal.error == EPERM) {
        return allow +
               (refusal.in_bundle ? "App Management" : "Files and Folders (or Full Disk Access)") +
               ", then try again";
    }
    if (refusal.error == EACCES && refusal.in_bundle) {
        return "   Only an administrator may remove it: run brinvast-uninstall as one, with sudo "
               "and --user <your name>";
    }
    return {};
}

}  // namespace brinvast
