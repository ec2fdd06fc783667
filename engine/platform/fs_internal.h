// SPDX-License-Identifier: MIT
#pragma once

// What the parts of the file-system core share, below fs.h: not for the engine.

#include <fcntl.h>

#include <memory>
#include <optional>
#include <string>

#include "fs.h"
#include "interrupt.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace brinvast {

// How the walks open a directory: never through a link at its end.
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The *_at operations take one entry of an open folder: a path would resolve links on its way.
void require_single_name(const std::string& name, const std::string& shown);

// A walk that needs no word of the subdirectories it could not open.
struct IgnoreUnopened {
    void operator()(const DirectoryStack&, const char*, int) const {}
};

// The folder that holds `path`, or `path` itself, when a flag locks it: the first entries a
// removal of the tree meets.
[[nodiscard]] std::optional<LockedEntry> locked_at_top(const std::string& path);

// Visits the tree whose open top directory is `root` top-down: `list` lists the top frame and
// notes its subdirectories. A subdirectory that can't be opened, was swapped for a link, or lies
// on another file system, is not entered; `unopened` hears of the first two, with the error.
template <class List, class Unopened = IgnoreUnopened>
void walk_down(unique_fd root, const std::string& path, List list, Unopened unopened = {}) {
    auto buffer = std::make_unique<platform::ListingBuffer>();
    DirectoryStack stack(path);
    (void)stack.push(std::move(root));
    while (!stack.empty()) {
        throw_if_interrupted();
        if (!stack.top().listed) {
            list(stack, *buffer);
        } else if (const char* child = stack.next_child()) {
            unique_fd fd(::openat(stack.top().fd.get(), child, DIRECTORY_FLAGS));
            if (fd.valid()) {
                (void)stack.push(std::move(fd));
            } else {
                unopened(stack, child, errno);
            }
        } else {
            stack.pop();
        }
    }
}

}  // namespace brinvast
