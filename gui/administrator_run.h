// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "administrator.h"

// Runs `program` with `arguments` as root once an administrator has agreed at the platform's
// prompt, and waits for it, as the window waits for its own runs. Throws std::runtime_error when
// the prompt cannot be started.
[[nodiscard]] brinvast::AdministratorRun run_with_administrator_rights(
    const std::string& program, const std::vector<std::string>& arguments);
