#include "interrupts.h"

#include <csignal>

namespace j4::flash {
namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int) {
    stopRequested = true;
}

} // namespace

const std::atomic<bool>& installInterruptHandlers() {
    // No SA_RESTART: a blocked read or drain must come back to see the flag.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    return stopRequested;
}

} // namespace j4::flash
