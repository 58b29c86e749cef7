// J4 Updater: the window.

#include "device_options.h"
#include "display.h"
#include "exit_status.h"
#include "j4_version.h"
#include "line_follower.h"
#include "log_writer.h"
#include "record_database.h"
#include "record_keeping.h"
#include "shutdown_signals.h"
#include "slots.h"
#include "station_window.h"
#include "updater_window.h"
#include "window_options.h"
#include "window_settings.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kNoWindowSystem = -1;

const char kHelp[] = R"(Usage: j4_updater [-v | --verbose] [--metrics FILE] [--records URI] [FILE]
  or:  j4_updater [OPTION]... --records URI --line NAME [--offline-units N]
  or:  j4_updater --station [--expect-sha256 HEX] [--port N | --device PATH | --serial SN]... [FILE]
  or:  j4_updater --station --profile FILE [OPTION]...
  or:  j4_updater -h | --help | -V | --version

Opens the J4 Updater window: choose an update file (.j4u) with "..." (or give
FILE, or drop it on the window), set the port number, press Start Update. The update is sent at 115200 baud 8N1 and
ends in one message: "Update is completed." or what went wrong.

--station opens the station window instead, for production lines: each slot
(a port number, a device path or a USB adapter's serial number) updates every
device plugged into it, once, and waits for it to be pulled. With FILE and at
least one slot it starts watching at once.

Options:
  -v, --verbose   a line per transmission on standard error: frame, offset,
                  size, answer, rejects, milliseconds to the answer
  --station       the station window
  --metrics FILE  keep the window's or station's state in FILE for Prometheus'
                  node exporter (its textfile collector): attempts by slot and
                  result, the last completed update per slot, slots by state
  --records URI   send every attempt's record to the PostgreSQL database at
                  URI (default: J4_RECORDS), through the log (J4_UPDATE_LOG,
                  else $XDG_STATE_HOME/j4-updater/attempts.jsonl); while the
                  database is down they wait there, and the window says how
                  many
  --port N        a slot: port number N
  --device PATH   a slot: the serial device at PATH
  --serial SN     a slot: the USB adapter with serial number SN
  --expect-sha256 HEX
                  the station takes only the file with this SHA-256 (the
                  released one)
  --profile FILE  the station's set-up from FILE (see j4_flash(1)); the file,
                  slots and pins cannot then be changed in the window
  --settle MS, --unit-rule RE, --require-unit, --on-result CMD
                  the station's line, as j4_flash --watch takes them
  --line NAME     send what the plant assigns line NAME in the database
                  --records names, instead of a file (each Start, or each
                  unit of a station, claims one of its work order's units);
                  the window shows the line's release, work order and units
                  done, and offers Resume when the line is held
  --offline-units N
                  units made while that database is out of reach, as
                  j4_flash --watch takes it
  --trust-key FILE, --require-signature, --signature SIG, --min-version X.Y.Z
                  the release the station takes, as j4_flash takes them
  --log FILE, --station-id NAME, --operator NAME, --timeout MS,
  --tls-ca FILE, --tls-cert FILE, --tls-key FILE
                  as j4_flash takes them
  -h, --help      this text
  -V, --version   print the version

Exit status:
  0    after Quit
  2    an option it does not know, slots without --station, or --help
       or --version with anything else
  130  ended by SIGINT, SIGTERM or SIGHUP (an update in progress stops at its
       next frame and the port is closed)
  255  no window system can be reached

Environment:
  J4_PORTS          device paths separated by ':', numbered from 1: replaces the
                    system's list and the ports files
  J4_UPDATE_LOG     append a JSON line per attempt to this file
  J4_STATION_ID     the station's name in every record (default: the host's)
  J4_TLS_CA         rfc2217s:// ports: the servers' authority (default: the
                    system's)
  J4_TLS_CERT       rfc2217s:// ports: the client certificate, for servers
                    that ask for one
  J4_TLS_KEY        its key
  J4_TRUST_KEYS     minisign public keys to trust, separated by ':', besides
                    the trusted-keys folders
  J4_SERIAL_NAMES   where udev puts stable names (default /dev/serial)
  SYSFS_PATH        where sysfs is mounted (default /sys)
  XDG_CONFIG_HOME   the folder of the ports file and the settings (default
                    ~/.config)

Files:
  /etc/j4-updater/ports                   the system's ports file
  $XDG_CONFIG_HOME/j4-updater/ports       the user's ports file, read after it
  $XDG_CONFIG_HOME/j4-updater/j4_updater.conf
                                          the last port number, folder and file,
                                          and the station's last slots
  /etc/j4-updater/trusted-keys/*.pub      minisign public keys trusted to
  $XDG_CONFIG_HOME/j4-updater/trusted-keys/*.pub    sign releases
Lines "N PATH" of a ports file pin port number N to PATH; # starts a comment.
Once a key is trusted, only files it signed (FILE.minisig beside FILE) can be
started; the signer and the release's version show under the file's name.

Examples:
  j4_updater
      The window.
  j4_updater --station --port 1 --port 2 fw.j4u
      A station of two slots, watching at once.
  j4_flash --list-ports --ports-file > ~/.config/j4-updater/ports
      Port numbers that stay with the USB sockets of the adapters present.
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
// idle, paint it in full and print the resident memory ("ready"); then, once
// it has settled (its ports listed), say so and leave. The minimal window it
// is measured against does the same.
void armStartupProbe(j4::WorkWindow& window) {
    if (qEnvironmentVariableIsEmpty("J4_STARTUP_PROBE"))
        return;
    const auto settled = [] {
        std::printf("settled\n");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    };
    QTimer::singleShot(0, &window, [&window, settled] {
        window.repaint();
        long pages = 0;
        long residentPages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld %ld", &pages, &residentPages) != 2)
                residentPages = 0;
            std::fclose(statm);
        }
        std::printf("ready rss_kib=%ld\n", residentPages * 4);
        std::fflush(stdout);
        if (window.hasSettled())
            settled();
        else
            QObject::connect(&window, &j4::WorkWindow::settled, &window, settled);
    });
}

// Either window ends the same way: on a signal, transfers stop at their next
// frame boundary, ports are closed, then the program exits with 130.
int runWindow(j4::WorkWindow& window, const WindowOptions& options) {
    j4::ShutdownSignals shutdownRequests;
    QObject::connect(&shutdownRequests, &j4::ShutdownSignals::requested, &window,
                     [&window] { window.shutDown(j4::runs::kInterrupted); });
    QObject::connect(&window, &j4::WorkWindow::exitRequested, qApp, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    if (options.verbose)
        window.traceTransmissionsTo(stderr);
    const j4::options::StationSettings& station = options.station;
    window.setWorkSettings({station.logPath, station.stationId, station.operatorName,
                            station.metricsPath, station.recordsUrl, station.tls});
    window.show();
    armStartupProbe(window);
    return QApplication::exec();
}

// Either window follows its line as j4_flash --watch does: the station's
// own trusted keys, its state folder, its name in the claims.
j4::line::FollowSettings followSettings(const j4::options::StationSettings& station) {
    j4::line::FollowSettings follow{
        station.line, station.recordsUrl,
        j4::runs::lineOrigin(station.stationId, station.operatorName).station, station.release,
        j4::line::lineStateFolder(station.line)};
    follow.offlineUnits = station.offlineUnits;
    return follow;
}

int runStationWindow(const WindowOptions& options) {
    j4::StationWindow window(options.station.timeout);
    window.expectSha256(options.expectedSha256);
    window.setReleaseOptions(options.station.release);
    window.setLine(options.station.settle, options.station.unitRule, options.station.requireUnit,
                   options.station.onResult, options.station.unitsFrom);
    std::vector<QString> names;
    for (const std::string& name : options.station.slotNames)
        names.push_back(QString::fromStdString(name));
    window.setSlotNames(std::move(names));
    if (!options.profile.isEmpty())
        window.lockToProfile(options.profile);
    else if (options.slotNames.empty() && !options.file)
        window.offerLastSetup();
    bool ready = true;
    for (const auto& slot : options.slotNames)
        ready = window.addSlot(slot) && ready;
    const auto& station = options.station;
    if (!station.line.empty()) {
        window.followLine(followSettings(station));
    } else if (options.file) {
        ready = window.setUpdateFile(*options.file) && ready;
    }
    // A kiosk: with its file (or line) and slots on the command line the
    // station starts at once.
    if (ready && (options.file || !station.line.empty()) && !options.slotNames.empty())
        QTimer::singleShot(0, &window, &j4::StationWindow::startWatching);
    return runWindow(window, options);
}

} // namespace

int main(int argc, char** argv) {
    // Read before any display is asked for: a usage error is one with or
    // without a window system.
    WindowOptions options;
    if (const auto done = readWindowCommandLine(argc, argv, kHelp, options))
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
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.j4updater"));
    j4::settleSettings();
    // Qt's own texts (Yes, No, the file dialog's) in the user's language;
    // the program's own sentences stay as they are.
    // English needs none, and is spared the look for them at start.
    QTranslator qtTexts;
    const auto language = QLocale().language();
    if (language != QLocale::C && language != QLocale::English &&
        qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    if (options.stationWindow)
        return runStationWindow(options);
    j4::UpdaterWindow window;
    // Opened from the desktop (or a command line): the file chosen, said as
    // from the dialog when it cannot be sent.
    if (!options.station.line.empty())
        window.followLine(followSettings(options.station));
    else if (options.file)
        QTimer::singleShot(0, &window,
                           [&window, file = *options.file] { window.setUpdateFile(file); });
    else
        window.offerLastFile();
    return runWindow(window, options);
}
