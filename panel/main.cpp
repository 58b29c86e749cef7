// J4 Updater: the window.

#include "display.h"
#include "exit_status.h"
#include "j4_version.h"
#include "record_database.h"
#include "record_keeping.h"
#include "shutdown_signals.h"
#include "slot_options.h"
#include "slots.h"
#include "station_window.h"
#include "updater_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kNoWindowSystem = -1;

const char kHelp[] = R"(Usage: j4_updater [-v | --verbose] [--metrics FILE] [--records URI]
  or:  j4_updater --station [--expect-sha256 HEX] [--port N | --device PATH | --serial SN]... [FILE]
  or:  j4_updater -h | --help | -V | --version

Opens the J4 Updater window: choose an update file (.j4u) with "...", set the
port number, press Start Update. The update is sent at 115200 baud 8N1 and
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
  -h, --help      this text
  -V, --version   print the version

Exit status:
  0    after Quit
  2    an option it does not know, slots or FILE without --station, or --help
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
  $XDG_CONFIG_HOME/Ferrowan GmbH/j4_updater.conf
                                          the last port number and folder
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

struct WindowOptions {
    bool verbose = false;
    std::string metricsPath;
    std::string recordsUrl;
    bool station = false;
    std::string expectedSha256;
    std::vector<j4::runs::TargetName> slotNames;
    std::optional<QString> file;
};

// The command line without the options Qt takes for itself (-style, -platform
// and the like, with one dash or two), so that the program's own can be read
// before a display is needed.
std::vector<std::string> withoutQtOptions(int argc, char** argv) {
    static const std::set<std::string> withValue{"platform",        "platformpluginpath",
                                                 "platformtheme",   "plugin",
                                                 "qwindowgeometry", "geometry",
                                                 "qwindowtitle",    "title",
                                                 "qwindowicon",     "icon",
                                                 "display",         "style",
                                                 "stylesheet",      "session",
                                                 "qmljsdebugger"};
    static const std::set<std::string> flags{"reverse", "nograb", "dograb", "widgetcount", "sync"};
    std::vector<std::string> kept{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        name.erase(0, name.find_first_not_of('-'));
        const bool dashed = argv[i][0] == '-' && name.find('=') == std::string::npos;
        if (dashed && withValue.count(name) != 0) {
            ++i; // and its value
            continue;
        }
        if (!(dashed && flags.count(name) != 0))
            kept.push_back(argv[i]);
    }
    return kept;
}

// The program's own options, read by the same code as j4_flash's slots and
// pin. --help and --version answer alone and leave: 0 would otherwise pass
// for a session that never ran. The reason when the command line makes no
// sense.
class WindowCommandLine {
public:
    WindowCommandLine() {
        parser_.addOptions({help_, version_, verbose_, station_, devices_.port, devices_.device,
                            devices_.serial, devices_.expectSha256, metrics_, records_});
    }

    // The exit status when the program is done (help, version, usage error).
    std::optional<int> read(const j4::runs::RawArguments& raw, WindowOptions& options) {
        const auto error = [](const std::string& reason) {
            std::fputs(j4::runs::usageError("j4_updater", reason).c_str(), stderr);
            return j4::runs::kUsage;
        };
        if (!parser_.parse(raw.decoded()))
            return error(parser_.errorText().toStdString());
        const bool alone =
            parser_.optionNames().size() == 1 && parser_.positionalArguments().isEmpty();
        for (const auto& [option, name] :
             {std::pair{&help_, "--help"}, std::pair{&version_, "--version"}}) {
            if (!parser_.isSet(*option))
                continue;
            if (!alone)
                return error(std::string(name) + " goes alone");
            if (option == &version_)
                std::printf("j4_updater %s\n", j4::kVersion);
            else
                std::fputs(kHelp, stdout);
            return j4::runs::kCompleted;
        }
        if (const auto problem = take(raw, options); !problem)
            return error(problem.error());
        return std::nullopt;
    }

private:
    j4::Result<j4::Done> take(const j4::runs::RawArguments& raw, WindowOptions& options) const {
        options.verbose = parser_.isSet(verbose_);
        options.station = parser_.isSet(station_);
        options.metricsPath = raw.bytesOf(parser_.value(metrics_));
        options.recordsUrl = parser_.isSet(records_) ? parser_.value(records_).toStdString()
                                                     : j4::runs::recordsFromEnvironment();
        if (!options.recordsUrl.empty())
            if (auto usable = j4::runs::checkRecordsAddress(options.recordsUrl); !usable)
                return usable;
        options.slotNames = devices_.names(parser_, raw);
        const QStringList files = parser_.positionalArguments();
        if (files.size() > 1)
            return j4::fail("name one update file");
        if (!files.isEmpty())
            options.file = QFile::decodeName(QByteArray::fromStdString(raw.bytesOf(files.first())));
        const bool stationOnly =
            options.file || devices_.named(parser_) || parser_.isSet(devices_.expectSha256);
        if (!options.station && stationOnly)
            return j4::fail(
                "--port, --device, --serial, --expect-sha256 and FILE go with --station");
        const auto pinned = devices_.pinnedSha256(parser_);
        if (!pinned)
            return j4::fail(pinned.error());
        options.expectedSha256 = *pinned;
        for (const auto& slot : options.slotNames)
            if (auto usable = j4::runs::checkSlot(slot); !usable)
                return usable;
        return j4::Done{};
    }

    QCommandLineParser parser_;
    j4::runs::DeviceOptions devices_;
    QCommandLineOption help_{{"h", "help"}, "This text."};
    QCommandLineOption version_{{"V", "version"}, "The version."};
    QCommandLineOption verbose_{{"v", "verbose"}, "A line per transmission."};
    QCommandLineOption station_{"station", "The station window."};
    QCommandLineOption metrics_{"metrics", "The station's state for Prometheus.", "FILE"};
    QCommandLineOption records_{"records", "The records database.", "URI"};
};

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
    window.keepMetricsIn(options.metricsPath);
    if (!options.recordsUrl.empty())
        window.sendRecordsTo(options.recordsUrl);
    window.show();
    armStartupProbe();
    return QApplication::exec();
}

int runStationWindow(const WindowOptions& options) {
    j4::StationWindow window;
    window.expectSha256(options.expectedSha256);
    bool ready = true;
    for (const auto& slot : options.slotNames)
        ready = window.addSlot(slot) && ready;
    if (options.file)
        ready = window.setUpdateFile(*options.file) && ready;
    // A kiosk: with its file and slots on the command line the station
    // starts at once.
    if (ready && options.file && !options.slotNames.empty())
        QTimer::singleShot(0, &window, &j4::StationWindow::startWatching);
    return runWindow(window, options);
}

} // namespace

int main(int argc, char** argv) {
    // Read before any display is asked for: a usage error is one with or
    // without a window system.
    WindowOptions options;
    if (const auto done =
            WindowCommandLine().read(j4::runs::RawArguments(withoutQtOptions(argc, argv)), options))
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

    if (options.station)
        return runStationWindow(options);
    j4::UpdaterWindow window;
    return runWindow(window, options);
}
