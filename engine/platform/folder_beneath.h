// SPDX-License-Identifier: MIT
#pragma once

// What open_folder_beneath shares between the platforms: the paths it takes, and the walk one
// component at a time that stands in where the kernel cannot refuse every link in one call, or
// cannot say which refusal it met.

#include "errors.h"
#include "unique_fd.h"

namespace brinvast::platform {

// Whether open_folder_beneath takes `relative`: a relative path whose components are neither
// empty nor "..".
[[nodiscard]] bool plain_relative_path(const char* relative);

// Opens `relative` below `dir_fd` one component at a time, each from the descriptor of the one
// before, with `flags`, which hold O_DIRECTORY and O_NOFOLLOW. A link met on the way fails with
// ELOOP, whichever error the open gave for it.
[[nodiscard]] Result<unique_fd> open_components(int dir_fd, const char* relative, int flags);

}  // namespace brinvast::platform
