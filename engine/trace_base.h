// SPDX-License-Identifier: MIT
#pragma once

// Inside the engine: the first step on every way to a trace, shared by the survey of the name
// spaces and the launch agents.

#include <string>

#include "unique_fd.h"

namespace brinvast {

// `base` (the home, or the system's root) opened for search only; invalid, with errno set, when
// it cannot be.
[[nodiscard]] unique_fd open_base(const std::string& base);

}  // namespace brinvast
