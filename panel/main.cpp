// J4 Updater: the window.

#include "display.h"
#include "j4_version.h"
#include "shutdown_signals.h"
#include "updater_window.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

constexpr int kNoWindowSystem = -1;
constexpr int kInterrupted = 130;

const char kHelp[] = R"(Usage: j4_updater [-v | --verbose]
       j4_updater -h | --help | -V | --version

Opens the J4 Updater window: choose an update file (.j4u) with "...", set the
port number, press Start Update. The update is sent at 115200 baud 8N1 and
ends in one message: "Update is completed." or what went wrong.

The J4_PORTS environment variable (device paths separated by ':') replaces the
system's list of numbered ports.

-v, --verbose  a line per transmission on standard error: frame, offset,
               size, answer, rejects, milliseconds to the answer.

Exit status: 0 after Quit; 2 for an option it does not know, or --help or
--version with anything else; 130 when ended by SIGINT, SIGTERM or SIGHUP (an
update in progress stops at its next frame and the port is closed); 255 when
no window system can be reached.
)";

// Until the window is up, a window system that cannot be reached ends the
// program with -1 and a line saying why, instead of Qt's abort.
void startupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString&) {
    if (type == QtFatalMsg) {
        QByteArray display = qgetenv("DISPLAY");
        if (display.isEmpty())
            display = qgetenv("WAYLAND_DISPLAY");
        std::fprintf(stderr,
                     "j4_updater: cannot open a window: the display %s cannot be reached.\n",
                     display.constData());
        std::_Exit(255);
    }
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

// The few options of the window; Qt's own (-style, -platform) pass through.
// --help and --version answer alone and leave: 0 would otherwise pass for a
// session that never ran. Returns the exit status when the program is done.
std::optional<int> readOptions(int argc, char** argv, bool& verbose) {
    const auto is = [](const char* arg, const char* shortName, const char* longName) {
        return std::strcmp(arg, shortName) == 0 || std::strcmp(arg, longName) == 0;
    };
    for (int i = 1; i < argc; ++i) {
        const bool version = is(argv[i], "-V", "--version");
        if (version || is(argv[i], "-h", "--help")) {
            if (argc != 2) {
                std::fprintf(stderr, "j4_updater: %s goes alone\n(try --help)\n", argv[i]);
                return 2;
            }
            if (version)
                std::printf("j4_updater %s\n", j4::kVersion);
            else
                std::fputs(kHelp, stdout);
            return 0;
        }
        verbose = verbose || is(argv[i], "-v", "--verbose");
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    if (const auto done = readOptions(argc, argv, verbose))
        return *done;
    if (!j4::displayNamed()) {
        std::fputs("j4_updater: cannot open a window: no display (DISPLAY and WAYLAND_DISPLAY "
                   "are unset).\n",
                   stderr);
        return kNoWindowSystem;
    }
    const QtMessageHandler previous = qInstallMessageHandler(startupMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QStringLiteral("j4_updater"));
    QApplication::setApplicationVersion(QString::fromLatin1(j4::kVersion));
    QApplication::setOrganizationName(QStringLiteral("Ferrowan GmbH"));
    // The desktop entry's name: task bars group the window with its menu
    // entry and show its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("j4-updater"));

    j4::UpdaterWindow window;
    j4::ShutdownSignals shutdownRequests;
    QObject::connect(&shutdownRequests, &j4::ShutdownSignals::requested, &window,
                     [&window] { window.shutDown(kInterrupted); });
    QObject::connect(&window, &j4::UpdaterWindow::exitRequested, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    if (verbose)
        window.traceTransmissionsTo(stderr);
    window.show();
    armStartupProbe();
    return QApplication::exec();
}
