// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>

#include <array>

namespace brinvast {

// The user pressed Ctrl-C, or a management tool's time-out (SIGTERM) or a closed terminal
// (SIGHUP) asked the run to end. Deliberately not a std::exception, so that no handler written
// for ordinary errors can swallow it.
struct UserInterrupt {};

// Throws UserInterrupt once an interrupt has arrived inside an InterruptScope.
void throw_if_interrupted();

// The signal of the latest interrupt in the scopes alive, 0 when none came.
[[nodiscard]] int last_interrupt();

// While alive, SIGINT, SIGTERM and SIGHUP (those not ignored when it began) only raise a flag
// that throw_if_interrupted() reports, so that the run ends through its failure report and
// rollback, which nothing interrupts. When the scope ends, the previous dispositions come back,
// and a signal that the run did not act on (a second Ctrl-C during the rollback, say) is raised
// again: the process ends as asked, but only once the rollback has finished. Not after a run that
// completed (run_completed): it ends as its report of success says. Scopes nest: a front end that
// must still write what happened (a script's JSON) keeps one around the runs, and only the
// outermost raises the signal again, once the front end is done.
class InterruptScope {
public:
    InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    ~InterruptScope();

    // The run completed, and reports so: an interrupt that comes until the scope ends came too
    // late to stop it, and is not raised again, so that the process ends as its report says.
    void run_completed() { completed_ = true; }

private:
    std::array<struct sigaction, 3> previous_{};
    bool completed_ = false;
};

}  // namespace brinvast
