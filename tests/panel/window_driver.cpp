// The window as the program runs it, started on a given file so that a test
// can take away its display or signal it in the middle of a transfer:
//   window_driver FILE   (J4_PORTS names the device)
// Prints "transferring" once the transfer runs.

#include "shutdown_signals.h"
#include "updater_window.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    j4::UpdaterWindow window;
    j4::ShutdownSignals shutdownRequests;
    QObject::connect(&shutdownRequests, &j4::ShutdownSignals::requested, &window,
                     [&window] { window.shutDown(130); });
    QObject::connect(&window, &j4::UpdaterWindow::exitRequested, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    window.show();
    window.setUpdateFile(QString::fromLocal8Bit(argv[1]));
    window.startUpdate();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window.findChild<QWidget*>(QStringLiteral("controls"))->isEnabled()) {
            std::puts("transferring");
            std::fflush(stdout);
            poll.stop();
        }
    });
    poll.start(20);
    return QApplication::exec();
}
