#include "flash_command.h"

#include "exit_status.h"
#include "interrupts.h"
#include "j4_version.h"
#include "link_factory.h"
#include "log_writer.h"
#include "port_names.h"
#include "progress.h"
#include "station.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <tuple>

namespace j4::cli {
namespace {

// The lines after the usage line: the other forms (as "or:" lines, which
// help2man makes into the man page's synopsis), then what the program does.
const char kDescription[] =
    "  or:  j4_flash --check FILE [--image-out PATH]\n"
    "  or:  j4_flash --watch [--port N | --device PATH | --serial SN]... FILE\n"
    "  or:  j4_flash --list-ports [--ports-file]\n"
    "\n"
    "Sends a J4 update file (.j4u) to J4 devices over serial ports, or checks the\n"
    "file.\n"
    "A device is a port number (N as in --list-ports; 1-8 for a range), a device path\n"
    "(PATH may be rfc2217://HOST:PORT, a port served by ser2net, or rfc2217s:// over\n"
    "TLS, the server's certificate always verified) or the serial number\n"
    "of a USB adapter. --port, --device and --serial may be given several times: the\n"
    "devices are updated at once. --watch makes a station: each slot updates every\n"
    "device plugged into it, once, and waits for it to be pulled, until Ctrl+C.\n"
    "FILE - reads the update file from standard input.";

// After the options: the sections of a manual page.
const char kEpilogue[] =
    "\n"
    "Exit status:\n"
    "  0    completed (on every device), or the file is valid (--check)\n"
    "  2    usage error\n"
    "  3    the file is refused or cannot be opened\n"
    "  4    the port cannot be opened\n"
    "  5    no answer, or the port failed\n"
    "  6    communication error\n"
    "  7    CRC error\n"
    "  130  interrupted (Ctrl+C, SIGTERM or SIGHUP)\n"
    "With several devices, the status of the first that failed, in the order given;\n"
    "a station's, of the first failure (130 when only a stop cut a transfer).\n"
    "\n"
    "Environment:\n"
    "  J4_PORTS          device paths or rfc2217(s)://HOST:PORT addresses, separated\n"
    "                    by ':', numbered from 1: replaces the system's list and\n"
    "                    the ports files\n"
    "  J4_UPDATE_LOG     append a JSON line per attempt to this file, as --log does\n"
    "  J4_TLS_CA         the file --tls-ca names, when it is not given\n"
    "  J4_TLS_CERT       the file --tls-cert names, when it is not given\n"
    "  J4_TLS_KEY        the file --tls-key names, when it is not given\n"
    "  J4_SERIAL_NAMES   where udev puts stable names (default /dev/serial)\n"
    "  SYSFS_PATH        where sysfs is mounted (default /sys)\n"
    "  XDG_CONFIG_HOME   the folder of the user's ports file (default ~/.config)\n"
    "\n"
    "Files:\n"
    "  /etc/j4-updater/ports                the system's ports file\n"
    "  $XDG_CONFIG_HOME/j4-updater/ports    the user's ports file, read after it\n"
    "Lines \"N PATH\" pin port number N to PATH (best a /dev/serial/by-path name,\n"
    "which stays with the USB socket); # starts a comment. The other ports follow\n"
    "the system's list.\n"
    "\n"
    "Examples:\n"
    "  j4_flash --port 1 fw.j4u\n"
    "      Update the device on port 1.\n"
    "  j4_flash --watch --port 1 --port 2 --log station.jsonl fw.j4u\n"
    "      A station of two slots: update each device plugged in, until Ctrl+C.\n"
    "  j4_flash --list-ports --ports-file > ~/.config/j4-updater/ports\n"
    "      Pin the numbers of the adapters present to their USB sockets.\n"
    "  j4_flash --tls-ca plant-ca.pem --expect-sha256 HEX \\\n"
    "           --device rfc2217s://line3:4443 fw.j4u\n"
    "      Over TLS to a verified server, and only if fw.j4u is the released file.\n";

// What the command line asks for.
struct FlashOptions {
    enum class Action { Help, Version, ListPorts, Check, Update, Watch } action = Action::Update;
    bool portsFile = false;
    std::string file;
    std::string imageOut;
    std::vector<TargetName> targets;
    std::chrono::milliseconds timeout = SerialLink::kDefaultAnswerTimeout;
    bool quiet = false;
    bool verbose = false;
    std::string logPath;
    TlsSettings tls;
    std::string expectedSha256;
};

// The program's lines on its streams: errors start with its name.
class Output {
public:
    explicit Output(const FlashContext& context) : context_(context) {}
    void say(const std::string& text) const { line(context_.out, text); }
    void error(const std::string& text) const { line(context_.err, "j4_flash: " + text); }
    std::FILE* out() const { return context_.out; }
    std::FILE* err() const { return context_.err; }

private:
    static void line(std::FILE* to, const std::string& text) {
        std::fprintf(to, "%s\n", text.c_str());
        std::fflush(to);
    }
    const FlashContext& context_;
};

// Names as the caller gave them. The parser works on text, which replaces
// bytes that are not UTF-8; the system needs the bytes.
class RawArguments {
public:
    explicit RawArguments(const std::vector<std::string>& raw) : raw_(raw) {}

