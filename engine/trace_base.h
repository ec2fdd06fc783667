// SPDX-License-Identifier: MIT
#pragma once

// Inside the engine: the first step on every way to a trace, shared by the survey of the name
// spaces and the launch agents.

#include <string>

#include "errors.h"
#include "unique_fd.h"

namespace brinvast {

// `base` (the home, or the system's root) opened for search only. Where it cannot be, whatever is
// opened below its invalid descriptor fails too.
[[nodiscard]] Result<unique_fd> open_base(const std::string& base);

}  // namespace brinvast
