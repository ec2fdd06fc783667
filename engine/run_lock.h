#pragma once

// One run per home at a time. Two runs at once would each survey what the other is about to
// move, and the second would meet a database that the first had just renamed. The lock is the
// kernel's advisory lock on the home directory itself, which no run deletes; the kernel drops it
// when its holder ends, however it ends, so a crash leaves no stale lock behind.

#include <functional>
#include <string>

#include "unique_fd.h"

namespace brinvast {

class RunLock {
public:
    // Locks `home`. When another run holds it, calls `waiting` once, then waits for it. A home
    // that is not there holds nothing to protect and is not locked. Throws fs_error when the home
    // cannot be opened or locked.
    RunLock(const std::string& home, const std::function<void()>& waiting);

private:
    unique_fd fd_;
};

}  // namespace brinvast