    QStringList decoded() const {
        QStringList list;
        for (const std::string& argument : raw_)
            list << QString::fromLocal8Bit(argument);
        return list;
    }
    std::string bytesOf(const QString& value) const {
        for (const std::string& argument : raw_) {
            if (QString::fromLocal8Bit(argument) == value)
                return argument;
            const auto eq = argument.find('=');
            if (argument.starts_with("--") && eq != std::string::npos &&
                QString::fromLocal8Bit(argument.substr(eq + 1)) == value)
                return argument.substr(eq + 1);
        }
        return value.toStdString();
    }

private:
    const std::vector<std::string>& raw_;
};

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version{{"V", "version"}, "Print the version."};
    QCommandLineOption check{"check", "Decode and validate FILE only; print its frames and bytes."};
    QCommandLineOption imageOut{"image-out", "With --check: write the decoded image to PATH.",
                                "PATH"};
    QCommandLineOption port{"port", "Send FILE to port number N (1..255).", "N"};
    QCommandLineOption device{"device", "Send FILE to the serial device at PATH.", "PATH"};
    QCommandLineOption timeout{"timeout",
                               QStringLiteral("Answer time-out in milliseconds (default %1).")
                                   .arg(SerialLink::kDefaultAnswerTimeout.count()),
                               "MS"};
    QCommandLineOption list{"list-ports", "List the numbered serial ports."};
    QCommandLineOption portsFile{"ports-file",
                                 "With --list-ports: print a ports file pinning the adapters "
                                 "present now to their USB sockets."};
    QCommandLineOption serial{"serial", "Send FILE to the USB adapter with serial number SN.",
                              "SN"};
    QCommandLineOption watch{"watch", "A station: update each device plugged into a slot, once, "
                                      "until stopped."};
    QCommandLineOption quiet{{"q", "quiet"}, "No progress."};
    QCommandLineOption verbose{{"v", "verbose"},
                               "A line per transmission: device, frame, offset, size, answer, "
                               "rejects, milliseconds to the answer."};
    QCommandLineOption log{"log", "Append a JSON line per attempt to FILE.", "FILE"};
    QCommandLineOption tlsCa{"tls-ca",
                             "rfc2217s:// ports: the authority that signed the servers' "
                             "certificates (default: the system's).",
                             "FILE"};
    QCommandLineOption tlsCert{"tls-cert",
                               "rfc2217s:// ports: the client certificate, for servers that "
                               "ask for one.",
                               "FILE"};
    QCommandLineOption tlsKey{"tls-key", "rfc2217s:// ports: the client certificate's key.",
                              "FILE"};
    QCommandLineOption expectSha256{
        "expect-sha256", "Refuse FILE unless its SHA-256 is HEX (the released file).", "HEX"};

    Parser() {
        parser.setApplicationDescription(QString::fromLatin1(kDescription));
        parser.addOptions({version, check, imageOut, port, device, serial, watch, timeout, list,
                           portsFile, quiet, verbose, log, tlsCa, tlsCert, tlsKey, expectSha256});
        parser.addPositionalArgument("FILE", "The update file.",
                                     "{--port N | --device PATH | --serial SN}... FILE");
    }
};

// --port and --device in the order given: the parser lists every option in
// the order met, once per use, and their values are taken from there in turn.
std::vector<TargetName> targetNames(const QCommandLineParser& parser, const RawArguments& raw) {
    const QStringList ports = parser.values(QStringLiteral("port"));
    const QStringList devices = parser.values(QStringLiteral("device"));
    const QStringList serials = parser.values(QStringLiteral("serial"));
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    qsizetype nextSerial = 0;
    std::vector<TargetName> names;
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("port"))
            names.push_back({TargetName::Kind::Port, ports.value(nextPort++).toStdString()});
        else if (name == QLatin1String("device"))
            names.push_back({TargetName::Kind::Device, raw.bytesOf(devices.value(nextDevice++))});
        else if (name == QLatin1String("serial"))
            names.push_back({TargetName::Kind::Serial, serials.value(nextSerial++).toStdString()});
    }
    return names;
}

