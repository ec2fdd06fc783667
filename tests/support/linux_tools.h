// SPDX-License-Identifier: MIT
#pragma once

// Test tools that only Linux has: fanotify pauses, private mount namespaces and a FUSE volume
// that behaves as a Mac's. Portable tests never include this header.

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "unique_fd.h"

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

// Whether `dir` is a mount point in this process's mount namespace, waiting for the mount table
// to change until it is, for at most `guard_ms`: mountinfo polls as POLLPRI once the table has
// changed since it was opened, so no change between a reading and the wait goes unseen.
[[nodiscard]] inline bool await_mount(const std::string& dir, int guard_ms) {
    const unique_fd table(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    for (;;) {
        std::ifstream lines("/proc/self/mountinfo");
        for (std::string id, parent, device, root, point;
             lines >> id >> parent >> device >> root >> point; lines.ignore(1 << 20, '\n')) {
            if (point == dir) return true;
        }
        pollfd change{table.get(), POLLPRI, 0};
        if (::poll(&change, 1, guard_ms) != 1) return false;
    }
}

// The folder `backing` seen at `at` through tests/support/shifting_fs.py, a FUSE file system
// that behaves as a Mac's volumes do, given its `options` (--skip-first-listing),
// for as long as the object lives.
class ShiftingMount {
public:
    ShiftingMount(const std::string& backing, std::string at, const std::string& options)
        : at_(std::move(at)) {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            problem_ = "/dev/fuse is missing: the FUSE tests need the fuse module";
            return;
        }
        // The file system goes to the background once its mount is in place. Debian's python3,
        // for which python3-fuse is installed, whatever other python3 comes first on the PATH.
        const std::string command = "/usr/bin/python3 '" BRINVAST_SHIFTING_FS "' " + options +
                                    " '" + backing + "' '" + at_ + "'";
        if (std::system(command.c_str()) != 0) {
            problem_ = "Failed (scripts/setup installs python3-fuse): " + command;
        } else if (!await_mount(at_, 30000)) {
            problem_ = "Never mounted: " + at_;
        }
    }
    ShiftingMount(const ShiftingMount&) = delete;
    ShiftingMount& operator=(const ShiftingMount&) = delete;
    ~ShiftingMount() {
        if (problem_.empty()) (void)std::system(("fusermount -u '" + at_ + "'").c_str());
    }
    // Why the mount is not in place; empty when it is.
    [[nodiscard]] const std::string& problem() const { return problem_; }

private:
    std::string at_;
    std::string problem_;
};

}  // namespace brinvast::testing
