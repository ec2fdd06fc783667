// SPDX-License-Identifier: MIT
#pragma once

// What helps past a refusal that sudo does not lift. macOS refuses with EPERM where sudo helps
// nothing: App Management (from macOS 13) guards other apps' bundles, privacy protection guards
// folders such as ~/Documents, and a flag locks an entry against everybody, root included
// (Finder's Locked is uchg), as Linux's immutable and append-only attributes do. A bundle that a
// .pkg installed as root refuses a user with EACCES. The rules are compiled on every platform, so
// that they are tested everywhere; the platform seam gives the facts they apply to.

#include <string>

namespace brinvast {

// A refused removal of the bundle or of a folder in the home, and what the machine says of it.
struct Refusal {
    std::string path;  // the entry that was refused
    int error = 0;     // EACCES or EPERM
    bool in_bundle = false;
    std::string locked{};      // the locked entry in the way, if there is one
    std::string flag{};        // the flag that locks it (platform::lock_flag)
    int macos = 0;             // the running macOS's major version; 0 on any other system
    bool from_window = false;  // the window runs the engine, not the command line
};

// One report line that says what helps; empty when the report's own lines say all there is.
[[nodiscard]] std::string permission_hint(const Refusal& refusal);

// The refusal of the entry at `path` as this machine shows it: the lock on that entry or, for
// EPERM, on the folder that holds it, and the running macOS.
[[nodiscard]] Refusal refusal_of(const std::string& path, int error, bool in_bundle,
                                 bool from_window);

}  // namespace brinvast