// The action alone, or the reason it is a usage error.
std::optional<FlashOptions::Action> action(const Parser& p, QString& error) {
    const QCommandLineParser& parser = p.parser;
    QStringList others = parser.optionNames();
    others.removeAll(QStringLiteral("ports-file"));
    const bool alone = others.size() == 1 && parser.positionalArguments().isEmpty();
    using Action = FlashOptions::Action;
    // Listed by Qt beside --help: the same help, Qt's own options being none
    // of this program's business.
    if (parser.isSet(QStringLiteral("help-all"))) {
        if (alone)
            return Action::Help;
        error = QStringLiteral("--help-all goes alone");
        return std::nullopt;
    }
    for (const auto& [option, name, what] :
         {std::tuple{&p.help, "--help", Action::Help},
          std::tuple{&p.version, "--version", Action::Version},
          std::tuple{&p.list, "--list-ports", Action::ListPorts}}) {
        if (!parser.isSet(*option))
            continue;
        // Alone, or a script could take the exit status 0 for an update.
        if (alone && (what == Action::ListPorts || !parser.isSet(p.portsFile)))
            return what;
        error = QStringLiteral("%1 goes alone").arg(QLatin1String(name));
        return std::nullopt;
    }
    const bool named = parser.isSet(p.port) || parser.isSet(p.device) || parser.isSet(p.serial);
    if (parser.isSet(p.portsFile))
        error = QStringLiteral("--ports-file goes with --list-ports");
    else if (parser.positionalArguments().size() != 1)
        error = QStringLiteral("name exactly one update file");
    else if (parser.isSet(p.watch) && (parser.isSet(p.check) || !named))
        error = QStringLiteral("--watch needs slots (--port, --device, --serial) and no --check");
    else if (parser.isSet(p.watch))
        return Action::Watch;
    else if (parser.isSet(p.check))
        return Action::Check;
    else if (parser.isSet(p.imageOut))
        error = QStringLiteral("--image-out goes with --check");
    else if (!named)
        error = QStringLiteral("give --port N, --device PATH or --serial SN");
    else
        return Action::Update;
    return std::nullopt;
}

std::optional<FlashOptions> parse(Parser& p, const RawArguments& raw, QString& error) {
    if (!p.parser.parse(raw.decoded())) {
        error = p.parser.errorText();
        // Other flashers' habits: -p PORT (avrdude), -p/-P (esptool, stm32flash).
        if (p.parser.unknownOptionNames().contains(QStringLiteral("p")) ||
            p.parser.unknownOptionNames().contains(QStringLiteral("P")))
            error += QStringLiteral(" For a port, give --port N (a number) or --device PATH.");
        return std::nullopt;
    }
    FlashOptions options;
    const auto chosen = action(p, error);
    if (!chosen)
        return std::nullopt;
    options.action = *chosen;
    if (!p.parser.positionalArguments().isEmpty())
        options.file = raw.bytesOf(p.parser.positionalArguments().first());
    options.imageOut = raw.bytesOf(p.parser.value(p.imageOut));
    options.targets = targetNames(p.parser, raw);
    if (p.parser.isSet(p.timeout)) {
        bool ok = false;
        const int ms = p.parser.value(p.timeout).toInt(&ok);
        if (!ok || ms <= 0) {
            error = QStringLiteral("--timeout takes a positive number of milliseconds");
            return std::nullopt;
        }
        options.timeout = std::chrono::milliseconds{ms};
    }
    options.portsFile = p.parser.isSet(p.portsFile);
    options.quiet = p.parser.isSet(p.quiet);
    options.verbose = p.parser.isSet(p.verbose);
    options.logPath =
        p.parser.isSet(p.log) ? raw.bytesOf(p.parser.value(p.log)) : logFromEnvironment();
    // Each TLS file as given, else as the environment names it.
    options.tls = TlsSettings::fromEnvironment();
    for (const auto& [option, field] :
         {std::pair{&p.tlsCa, &options.tls.caFile}, std::pair{&p.tlsCert, &options.tls.certFile},
          std::pair{&p.tlsKey, &options.tls.keyFile}})
        if (p.parser.isSet(*option))
            *field = raw.bytesOf(p.parser.value(*option));
    options.expectedSha256 = p.parser.value(p.expectSha256).toStdString();
    if (p.parser.isSet(p.expectSha256) && !isSha256Hex(options.expectedSha256)) {
        error = QStringLiteral("--expect-sha256 takes the file's SHA-256: 64 hexadecimal digits");
        return std::nullopt;
    }
    return options;
}

