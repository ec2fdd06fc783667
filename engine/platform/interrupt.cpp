// SPDX-License-Identifier: MIT
#include "interrupt.h"

#include <atomic>

namespace brinvast {

namespace {

constexpr std::array<int, 3> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP};

std::atomic<int> arrived{0};  // interrupts since the outermost scope began
std::atomic<int> last{0};     // the latest of them
std::atomic<int> heeded{0};   // those that the run acted on
int depth = 0;                // scopes alive; only the outermost raises what nobody heeded
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free flags");

extern "C" void note_interrupt(int signal_number) {
    last.store(signal_number, std::memory_order_relaxed);
    arrived.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void throw_if_interrupted() {
    if (arrived.load(std::memory_order_relaxed) == 0) return;
    heeded.store(1, std::memory_order_relaxed);
    throw UserInterrupt{};
}

int last_interrupt() {
    return arrived.load(std::memory_order_relaxed) > 0 ? last.load(std::memory_order_relaxed) : 0;
}

InterruptScope::InterruptScope() {
    if (depth++ == 0) {
        arrived.store(0, std::memory_order_relaxed);
        heeded.store(0, std::memory_order_relaxed);
    }
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // A signal that whoever started us ignores (nohup's SIGHUP, say) is nobody's request to stop.
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i) {
        sigaction(ENDING_SIGNALS[i], nullptr, &previous_[i]);
        if (previous_[i].sa_handler != SIG_IGN) sigaction(ENDING_SIGNALS[i], &action, nullptr);
    }
}

InterruptScope::~InterruptScope() {
    for (std::size_t i = 0; i < ENDING_SIGNALS.size(); ++i)
        sigaction(ENDING_SIGNALS[i], &previous_[i], nullptr);
    // What came until the end of a run that completed came too late to stop it.
    if (completed_)
        heeded.store(arrived.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (--depth > 0) return;  // the scope around this one answers for what came
    const int unheeded =
        arrived.exchange(0, std::memory_order_relaxed) - heeded.load(std::memory_order_relaxed);
    if (unheeded > 0) ::raise(last.load(std::memory_order_relaxed));
}

}  // namespace brinvast
