#include "interrupt.h"

#include <atomic>

namespace brinvast {

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void note_interrupt(int) {
    interrupted.store(true, std::memory_order_relaxed);
}

}  // namespace

void throw_if_interrupted() {
    if (interrupted.load(std::memory_order_relaxed)) throw UserInterrupt{};
}

InterruptScope::InterruptScope() {
    interrupted.store(false, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
}

InterruptScope::~InterruptScope() {
    sigaction(SIGINT, &previous_, nullptr);
    interrupted.store(false, std::memory_order_relaxed);
}

}  // namespace brinvast
