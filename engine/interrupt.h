#pragma once

#include <signal.h>

namespace brinvast {

// The user pressed Ctrl-C. Deliberately not a std::exception, so that no handler written for
// ordinary errors can swallow it.
struct UserInterrupt {};

// Throws UserInterrupt once Ctrl-C has arrived inside an InterruptScope.
void throw_if_interrupted();

// While alive, SIGINT only raises a flag that throw_if_interrupted() reports; the previous
// disposition comes back when the scope ends.
class InterruptScope {
public:
    InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
    ~InterruptScope();

private:
    struct sigaction previous_ {};
};

}  // namespace brinvast
