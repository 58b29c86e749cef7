// j4_devsim: a simulated J4 device on a pseudo-terminal, for tests, benchmarks
// and for trying the updater without hardware.

#include "device.h"
#include "options.h"

#include <csignal>
#include <sys/prctl.h>

namespace {

void onSignal(int) {
    j4::devsim::stopRequested = 1;
}

} // namespace

int main(int argc, char** argv) {
    j4::devsim::Command command = j4::devsim::readCommandLine(argc, argv);
    if (!command.serve)
        return command.status;
    // The smallest timer slack, so a paced answer leaves when it is due and
    // not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return j4::devsim::Device(std::move(*command.serve)).run();
}
