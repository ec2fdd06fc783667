// SPDX-License-Identifier: MIT
#pragma once

// Whose homes a command serves: the caller's, a named user's, or, for root, every user's. Root
// names whose Brinvast it removes: its own home holds none of a user's data, and a management
// tool that forgot --user would otherwise remove the shared bundle and leave every user's data.

#include <optional>
#include <string>
#include <vector>

#include "locations.h"
#include "user_account.h"

namespace brinvast::cli {

// One home a run serves: whose, where its product lies, and the account that root acts as there.
struct Home {
    std::string user;
    Locations where;
    std::optional<HomeOwner> owner;
};

// What names the homes: --user NAME, --all-users, or neither.
struct HomeChoice {
    std::optional<std::string> user;
    bool all_users = false;
};

// The homes to serve, or nothing, once standard error has been told why (a usage error: nothing
// was looked at).
[[nodiscard]] std::optional<std::vector<Home>> homes_of(const HomeChoice& choice);

}  // namespace brinvast::cli
