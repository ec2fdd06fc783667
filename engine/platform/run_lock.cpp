// SPDX-License-Identifier: MIT
#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

namespace brinvast {

namespace {

constexpr std::chrono::milliseconds POLL_INTERVAL{50};

}  // namespace

RunLock RunLock::open_home(const std::string& home, const std::optional<HomeOwner>& owner) {
    RunLock lock;
    int error = 0;
    {
        const ActingAsHomeOwner as_owner(owner);
        lock.fd_.reset(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Before the owner's rights are given back: that calls the system again.
        if (!lock.fd_.valid()) error = errno;
    }
    // A home that is not there holds nothing to protect.
    if (!lock.fd_.valid() && error != ENOENT && error != ENOTDIR) lock.unsupported_ = error;
    return lock;
}

// A home that cannot be locked at all leaves the run without the lock, rather than without a run.
bool RunLock::attempt() {
    if (!fd_.valid() || unsupported_ != 0 || ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    const int error = errno;
    if (error == EWOULDBLOCK || error == EINTR) return false;
    unsupported_ = error;
    return true;
}

std::optional<RunLock> RunLock::try_take(const std::string& home,
                                         const std::optional<HomeOwner>& owner) {
    RunLock lock = open_home(home, owner);
    if (!lock.attempt()) return std::nullopt;
    return lock;
}

RunLock RunLock::take(const std::string& home, const std::optional<HomeOwner>& owner,
                      std::chrono::milliseconds patience, const std::function<void()>& waiting) {
    RunLock lock = open_home(home, owner);
    if (lock.attempt()) return lock;
    waiting();
    // No handler of ours is installed yet: an interrupt while waiting ends the process, which has
    // changed nothing.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!lock.attempt()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            const auto seconds = std::chrono::ceil<std::chrono::seconds>(patience).count();
            throw HomeBusy("Another uninstall kept this home busy for " + std::to_string(seconds) +
                           (seconds == 1 ? " second" : " seconds"));
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return lock;
}

}  // namespace brinvast
