// SPDX-License-Identifier: MIT
#pragma once

// The engine run for each home a command serves, and what the command tells of them: each
// home's report as it happens, a summary line per user, a check's list, or one JSON object.

#include <chrono>
#include <vector>

#include "homes.h"
#include "run_json.h"

namespace brinvast::cli {

// How the runs go, as the command line asked.
struct RunRequest {
    bool dry_run = false;
    bool complete = false;
    bool force = false;
    bool check = false;  // change nothing, and tell what is left
    bool json = false;
    bool all_users = false;
    std::chrono::milliseconds lock_patience{};
    ToolLimits tool_limits{};
};

// Runs the engine for each home in turn, with its owner's rights and lock; a home that fails
// does not stop the others, an interrupt does. Writes what the request asks for to standard
// output and gives the command's exit status: the most serious of the runs'.
[[nodiscard]] int run_homes(const RunRequest& request, const std::vector<Home>& homes);

}  // namespace brinvast::cli
