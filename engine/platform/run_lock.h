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
#include <string>
#include <system_error>

#include "home_owner.h"
#include "unique_fd.h"

namespace brinvast {

class RunLock {
public:
    // Locks `home`, opened with `owner`'s rights. When another run holds it, calls `waiting` once
    // and waits up to `patience`; nothing when the other run held it for longer. An interrupt
    // while waiting is heard (UserInterrupt) where a scope of ours listens for one.
    [[nodiscard]] static std::optional<RunLock> take(const std::string& home,
                                                     const std::optional<HomeOwner>& owner,
                                                     std::chrono::milliseconds patience,
                                                     const std::function<void()>& waiting);
    // The same without waiting: nothing when another run holds the lock.
    [[nodiscard]] static std::optional<RunLock> try_take(const std::string& home,
                                                         const std::optional<HomeOwner>& owner);

    // Why the home could not be locked (a network home's file system that does not lock, say),
    // when the run goes on without the lock; empty when it is held, or when there is no home.
    [[nodiscard]] std::error_code unsupported() const { return unsupported_; }

private:
    RunLock() = default;
    static RunLock open_home(const std::string& home, const std::optional<HomeOwner>& owner);
    // True once the lock is held, or known not to be had.
    bool attempt();

    unique_fd fd_;
    std::error_code unsupported_;
};

}  // namespace brinvast