int writeImage(const std::vector<std::uint8_t>& image, const std::string& path,
               const Output& output) {
    const auto fail = [&](int error) {
        output.error("Cannot write " + path + ": " + std::strerror(error));
        return kUsage;
    };
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return fail(errno);
    // A full disk shows only when the buffer is flushed, or at close.
    const bool written =
        std::fwrite(image.data(), 1, image.size(), out) == image.size() && std::fflush(out) == 0;
    const int error = errno;
    if (std::fclose(out) != 0 || !written)
        return fail(written ? errno : error);
    return kCompleted;
}

// Decodes FILE; says why not, once, when it cannot be used.
PreparedFile prepare(const FlashOptions& options, const std::atomic<bool>& stop,
                     const Output& output) {
    PreparedFile prepared = prepareUpdateFile(options.file, UpdateFileReader::Kinds::Any, &stop);
    expectSha256(prepared, options.expectedSha256);
    if (prepared.ok())
        return prepared;
    if (prepared.refusal == UpdateOutcome::FileUnreadable)
        output.error(prepared.detail);
    output.error(prepared.text);
    return prepared;
}

int check(const FlashOptions& options, const std::atomic<bool>& stop, const Output& output) {
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok())
        return exitStatus(prepared.refusal);
    if (!options.imageOut.empty()) {
        if (const int status = writeImage(prepared.decoded->image, options.imageOut, output);
            status != kCompleted)
            return status;
    }
    std::fprintf(output.out(), "%s: %zu frames, %zu bytes\n", options.file.c_str(),
                 prepared.decoded->frames, prepared.decoded->image.size());
    return kCompleted;
}

// Lines of the ports files that were ignored, said once.
void sayPortsFileProblems(const Output& output) {
    if (!qEnvironmentVariableIsEmpty("J4_PORTS"))
        return;
    for (const QString& problem : readPortsFiles().problems)
        output.error(problem.toStdString());
}

int listPorts(const FlashOptions& options, const Output& output) {
    sayPortsFileProblems(output);
    if (options.portsFile) {
        const QString text = portsFileForPresentAdapters();
        // Redirected over a good ports file, an empty one would unpin every
        // number: said, and a failure for the shell's && to see.
        if (!text.contains(
                QRegularExpression(QStringLiteral("^\\d"), QRegularExpression::MultilineOption))) {
            output.error("No adapter with a USB socket name (/dev/serial/by-path) is plugged in: "
                         "there is nothing to pin, and no ports file is written.");
            return kPortFailed;
        }
        std::fputs(qPrintable(text), output.out());
        return kCompleted;
    }
    const auto ports = j4::listPorts();
    if (ports.empty())
        output.say("No serial ports found.");
    for (const auto& port : ports) {
        const char* source = port.source == PortDescription::Source::PortsFile     ? "ports file"
                             : port.source == PortDescription::Source::Environment ? "J4_PORTS"
                                                                                   : "system list";
        std::fprintf(output.out(), "%3d  %s  [%s]\n", port.number, qPrintable(port.text()), source);
        for (const auto& [kind, name] : {std::pair{"by-id", &port.byId}, {"by-path", &port.byPath}})
            if (!name->isEmpty())
                std::fprintf(output.out(), "       %-8s %s\n", kind, qPrintable(*name));
    }
    return kCompleted;
}

// Every device of a refused file is logged as refused: the log holds an
// attempt for each device, sent or not.
void logRefusal(const PreparedFile& prepared, const FlashOptions& options,
                const std::vector<Target>& targets, LogWriter& log, const Output& output) {
    for (const Target& target : targets) {
        UpdateReport report;
        report.outcome = prepared.refusal;
        report.text = prepared.text;
        report.detail = prepared.detail;
        report.filePath = options.file;
        report.device = target.request.device;
        report.portNumber = target.request.portNumber;
        report.startedAt = report.endedAt = std::chrono::system_clock::now();
        if (const std::string warning = log.append(report); !warning.empty())
            output.error(warning);
    }
}

