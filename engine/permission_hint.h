#pragma once

// What helps a Mac user past a refusal. macOS refuses with EPERM where sudo helps nothing: App
// Management guards other apps' bundles, privacy protection guards folders such as ~/Documents,
// and a locked file (Finder's Locked, the uchg flag) refuses even its owner. A bundle that a .pkg
// installed as root refuses a user with EACCES. The rules are compiled on every platform, so that
// they are tested off a Mac too; platform::permission_hint applies them where they hold.

#include <string>

namespace brinvast {

// A refused removal of the bundle or of a folder in the home.
struct Refusal {
    std::string path;  // the entry that was refused
    int error = 0;     // EACCES or EPERM
    bool in_bundle = false;
    std::string locked;  // the locked entry in the way, if there is one
};

// One report line that says what helps on macOS; empty when nothing more can be said.
[[nodiscard]] std::string macos_permission_hint(const Refusal& refusal);

}  // namespace brinvast
