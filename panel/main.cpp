// J4 Updater: the window.

#include "shutdown_signals.h"
#include "updater_window.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kNoWindowSystem = -1;
constexpr int kInterrupted = 130;

// Until the window is up, a window system that cannot be reached ends the
// program with -1 and nothing shown, instead of Qt's abort.
void startupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg)
        std::_Exit(255);
}

bool displayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

// For the start-up benchmark: once the window is shown and the event loop
// idle, print the resident memory and leave.
void armStartupProbe() {
    if (qEnvironmentVariableIsEmpty("J4_STARTUP_PROBE"))
        return;
    QTimer::singleShot(0, [] {
        long pages = 0;
        long residentPages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld %ld", &pages, &residentPages) != 2)
                residentPages = 0;
            std::fclose(statm);
        }
        std::printf("ready rss_kib=%ld\n", residentPages * 4);
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
}

} // namespace

int main(int argc, char** argv) {
    if (!displayAvailable())
        return kNoWindowSystem;
    const QtMessageHandler previous = qInstallMessageHandler(startupMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QStringLiteral("j4_updater"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setOrganizationName(QStringLiteral("Ferrowan GmbH"));

    j4::UpdaterWindow window;
    j4::ShutdownSignals shutdownRequests;
    QObject::connect(&shutdownRequests, &j4::ShutdownSignals::requested, &window,
                     [&window] { window.shutDown(kInterrupted); });
    QObject::connect(&window, &j4::UpdaterWindow::exitRequested, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    window.show();
    armStartupProbe();
    return QApplication::exec();
}
