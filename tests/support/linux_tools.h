// SPDX-License-Identifier: MIT
#pragma once

// Test tools that only Linux has: fanotify pauses and private mount namespaces. Portable tests
// never include this header.

#include <fcntl.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace brinvast::testing {

// Does `act` the first time anyone opens `path`, before that open returns (a fanotify permission
// event), so that something happens to the tree at a known point of a walk.
class OnFirstOpen {
public:
    OnFirstOpen(std::string path, std::function<void()> act)
        : path_(std::move(path)), act_(std::move(act)) {
        fan_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
        if (::fanotify_mark(fan_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR, AT_FDCWD,
                            path_.c_str()) != 0) {
            std::abort();  // fanotify permission events are needed
        }
        watcher_ = std::thread([this] { act_on_first_open(); });
    }
    OnFirstOpen(const OnFirstOpen&) = delete;
    OnFirstOpen& operator=(const OnFirstOpen&) = delete;
    ~OnFirstOpen() {
        ::close(::open(path_.c_str(), O_RDONLY));  // wakes the watcher if nothing opened it yet
        watcher_.join();
        ::close(fan_);  // lets any later open through
    }

private:
    void act_on_first_open() {
        fanotify_event_metadata event{};
        if (::read(fan_, &event, sizeof event) != sizeof event) return;
        (void)::fanotify_mark(fan_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
        act_();
        const fanotify_response allow{event.fd, FAN_ALLOW};
        (void)!::write(fan_, &allow, sizeof allow);
        ::close(event.fd);
    }

    std::string path_;
    std::function<void()> act_;
    int fan_ = -1;
    std::thread watcher_;
};

// Gives the calling process mounts of its own, so that nothing it mounts outlives it.
[[nodiscard]] inline bool enter_private_mounts() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Mounts a throw-away tmpfs over `dir` in a mount namespace of the process's own.
[[nodiscard]] inline bool private_tmpfs(const std::string& dir) {
    return enter_private_mounts() && ::mount("scratch", dir.c_str(), "tmpfs", 0, nullptr) == 0;
}

}  // namespace brinvast::testing
