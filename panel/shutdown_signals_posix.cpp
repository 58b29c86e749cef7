#include "shutdown_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace j4 {
namespace {

// The handler may only write a byte; the notifier turns it into a Qt signal.
int wakeFds[2] = {-1, -1};
// Every signal whose default would kill the program mid-transfer and leave
// the port's lock behind ends it the clean way instead.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeFds[0], &byte, 1);
}

} // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds) != 0)
        return;
    ::fcntl(wakeFds[0], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char drained[16];
        while (::read(wakeFds[1], drained, sizeof drained) > 0) {
        }
        emit requested();
    });
    ::fcntl(wakeFds[1], F_SETFL, O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
    // A closed pipe on standard output is a failed write, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
}

ShutdownSignals::~ShutdownSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int signal : kStopSignals)
        sigaction(signal, &action, nullptr);
    // A closed pipe on standard output is a failed write, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace j4
