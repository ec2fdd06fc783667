// SPDX-License-Identifier: MIT
#pragma once

// The exit statuses of brinvast-uninstall, as its usage text promises them to callers.

#include "uninstaller.h"

namespace brinvast::cli {

enum ExitStatus {
    succeeded = 0,
    run_failed = 1,
    usage_error = 2,
    engine_error = 3,
    brinvast_running = 4,
    output_lost = 5,
    home_busy = 6,
    check_left = 7,  // --check: something of Brinvast is left
};

// What a run's outcome tells the caller. A caller can act on a running Brinvast or a busy home
// (quit it, wait), so those have statuses of their own; a lack of rights is a plain failure here,
// since the command line offers nothing more to try.
[[nodiscard]] constexpr ExitStatus exit_status(Outcome outcome) {
    switch (outcome) {
        case Outcome::succeeded:
        case Outcome::nothing_to_do:
            return succeeded;
        case Outcome::brinvast_running:
            return brinvast_running;
        case Outcome::home_busy:
            return home_busy;
        case Outcome::failed:
        case Outcome::needs_administrator:
            break;
    }
    return run_failed;
}

}  // namespace brinvast::cli
