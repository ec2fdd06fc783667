// SPDX-License-Identifier: MIT
#pragma once

// The descent shared by the survey and the deletion: a stack of directories, each reached by
// openat() from its parent's descriptor, never by a path string. Depth is bounded by neither
// the call stack nor the descriptor limit nor PATH_MAX: only the deepest few directories keep
// a descriptor, and an ancestor whose descriptor was closed is reopened through ".." of its
// child, then checked to be the very directory that was left. The walk never leaves the mounted
// file system of the root: a directory on another one is never entered.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace brinvast {

class DirectoryStack {
public:
    struct Frame {
        unique_fd fd;  // invalid while the frame is too far above the bottom to keep one open
        dev_t dev = 0;
        ino_t ino = 0;
        std::string children;     // names of the subdirectories to visit, each ending in NUL
        std::size_t next = 0;     // offset of the next name in `children`
        std::size_t current = 0;  // offset of the name of the frame above this one
        bool listed = false;
        bool listed_any = false;  // whether the removal's last listing of it found any entry

        void add_child(const char* name) { children.append(name).push_back('\0'); }
    };

    explicit DirectoryStack(std::string root_path) : root_path_(std::move(root_path)) {}

    [[nodiscard]] bool empty() const { return depth_ == 0; }
    [[nodiscard]] std::size_t depth() const { return depth_; }
    [[nodiscard]] Frame& top() { return frames_[depth_ - 1]; }

    // Enters `fd`, a directory opened from the top frame's descriptor (or the root). False, with
    // nothing entered, when it lies on another mounted file system than the root.
    [[nodiscard]] bool push(unique_fd fd);

    // The next subdirectory of the top frame to visit, remembered as the one being visited;
    // nullptr once all have been visited.
    [[nodiscard]] const char* next_child();

    // Leaves the top frame; the new top frame has its descriptor again. Throws fs_error when
    // an ancestor cannot be reopened or is no longer the directory that was left.
    void pop();

    // The subdirectory of the top frame that next_child() returned last.
    [[nodiscard]] const char* visiting() const;

    // The full path of `name` inside the top frame, built only for error messages.
    [[nodiscard]] std::string path_of(const char* name) const;
    [[nodiscard]] std::string top_path() const;

private:
    void reopen_parent();

    std::string root_path_;
    std::uint64_t root_mount_ = 0;
    std::vector<Frame> frames_;  // frames past depth_ keep their capacity for reuse
    std::size_t depth_ = 0;
};

}  // namespace brinvast
