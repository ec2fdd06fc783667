// SPDX-License-Identifier: MIT
#pragma once

// Root working on another user's home acts there as that user. Otherwise a link the user
// planted in their home (~/Documents pointing at somebody else's) would lead root's deletions
// into folders the user could never touch themselves.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace brinvast {

// The account whose home a run serves, when that is not the caller's own.
struct HomeOwner {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;  // for the user's whole group list, which the user database keeps
};

// While it lives, file access goes by the owner's user id and all of the owner's groups. Does
// nothing without an owner, or when the process already acts as the owner. Throws fs_error when the
// switch fails.
class ActingAsHomeOwner {
public:
    explicit ActingAsHomeOwner(const std::optional<HomeOwner>& owner);
    ActingAsHomeOwner(const ActingAsHomeOwner&) = delete;
    ActingAsHomeOwner& operator=(const ActingAsHomeOwner&) = delete;
    ~ActingAsHomeOwner();

private:
    void restore() noexcept;

    bool switched_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::vector<gid_t> groups_;
};

}  // namespace brinvast
