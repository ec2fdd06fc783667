// SPDX-License-Identifier: MIT
#pragma once

// What the command line tells a script with --json: one object, written once, at the end, also
// after a failure or an interrupt, by nlohmann/json, which escapes whatever a name from the disk
// holds.

#include <string>
#include <vector>

#include "uninstaller.h"

namespace brinvast::cli {

// One home's run: whose, how it ended, what it removed, kept and could not examine, and its
// report, a line each.
struct UserRun {
    std::string user;
    std::string home;
    std::string outcome;  // succeeded, nothing_to_do, failed, ... as outcome_name gives them
    int exit_status = 0;
    RunSummary summary;
    std::vector<std::string> report;
};

// The name a script reads for `outcome`.
[[nodiscard]] const char* outcome_name(Outcome outcome);

// The whole object: the program, the mode, how the command ended, and each home's run.
[[nodiscard]] std::string run_json(const std::string& mode, bool dry_run,
                                   const std::string& outcome, int exit_status,
                                   const std::vector<UserRun>& users);

}  // namespace brinvast::cli
