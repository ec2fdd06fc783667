// SPDX-License-Identifier: MIT
#pragma once

// The names that identify an app, and how they are kept, both when they are read from a bundle
// and when they are read back from the record.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brinvast {

// Everything that names one app.
struct AppIdentities {
    std::string identifier;             // the app's bundle identifier
    std::vector<std::string> nested;    // its helpers' and extensions', sorted, the app's excluded
    std::string team;                   // the team of its code signature, when signed
    std::vector<std::string> groups;    // the application groups its signature claims
    std::vector<std::string> agents;    // labels of the launch agents and login items in its bundle
    std::vector<std::string> daemons;   // labels of its daemons and privileged helpers
    std::vector<std::string> receipts;  // installer packages whose receipts own the bundle

    bool operator==(const AppIdentities&) const = default;
};

// The most names one list of an app's holds: nested bundles, labels or groups.
inline constexpr std::size_t MAX_NAMES = 512;

// The characters a name starts with and a team is made of: ASCII only, whatever the locale.
[[nodiscard]] bool is_letter_or_digit(char c);

// Adds `name` to the sorted `names`, once, while fewer than MAX_NAMES stand there.
void add_sorted(std::vector<std::string>& names, const std::string& name);

// One list of an app's names, the key that starts its lines in the record, and whether its names
// may hold "_" as application groups' do.
struct IdentityList {
    std::string_view record_key;
    std::vector<std::string> AppIdentities::*names;
    bool group;
};

// Every list, once: merging, writing the record and reading it back all go through this table,
// so that no list is written that a later run cannot read back.
inline constexpr std::array<IdentityList, 5> IDENTITY_LISTS{{
    {"nested", &AppIdentities::nested, false},
    {"group", &AppIdentities::groups, true},
    {"agent", &AppIdentities::agents, false},
    {"daemon", &AppIdentities::daemons, false},
    {"receipt", &AppIdentities::receipts, true},
}};

}  // namespace brinvast
