// SPDX-License-Identifier: MIT
#include "tree_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "errors.h"
#include "platform.h"
#include "syscalls.h"

namespace brinvast {

namespace {

// Descriptors kept open at the bottom of the stack. Far below any descriptor limit, and deep
// enough that ordinary trees never need to reopen an ancestor.
constexpr std::size_t OPEN_BUDGET = 32;

}  // namespace

bool DirectoryStack::push(unique_fd fd) {
    const auto [mount, error] = platform::mount_of(fd.get());
    if (error) throw fs_error(error.value(), depth_ == 0 ? root_path_ : path_of(visiting()));
    if (depth_ == 0) root_mount_ = mount;
    if (mount != root_mount_) return false;
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_++];
    frame.fd = std::move(fd);
    frame.children.clear();
    frame.next = 0;
    frame.current = 0;
    frame.listed = false;
    if (depth_ <= OPEN_BUDGET) return true;

    // Remember who the ancestor is before letting its descriptor go. It may have gone already
    // on an earlier descent to this depth, with its identity noted then.
    Frame& ancestor = frames_[depth_ - 1 - OPEN_BUDGET];
    if (!ancestor.fd.valid()) return true;
    struct stat status {};
    if (platform::syscalls().fstat(ancestor.fd.get(), &status) != 0) {
        const int error = errno;
        throw fs_error(error, top_path());
    }
    ancestor.dev = status.st_dev;
    ancestor.ino = status.st_ino;
    ancestor.fd.reset();
    return true;
}

const char* DirectoryStack::next_child() {
    Frame& frame = top();
    if (frame.next >= frame.children.size()) return nullptr;
    frame.current = frame.next;
    const char* name = frame.children.data() + frame.next;
    frame.next += std::strlen(name) + 1;
    return name;
}

void DirectoryStack::pop() {
    if (depth_ >= 2 && !frames_[depth_ - 2].fd.valid()) reopen_parent();
    frames_[--depth_].fd.reset();
}

// The ancestor was listed on the way down, so only its descriptor is needed again, for openat()
// and unlinkat(): search permission is enough, where reading might be refused.
void DirectoryStack::reopen_parent() {
    Frame& parent = frames_[depth_ - 2];
    auto [fd, error] = platform::open_search_only(top().fd.get(), "..");
    struct stat status {};
    if (!error && platform::syscalls().fstat(fd.get(), &status) != 0) error = last_error();
    if (error) throw fs_error(error.value(), top_path() + "/..");
    if (status.st_dev != parent.dev || status.st_ino != parent.ino) {
        throw fs_error(ESTALE, "Directory was moved during the walk", top_path());
    }
    parent.fd = std::move(fd);
}

const char* DirectoryStack::visiting() const {
    const Frame& frame = frames_[depth_ - 1];
    return frame.children.data() + frame.current;
}

std::string DirectoryStack::top_path() const {
    std::string path = root_path_;
    for (std::size_t i = 1; i < depth_; ++i) {
        const Frame& parent = frames_[i - 1];
        path.append("/").append(parent.children.data() + parent.current);
    }
    return path;
}

std::string DirectoryStack::path_of(const char* name) const {
    return top_path().append("/").append(name);
}

}  // namespace brinvast
