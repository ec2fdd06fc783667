#include "user_account.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "platform.h"

namespace brinvast {

namespace {

// The user database's entry for `name`, or nothing when it has none.
std::optional<UserAccount> find_user(const std::string& name) {
    const long size_hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (found != nullptr) {
            return UserAccount{entry.pw_uid, entry.pw_gid,
                               entry.pw_dir != nullptr ? entry.pw_dir : ""};
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

// Why `home` cannot stand for "~", or nothing when it can. A home that is not there may be on a
// volume that is not mounted: its product folders would only look absent.
std::optional<std::string> home_fault(const std::string& home) {
    if (!usable_home(home)) return '"' + home + '"';
    struct stat info {};
    if (::stat(home.c_str(), &info) != 0) {
        const int error = errno;
        return std::strerror(error) + (": " + home);
    }
    if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR) + (": " + home);
    return std::nullopt;
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
    if (user->uid < first_regular) {
        throw UserRefused(quoted(name) + " is a system account (uid " + std::to_string(user->uid) +
                          "; regular users start at " + std::to_string(first_regular) + ")");
    }
    if (const std::optional<std::string> fault = home_fault(user->home)) {
        throw UserRefused(quoted(name) + " has no usable home directory: " + *fault);
    }
    return *user;
}

std::string user_name(uid_t uid) {
    const long size_hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size_hint > 0 ? static_cast<std::size_t>(size_hint) : 1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (found != nullptr && entry.pw_name != nullptr) return entry.pw_name;
        if (error != ERANGE) return std::to_string(uid);
        buffer.resize(buffer.size() * 2);
    }
}

Locations locations_of(const UserAccount& user) {
    return compute_locations({std::nullopt, user.home, platform::executable_path()});
}

}  // namespace brinvast
