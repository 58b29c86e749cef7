// The window as the program runs it, started on a given file so that a test
// can take away its display or signal it in the middle of a transfer:
//   window_driver FILE [--until-result [RECORDS-URI LOG STATION]]
// (J4_PORTS names the device, port 1). Prints "transferring" once the
// transfer runs. With --until-result it also prints the result message's
// title and text, presses its OK as an operator would, then presses Quit;
// with a records URI the window sends its records there through LOG, as
// j4_updater --records does.

#include "shutdown_signals.h"
#include "updater_window.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const bool untilResult = argc > 2 && qstrcmp(argv[2], "--until-result") == 0;
    j4::UpdaterWindow window;
    if (argc > 5)
        window.setWorkSettings({argv[4], argv[5], "", "", argv[3], {}});
    j4::ShutdownSignals shutdownRequests;
    QObject::connect(&shutdownRequests, &j4::ShutdownSignals::requested, &window,
                     [&window] { window.shutDown(130); });
    QObject::connect(&window, &j4::UpdaterWindow::exitRequested, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    window.show();
    // Port 1, whatever an earlier test's window remembered.
    window.findChild<QSpinBox*>(QStringLiteral("portNumber"))->setValue(1);
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
    QTimer result;
    QObject::connect(&result, &QTimer::timeout, [&] {
        for (QMessageBox* box : window.findChildren<QMessageBox*>()) {
            if (!box->isVisible())
                continue;
            result.stop();
            std::printf("%s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            std::fflush(stdout);
            box->button(QMessageBox::Ok)->click();
            QTimer::singleShot(200, &window, [&window] {
                window.findChild<QPushButton*>(QStringLiteral("quitButton"))->click();
            });
        }
    });
    if (untilResult)
        result.start(50);
    return QApplication::exec();
}
