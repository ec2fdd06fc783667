// SPDX-License-Identifier: MIT
#pragma once

// The user a run is for when it is named on the command line rather than taken from HOME, as
// management tools do when they run as root on behalf of the logged-in user.

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "home_owner.h"
#include "locations.h"

namespace brinvast {

// A named user the programs will not work for. what() says why.
class UserRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A regular user as the user database knows them.
struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;  // an existing directory, never "/" or relative
};

// The account named `name`. Throws UserRefused when the user database has no such user, when it
// is a system account (below platform::first_regular_uid() or above platform::last_regular_uid()),
// when its home is missing, unusable or not a directory, or when a caller other than root names
// anybody but themselves. Throws std::system_error when the user database or the system's settings
// cannot be read.
[[nodiscard]] UserAccount serviceable_user(const std::string& name);

// A regular user whom root may serve, by name.
struct NamedAccount {
    std::string name;
    UserAccount account;
};

// Every account of the user database that serviceable_user accepts for root: every regular user
// whose home is there, once each, in the order of their user ids. Throws std::system_error when
// the user database or the system's settings cannot be read.
[[nodiscard]] std::vector<NamedAccount> serviceable_users();

// Whether `home` is root's own home, as the user database gives it (by identity, not by name).
[[nodiscard]] bool is_roots_home(const std::string& home);

// The name the user database gives `uid`, or the number when it has none.
[[nodiscard]] std::string user_name(uid_t uid);

// The account that owns `home`, when this process runs as root and the home is somebody else's
// (sudo may leave HOME as it was): root then acts there with that user's rights, as for --user,
// so that nothing it leaves in the home belongs to root. Nothing otherwise.
[[nodiscard]] std::optional<HomeOwner> owner_of_home(const std::string& home);

// Whether the user `uid` belongs to `group`, as primary group or as a member; false when the user
// database cannot tell.
[[nodiscard]] bool belongs_to_group(uid_t uid, gid_t group);

// The locations for `user`: their home from the user database (HOME plays no part) and this
// process's executable.
[[nodiscard]] Locations locations_of(const UserAccount& user);

}  // namespace brinvast
