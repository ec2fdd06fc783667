// SPDX-License-Identifier: MIT
#pragma once

#include <utility>

#include "syscalls.h"

namespace brinvast {

// Owns one file descriptor and closes it exactly once.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) platform::syscalls().close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace brinvast
