// SPDX-License-Identifier: MIT
#include "home_owner.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "errors.h"

namespace brinvast {

ActingAsHomeOwner::ActingAsHomeOwner(const std::optional<HomeOwner>& owner)
    : uid_(::geteuid()), gid_(::getegid()) {
    if (!owner || uid_ == owner->uid) return;
    const int count = ::getgroups(0, nullptr);
    groups_.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count < 0 || ::getgroups(count, groups_.data()) < 0) {
        const int error = errno;
        throw fs_error(error, "reading this process's groups");
    }
    // Groups first: once the user is switched, only root's rights could change them back.
    switched_ = true;
    if (::initgroups(owner->name.c_str(), owner->gid) != 0 || ::setegid(owner->gid) != 0 ||
        ::seteuid(owner->uid) != 0) {
        const int error = errno;
        restore();
        throw fs_error(error, "acting as the home's owner, uid " + std::to_string(owner->uid));
    }
}

ActingAsHomeOwner::~ActingAsHomeOwner() {
    restore();
}

// Getting root's rights back can only fail if they were lost; then every later step simply
// has fewer rights, which is the safe way to fail.
void ActingAsHomeOwner::restore() noexcept {
    if (!switched_) return;
    (void)::seteuid(uid_);
    (void)::setegid(gid_);
    (void)::setgroups(static_cast<int>(groups_.size()), groups_.data());
    switched_ = false;
}

}  // namespace brinvast
