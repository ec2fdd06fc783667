// SPDX-License-Identifier: MIT
// The exit status the command line gives each outcome of a run, as its usage text lists them.

#include "exit_status.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using brinvast::Outcome;

TEST(ExitStatus, EachOutcomeHasTheStatusTheUsageTextPromises) {
    const std::pair<Outcome, int> table[] = {
        {Outcome::succeeded, 0},           {Outcome::nothing_to_do, 0},    {Outcome::failed, 1},
        {Outcome::needs_administrator, 1}, {Outcome::brinvast_running, 4}, {Outcome::home_busy, 6},
    };
    for (const auto& [outcome, status] : table) {
        SCOPED_TRACE(static_cast<int>(outcome));
        EXPECT_EQ(brinvast::cli::exit_status(outcome), status);
    }
}

}  // namespace
