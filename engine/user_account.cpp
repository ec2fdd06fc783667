// SPDX-License-Identifier: MIT
#include "user_account.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "platform.h"

namespace brinvast {

namespace {

// What a run needs of an entry of the user database, copied out of the lookup's buffer.
struct UserEntry {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

// Asks the user database through `lookup` (getpwnam_r or getpwuid_r, bound to its key), with a
// buffer that grows until the entry fits. Nothing when it has no such entry; throws
// std::system_error when it cannot be read.
template <class Lookup>
std::optional<UserEntry> user_entry(Lookup lookup) {
    const long size_hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (found != nullptr) {
            return UserEntry{entry.pw_name != nullptr ? entry.pw_name : "", entry.pw_uid,
                             entry.pw_gid, entry.pw_dir != nullptr ? entry.pw_dir : ""};
        }
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        // Some systems tell "no such user" by an error number rather than by 0.
        if (error == 0 || error == ENOENT || error == ESRCH) return std::nullopt;
        throw std::system_error(error, std::generic_category(), "Cannot read the user database");
    }
}

// The user database's entry for `name`, or nothing when it has none.
std::optional<UserAccount> find_user(const std::string& name) {
    const std::optional<UserEntry> entry =
        user_entry([&name](passwd* result, char* buffer, std::size_t size, passwd** found) {
            return ::getpwnam_r(name.c_str(), result, buffer, size, found);
        });
    if (!entry) return std::nullopt;
    return UserAccount{entry->uid, entry->gid, entry->home};
}

std::string quoted(const std::string& name) {
    return "'" + name + "'";
}

}  // namespace

UserAccount serviceable_user(const std::string& name) {
    const std::optional<UserAccount> user = find_user(name);
    if (!user) throw UserRefused("there is no user " + quoted(name));
    // The real user id: a copy made set-user-id root must still not act for anybody else.
    const uid_t caller = ::getuid();
    if (caller != 0 && caller != user->uid) {
        throw UserRefused("only root may name another user than the one running it");
    }
    const uid_t first_regular = platform::first_regular_uid();
    const std::string account = quoted(name) + " is a system account (uid " +
                                std::to_string(user->uid) + "; regular users ";
    if (user->uid < first_regular) {
        throw UserRefused(account + "start at " + std::to_string(first_regular) + ")");
    }
    // nobody and its like sit above the regular range, as macOS's -2 read as uid_t does.
    const uid_t last_regular = platform::last_regular_uid();
    if (user->uid > last_regular) {
        throw UserRefused(account + "end at " + std::to_string(last_regular) + ")");
    }
    if (const std::optional<std::string> fault = home_fault(user->home)) {
        throw UserRefused(quoted(name) + " has no usable home directory: " + *fault);
    }
    return *user;
}

std::vector<NamedAccount> serviceable_users() {
    std::vector<std::string> names;
    ::setpwent();
    errno = 0;
    while (const passwd* entry = ::getpwent()) {
        if (entry->pw_name != nullptr) names.emplace_back(entry->pw_name);
    }
    const int error = errno;
    ::endpwent();
    if (error != 0 && error != ENOENT)
        throw std::system_error(error, std::generic_category(), "Cannot read the user database");
    std::vector<NamedAccount> users;
    for (const std::string& name : names) {
        try {
            const UserAccount account = serviceable_user(name);
            const bool seen = std::ranges::any_of(users, [&account](const NamedAccount& user) {
                return user.account.uid == account.uid;
            });
            if (!seen) users.push_back({name, account});
        } catch (const UserRefused&) {
            // a system account, or one without a home: nobody's Brinvast lives there
        }
    }
    std::ranges::sort(users, {}, [](const NamedAccount& user) { return user.account.uid; });
    return users;
}

bool is_roots_home(const std::string& home) {
    std::optional<UserEntry> root;
    try {
        root = user_entry([](passwd* result, char* buffer, std::size_t size, passwd** found) {
            return ::getpwuid_r(0, result, buffer, size, found);
        });
    } catch (const std::system_error&) {
        return false;
    }
    struct stat given {};
    struct stat roots {};
    return root && ::stat(home.c_str(), &given) == 0 && ::stat(root->home.c_str(), &roots) == 0 &&
           given.st_dev == roots.st_dev && given.st_ino == roots.st_ino;
}

std::string user_name(uid_t uid) {
    try {
        const std::optional<UserEntry> entry =
            user_entry([uid](passwd* result, char* buffer, std::size_t size, passwd** found) {
                return ::getpwuid_r(uid, result, buffer, size, found);
            });
        if (entry && !entry->name.empty()) return entry->name;
    } catch (const std::system_error&) {
        // a number says who it is as well
    }
    return std::to_string(uid);
}

std::optional<HomeOwner> owner_of_home(const std::string& home) {
    struct stat info {};
    if (::geteuid() != 0 || ::stat(home.c_str(), &info) != 0 || info.st_uid == 0) {
        return std::nullopt;
    }
    std::optional<UserEntry> entry;
    try {
        entry = user_entry([&info](passwd* result, char* buffer, std::size_t size, passwd** found) {
            return ::getpwuid_r(info.st_uid, result, buffer, size, found);
        });
    } catch (const std::system_error&) {
        // the home's own ids still say whose rights to take
    }
    if (entry && !entry->name.empty()) return HomeOwner{info.st_uid, entry->gid, entry->name};
    return HomeOwner{info.st_uid, info.st_gid, std::to_string(info.st_uid)};
}

bool belongs_to_group(uid_t uid, gid_t group) {
    std::optional<UserEntry> entry;
    try {
        entry = user_entry([uid](passwd* result, char* buffer, std::size_t size, passwd** found) {
            return ::getpwuid_r(uid, result, buffer, size, found);
        });
    } catch (const std::system_error&) {
        return false;
    }
    if (!entry) return false;
    if (entry->gid == group) return true;
#if defined(__APPLE__)
    using Gid = int;  // macOS's getgrouplist takes ints
#else
    using Gid = gid_t;
#endif
    std::vector<Gid> groups(64);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(entry->name.c_str(), static_cast<Gid>(entry->gid), groups.data(),
                           &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return std::ranges::find(groups, static_cast<Gid>(group)) != groups.end();
        }
        if (groups.size() >= 65536) return false;
        groups.resize(std::max(groups.size() * 2, static_cast<std::size_t>(count)));
    }
}

Locations locations_of(const UserAccount& user) {
    return compute_locations({std::nullopt, user.home, platform::executable_path()});
}

}  // namespace brinvast
