// SPDX-License-Identifier: MIT
#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

#include "errors.h"
#include "interrupt.h"

namespace brinvast {

namespace {

constexpr std::chrono::milliseconds POLL_INTERVAL{50};

}  // namespace

RunLock RunLock::open_home(const std::string& home, const std::optional<HomeOwner>& owner) {
    RunLock lock;
    std::error_code error;
    {
        const ActingAsHomeOwner as_owner(owner);
        lock.fd_.reset(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        // Before the owner's rights are given back: that calls the system again.
        if (!lock.fd_.valid()) error = last_error();
    }
    // A home that is not there holds nothing to protect.
    if (error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory)
        lock.unsupported_ = error;
    return lock;
}

// A home that cannot be locked at all leaves the run without the lock, rather than without a run.
bool RunLock::attempt() {
    if (!fd_.valid() || unsupported_ || ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return true;
    const std::error_code error = last_error();
    if (error == std::errc::operation_would_block || error == std::errc::interrupted) return false;
    unsupported_ = error;
    return true;
}

std::optional<RunLock> RunLock::try_take(const std::string& home,
                                         const std::optional<HomeOwner>& owner) {
    RunLock lock = open_home(home, owner);
    if (!lock.attempt()) return std::nullopt;
    return lock;
}

std::optional<RunLock> RunLock::take(const std::string& home, const std::optional<HomeOwner>& owner,
                                     std::chrono::milliseconds patience,
                                     const std::function<void()>& waiting) {
    RunLock lock = open_home(home, owner);
    if (lock.attempt()) return lock;
    waiting();
    // Without a handler of ours an interrupt while waiting ends the process, which has changed
    // nothing; a front end that listens hears it here.
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!lock.attempt()) {
        throw_if_interrupted();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return lock;
}

}  // namespace brinvast