// One device: its result as the last line, as scripts expect; a failure's
// detail just before it.
int reportOne(const UpdateReport& report, const Output& output) {
    if (report.completed()) {
        output.say(report.text);
        return kCompleted;
    }
    if (!report.detail.empty())
        output.error(report.detail);
    output.error(report.text);
    return exitStatus(report.outcome);
}

// Several devices: a summary on standard output; the status of the first
// that failed, in the order given.
int summarize(const std::vector<Target>& targets, const std::vector<UpdateReport>& reports,
              const Output& output) {
    output.say("Summary:");
    int status = kCompleted;
    std::string failed;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const UpdateReport& r = reports[i];
        const std::string number =
            r.portNumber ? "port " + std::to_string(*r.portNumber) : std::string("-");
        // A device whose port never opened was sent nothing: no byte count.
        const std::string bytes = r.transfer.totalBytes == 0
                                      ? std::string("nothing sent")
                                      : std::to_string(r.transfer.acceptedBytes) + " of " +
                                            std::to_string(r.transfer.totalBytes) + " bytes";
        std::fprintf(output.out(), "  %-8s %s  %s  %s  %.1f s\n", number.c_str(), r.device.c_str(),
                     r.text.c_str(), bytes.c_str(),
                     std::chrono::duration<double>(r.duration).count());
        if (r.completed())
            continue;
        if (!r.detail.empty())
            std::fprintf(output.out(), "           %s\n", r.detail.c_str());
        failed += (failed.empty() ? "" : ", ") + targets[i].label;
        if (status == kCompleted)
            status = exitStatus(r.outcome);
    }
    const std::size_t failures = static_cast<std::size_t>(std::count_if(
        reports.begin(), reports.end(), [](const auto& r) { return !r.completed(); }));
    if (failures == 0)
        output.say("All " + std::to_string(reports.size()) + " devices completed.");
    else
        output.say(std::to_string(failures) + " of " + std::to_string(reports.size()) +
                   " devices failed: " + failed);
    return status;
}

// Progress and the log, as each device's thread reports.
class RunListener : public DeviceListener {
public:
    RunListener(ProgressBoard& board, LogWriter& log, const Output& output)
        : board_(board), log_(log), output_(output) {}
    void started(std::size_t device, std::size_t total) override { board_.started(device, total); }
    void sending(std::size_t device, const TransferState& state) override {
        board_.sending(device, state);
    }
    void answered(std::size_t device, const TransferState& state,
                  std::chrono::steady_clock::duration sinceSent) override {
        board_.answered(device, state, sinceSent);
    }
    void finished(std::size_t device, const UpdateReport& report) override {
        board_.finished(device, report);
        if (const std::string warning = log_.append(report); !warning.empty())
            output_.error(warning);
    }

protected:
    const Output& output() const { return output_; }

private:
    ProgressBoard& board_;
    LogWriter& log_;
    const Output& output_;
};

// The links of a run: the test's own, or the real ones.
LinkMaker linksFor(const FlashContext& context, const FlashOptions& options) {
    return [&context, timeout = options.timeout, tls = options.tls](const std::string& device) {
        return context.makeLink ? context.makeLink(device, timeout)
                                : makeLink(device, timeout, tls);
    };
}

int update(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
           const Output& output) {
    sayPortsFileProblems(output);
    TargetError error;
    const auto targets = resolveTargets(options.targets, options.file, error);
    if (!targets && error.usage) {
        std::fprintf(output.err(), "j4_flash: %s\n(try --help)\n", error.text.c_str());
        return kUsage;
    }
    if (!targets) {
        output.error(error.text);
        output.error(linkErrorText(LinkError::PortNotFound, {}));
        return kPortFailed;
    }
    LogWriter log(options.logPath);
    // File first: decoded once for every device, before any port is opened.
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok()) {
        if (prepared.refusal != UpdateOutcome::Interrupted)
            logRefusal(prepared, options, *targets, log, output);
        return exitStatus(prepared.refusal);
    }
    using Mode = ProgressBoard::Mode;
    const Mode mode = options.quiet           ? Mode::Quiet
                      : context.errIsTerminal ? Mode::Terminal
                                              : Mode::Lines;
    std::vector<std::string> labels;
    for (const Target& target : *targets)
        labels.push_back(target.label);
    ProgressBoard board(std::move(labels), mode, options.verbose, output.err());
    RunListener listener(board, log, output);
    const LinkMaker makeLink = linksFor(context, options);
    const auto reports = runOnDevices(prepared.decoded, *targets, makeLink, listener, stop);
    for (std::size_t i = 0; i < reports.size(); ++i)
        if (!reports[i].adapterNote.empty())
            output.error((*targets)[i].label + ": " + reports[i].adapterNote);
    return reports.size() == 1 ? reportOne(reports.front(), output)
                               : summarize(*targets, reports, output);
}

