// J4 Updater: the window.

#include "main_panel.h"
#include "operator_actions.h"
#include "qt_serial_link.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// Program-wide, as the frame image inside must never live on a stack.
j4::UpdaterState state;

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
        return -1;
    const QtMessageHandler previous = qInstallMessageHandler(startupMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QStringLiteral("j4_updater"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setOrganizationName(QStringLiteral("Ferrowan GmbH"));

    j4::QtSerialLink link;
    std::unique_ptr<j4::MainPanel> panel = j4::MainPanel::load(state, link);
    if (!panel)
        return -1;
    panel->displayPanel();
    armStartupProbe();
    QApplication::exec();
    panel.reset();
    return 0;
}
