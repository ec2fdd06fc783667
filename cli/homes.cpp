// SPDX-License-Identifier: MIT
#include "homes.h"

#include <unistd.h>

#include <iostream>
#include <system_error>

namespace brinvast::cli {

namespace {

void refuse(const std::string& reason) {
    std::cerr << "brinvast-uninstall: nothing was changed: " << reason << ".\n";
}

// Root acts in another user's home with that user's rights.
Home home_for(const std::string& name, const UserAccount& user) {
    std::optional<HomeOwner> owner;
    if (::geteuid() == 0 && user.uid != 0) owner = HomeOwner{user.uid, user.gid, name};
    return {name, locations_of(user), owner};
}

// The caller's own home, from HOME; for root only when it is a user's (sudo may leave HOME so).
std::optional<std::vector<Home>> callers_home() {
    const Locations& where = program_locations();
    const std::string home = home_directory(where);
    if (::geteuid() == 0 && is_roots_home(home)) {
        std::cerr << "brinvast-uninstall: as root, name the user: --user NAME, or --all-users\n"
                  << "Try 'brinvast-uninstall --help'.\n";
        return std::nullopt;
    }
    const std::optional<HomeOwner> owner = owner_of_home(home);
    return std::vector<Home>{{user_name(owner ? owner->uid : ::geteuid()), where, std::nullopt}};
}

}  // namespace

std::optional<std::vector<Home>> homes_of(const HomeChoice& choice) {
    try {
        if (choice.all_users) {
            // The real user id: a copy made set-user-id root must not act for everybody.
            if (::getuid() != 0) {
                refuse("only root may name every user");
                return std::nullopt;
            }
            std::vector<Home> homes;
            for (const NamedAccount& user : serviceable_users())
                homes.push_back(home_for(user.name, user.account));
            return homes;
        }
        if (!choice.user) return callers_home();
        return std::vector<Home>{home_for(*choice.user, serviceable_user(*choice.user))};
    } catch (const NoHomeDirectory& error) {
        refuse(error.what());
    } catch (const UserRefused& error) {
        refuse(error.what());
    } catch (const std::system_error& error) {  // the user database or login.defs is unreadable
        refuse(error.what());
    }
    return std::nullopt;
}

}  // namespace brinvast::cli