// A station's voice: a result line besides the log line per attempt (its
// board is quiet but for the trace with --verbose).
class StationListener final : public RunListener {
public:
    using RunListener::RunListener;
    void finished(std::size_t slot, const UpdateReport& r) override {
        output().say(attemptLine(r));
        RunListener::finished(slot, r);
    }
    void notice(const std::string& text) override { output().error(text); }
};

// Until the stop: then a summary per slot. 0 when every attempt completed,
// else the status of the first failure; 130 only when a transfer was cut.
int watch(const FlashOptions& options, const FlashContext& context, const std::atomic<bool>& stop,
          const Output& output) {
    std::string problem;
    for (const TargetName& slot : options.targets)
        if (problem.empty())
            problem = slotProblem(slot);
    if (problem.empty())
        problem = sameDeviceProblem(options.targets);
    if (!problem.empty()) {
        std::fprintf(output.err(), "j4_flash: %s\n(try --help)\n", problem.c_str());
        return kUsage;
    }
    sayPortsFileProblems(output);
    const PreparedFile prepared = prepare(options, stop, output);
    if (!prepared.ok())
        return exitStatus(prepared.refusal);
    LogWriter log(options.logPath);
    std::vector<std::string> labels;
    for (std::size_t i = 1; i <= options.targets.size(); ++i)
        labels.push_back("slot " + std::to_string(i));
    ProgressBoard board(std::move(labels), ProgressBoard::Mode::Quiet, options.verbose,
                        output.err());
    StationListener listener(board, log, output);
    output.say("Watching " + std::to_string(options.targets.size()) +
               " slots; Ctrl+C ends the station.");
    const LinkMaker makeLink = linksFor(context, options);
    const StationResult result =
        runStation(prepared.decoded, options.targets, options.file, makeLink, listener, stop);
    output.say("Station summary:");
    for (std::size_t i = 0; i < result.tallies.size(); ++i)
        output.say("  " + tallyLine(i, options.targets[i], result.tallies[i]));
    if (result.firstFailure)
        return exitStatus(*result.firstFailure);
    return result.cutByStop ? kInterrupted : kCompleted;
}

} // namespace

int runFlash(const std::vector<std::string>& arguments, const FlashContext& context) {
    const RawArguments raw(arguments);
    const Output output(context);
    Parser p;
    if (arguments.size() <= 1) {
        // Nothing asked: how to ask, on standard error, as a usage error.
        const QString help = p.parser.helpText();
        std::fprintf(context.err, "%s\n(try --help)\n",
                     qPrintable(help.left(help.indexOf(QStringLiteral("\n\n")))));
        return kUsage;
    }
    QString error;
    const auto options = parse(p, raw, error);
    if (!options) {
        std::fprintf(context.err, "j4_flash: %s\n(try --help)\n", qPrintable(error));
        return kUsage;
    }
    using Action = FlashOptions::Action;
    switch (options->action) {
    case Action::Help:
        std::fputs(qPrintable(p.parser.helpText()), context.out);
        std::fputs(kEpilogue, context.out);
        return kCompleted;
    case Action::Version:
        output.say(std::string("j4_flash ") + kVersion);
        return kCompleted;
    case Action::ListPorts:
        return listPorts(*options, output);
    default:
        break;
    }
    const std::atomic<bool>& stop =
        context.stop != nullptr ? *context.stop : installInterruptHandlers();
    if (options->action == Action::Watch)
        return watch(*options, context, stop, output);
    return options->action == Action::Check ? check(*options, stop, output)
                                            : update(*options, context, stop, output);
}

} // namespace j4::cli
