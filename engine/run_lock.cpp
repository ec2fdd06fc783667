#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "errors.h"

namespace brinvast {

RunLock::RunLock(const std::string& home, const std::function<void()>& waiting)
    : fd_(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!fd_.valid()) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return;
        throw fs_error(error, "Cannot lock the home for this run", home);
    }
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return;
    if (errno == EWOULDBLOCK) {
        waiting();
        // No handler of ours is installed yet: an interrupt while waiting ends the process,
        // which has changed nothing.
        int status = ::flock(fd_.get(), LOCK_EX);
        while (status != 0 && errno == EINTR)
            status = ::flock(fd_.get(), LOCK_EX);
        if (status == 0) return;
    }
    const int error = errno;
    throw fs_error(error, "Cannot lock the home for this run", home);
}

}  // namespace brinvast
