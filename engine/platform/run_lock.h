// SPDX-License-Identifier: MIT
#pragma once

// One run per home at a time. Two runs at once would each survey what the other is about to
// move, and the second would meet a database that the first had just renamed. The lock is the
// kernel's advisory lock on the home directory itself, which no run deletes; the kernel drops it
// when its holder ends, however it ends, so a crash leaves no stale lock behind. Anybody who may
// open the home may hold the lock, so nobody is waited for without end.

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "home_owner.h"
#include "unique_fd.h"

namespace brinvast {

// Another run held the home's lock for longer than this run would wait.
class HomeBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class RunLock {
public:
    // Locks `home`, opened with `owner`'s rights. When another run holds it, calls `waiting` once
    // and waits up to `patience`, then throws HomeBusy.
    static RunLock take(const std::string& home, const std::optional<HomeOwner>& owner,
                        std::chrono::milliseconds patience, const std::function<void()>& waiting);
    // The same without waiting: nothing when another run holds the lock.
    [[nodiscard]] static std::optional<RunLock> try_take(const std::string& home,
                                                         const std::optional<HomeOwner>& owner);

    // Why the home could not be locked (a network home's file system that does not lock, say),
    // when the run goes on without the lock; 0 when it is held, or when there is no home.
    [[nodiscard]] int unsupported() const { return unsupported_; }

private:
    RunLock() = default;
    static RunLock open_home(const std::string& home, const std::optional<HomeOwner>& owner);
    // True once the lock is held, or known not to be had.
    bool attempt();

    unique_fd fd_;
    int unsupported_ = 0;
};

}  // namespace brinvast
