#include "interrupts.h"

#include <csignal>

namespace j4::cli {
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
    // Every signal whose default would kill the program mid-transfer and
    // leave the port's lock behind ends it the clean way instead.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM})
        sigaction(signal, &action, nullptr);
    // A closed pipe on standard error is a failed write, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    return stopRequested;
}

} // namespace j4::cli
