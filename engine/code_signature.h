// SPDX-License-Identifier: MIT
#pragma once

// Complete removal deletes ~/Library/Group Containers/<group> for each application group that
// Brinvast's executable is entitled to, and knows its helpers by the team that signed them. Both
// come from an executable that whoever can write the bundle controls, so a group that could name
// another folder ("..", "a/b") is refused, not cleaned, and nothing here is trusted more than the
// file: this reads what the signature claims, and checks no hash and no certificate. The reader
// takes the file in bounded pieces (load commands up to 1 MiB, a signature up to 32 MiB) and
// checks every offset it follows against the piece it came from; it follows nothing from one blob
// into another, so no loop in the file can hold it.

#include <string>
#include <string_view>
#include <vector>

#include "errors.h"

namespace brinvast {

// What an executable's embedded code signature claims, its team and its application groups, and
// whom its embedded Info.plist (a privileged helper's __TEXT,__info_plist) lets talk to it.
struct CodeSignature {
    std::string team;  // the CodeDirectory's team identifier; empty when unsigned or ad hoc
    std::vector<std::string> groups;   // com.apple.security.application-groups of the entitlements
    std::vector<std::string> clients;  // SMAuthorizedClients: code requirements, as written
    Problem problem;                   // when the file is refused
};

// The signature of an executable whose contents are `file` and which problems call `name`. A file
// that is not Mach-O at all (a script) gives an empty signature and no problem. Reads nothing
// else, so that it can be fed any bytes.
[[nodiscard]] CodeSignature code_signature_in(std::string_view file,
                                              std::string_view name = "the executable");

// The same from the regular file `name` in the open folder `dir_fd`, opened without following a
// link and read in pieces; problems call it by `name`, which must be a name, not a path.
[[nodiscard]] CodeSignature read_code_signature(int dir_fd, const char* name);

}  // namespace brinvast
