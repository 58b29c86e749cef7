// j4_flash: the updater from the command line. Checks an update file, or runs
// the same update session as the window and prints its report.

#include "interrupts.h"
#include "j4_version.h"
#include "link_factory.h"
#include "port_names.h"
#include "progress.h"
#include "update_log.h"
#include "update_session.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

namespace flash = j4::flash;

enum ExitStatus {
    kCompleted = 0,
    kUsage = 2,
    kFileRefused = 3,
    kPortFailed = 4,
    kLinkFailed = 5,
    kCommunicationError = 6,
    kCrcError = 7,
    kInterrupted = 130,
};

int exitStatus(j4::UpdateOutcome outcome) {
    using j4::UpdateOutcome;
    switch (outcome) {
    case UpdateOutcome::Completed:
        return kCompleted;
    case UpdateOutcome::FileUnreadable:
    case UpdateOutcome::FileRefused:
        return kFileRefused;
    case UpdateOutcome::PortFailed:
        return kPortFailed;
    case UpdateOutcome::LinkFailed:
        return kLinkFailed;
    case UpdateOutcome::UnexpectedAnswer:
    case UpdateOutcome::AnswersOutOfStep:
        return kCommunicationError;
    case UpdateOutcome::RejectedFourTimes:
        return kCrcError;
    case UpdateOutcome::Interrupted:
        return kInterrupted;
    }
    return kLinkFailed;
}

void say(std::FILE* to, const std::string& text) {
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
}

// Every error line starts with the program's name, as scripts and logs
// expect of a Unix tool.
void sayError(const std::string& text) {
    say(stderr, "j4_flash: " + text);
}

// Names as the caller gave them. Qt decodes the arguments as UTF-8, which
// replaces what is not; the system needs the bytes.
class RawArguments {
public:
    RawArguments(int argc, char** argv) : raw_(argv, argv + argc) {}

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
    std::vector<std::string> raw_;
};

int writeImage(const std::vector<std::uint8_t>& image, const std::string& path) {
    const auto fail = [&](int error) {
        sayError("Cannot write " + path + ": " + std::strerror(error));
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

int interrupted() {
    sayError(j4::linkErrorText(j4::LinkError::Interrupted, {}));
    return kInterrupted;
}

// Reads and decodes FILE; says why not, once, when it cannot be used.
std::optional<j4::LoadResult> decode(const std::string& path, const std::atomic<bool>& stop,
                                     int& status, std::string* refusalDetail = nullptr) {
    std::string reason;
    auto loaded = j4::loadUpdateFile(path, j4::UpdateFileReader::Kinds::Any, reason, &stop);
    if (stop) {
        status = interrupted();
        return std::nullopt;
    }
    if (!loaded || !loaded->ok()) {
        const std::string detail = loaded ? path : j4::fileOpenDetail(path, reason);
        if (!loaded)
            sayError(detail);
        sayError(loaded ? j4::loadErrorText(*loaded) : j4::kFileOpenErrorText);
        if (refusalDetail != nullptr)
            *refusalDetail = detail;
        status = kFileRefused;
    }
    return loaded;
}

int check(const std::string& path, const std::string& imageOut, const std::atomic<bool>& stop) {
    int status = kCompleted;
    const auto loaded = decode(path, stop, status);
    if (!loaded || !loaded->ok())
        return status;
    if (!imageOut.empty()) {
        if (const int written = writeImage(loaded->image, imageOut); written != kCompleted)
            return written;
    }
    std::printf("%s: %zu frames, %zu bytes\n", path.c_str(), loaded->frames, loaded->image.size());
    return kCompleted;
}

int listPorts() {
    const auto ports = j4::listPorts();
    if (ports.empty())
        std::printf("No serial ports found.\n");
    for (const auto& port : ports)
        std::printf("%3d  %s\n", port.number, qPrintable(port.text()));
    return kCompleted;
}

// One device of the run: what to send it to and what came of it.
struct Target {
    j4::UpdateRequest request;
    std::string label;
    j4::UpdateReport report;
};

struct RunOptions {
    std::chrono::milliseconds timeout = j4::SerialLink::kDefaultAnswerTimeout;
    bool quiet = false;
    bool verbose = false;
    std::string logPath;
};

// The log, shared by the devices' threads; a failure is said once.
class LogWriter {
public:
    explicit LogWriter(const std::string& path) : log_(path) {}
    void append(const j4::UpdateReport& report) {
        if (log_.path().empty())
            return;
        const j4::LogOrigin origin{j4::kVersion, QSysInfo::machineHostName().toStdString()};
        const std::string error = log_.append(report, origin);
        if (!error.empty() && !failed_.exchange(true))
            say(stderr, "j4_flash: the update log " + log_.path() + " cannot be written (" + error +
                            "); the update goes on without it.");
    }

private:
    j4::UpdateLog log_;
    std::atomic<bool> failed_{false};
};

int sendAll(const std::string& path, std::vector<Target>& targets, const RunOptions& options,
            const std::atomic<bool>& stop) {
    LogWriter log(options.logPath);
    // Decoded once, before any port is opened (standard input can be read
    // only once); every device's thread only reads it.
    int status = kCompleted;
    std::string refusal;
    auto loaded = decode(path, stop, status, &refusal);
    if (stop)
        return status;
    if (!loaded || !loaded->ok()) {
        for (Target& target : targets) {
            j4::UpdateReport& report = target.report;
            report.outcome =
                loaded ? j4::UpdateOutcome::FileRefused : j4::UpdateOutcome::FileUnreadable;
            report.text = loaded ? j4::loadErrorText(*loaded) : j4::kFileOpenErrorText;
            report.detail = refusal;
            report.filePath = path;
            report.device = target.request.device;
            report.portNumber = target.request.portNumber;
            report.startedAt = report.endedAt = std::chrono::system_clock::now();
            log.append(report);
        }
        return status;
    }
    const auto decoded = std::make_shared<const j4::DecodedFile>(
        j4::DecodedFile{std::move(loaded->image), loaded->frames, std::move(loaded->sha256)});

    using Mode = flash::ProgressBoard::Mode;
    const Mode mode = options.quiet             ? Mode::Quiet
                      : ::isatty(STDERR_FILENO) ? Mode::Terminal
                                                : Mode::Lines;
    std::vector<std::string> labels;
    for (const Target& target : targets)
        labels.push_back(target.label);
    flash::ProgressBoard board(std::move(labels), mode, options.verbose, stderr);

    // A thread, a link and a session of its own for each device: one device's
    // failure never stops or slows another. QThreads, as the serial library
    // expects of the threads that open its ports.
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        threads.emplace_back(QThread::create([&, i] {
            Target& target = targets[i];
            target.request.decoded = decoded;
            auto link = j4::makeLink(target.request.device, options.timeout);
            j4::UpdateSession session(*link, &stop);
            std::chrono::steady_clock::time_point sentAt;
            j4::UpdateListener listener;
            listener.stage = [&](j4::UpdateStage stage, const j4::TransferState& state) {
                if (stage == j4::UpdateStage::Transferring)
                    board.started(i, state.totalBytes);
            };
            listener.transfer = [&](j4::TransferEvent event, const j4::TransferState& state) {
                if (event == j4::TransferEvent::Sending) {
                    sentAt = std::chrono::steady_clock::now();
                    board.sending(i, state);
                } else {
                    board.answered(i, state, std::chrono::steady_clock::now() - sentAt);
                }
            };
            target.report = session.run(target.request, listener);
            board.finished(i, target.report);
            log.append(target.report);
        }));
        threads.back()->start();
    }
    for (const auto& thread : threads)
        thread->wait();

    for (const Target& target : targets)
        if (!target.report.adapterNote.empty())
            sayError(target.label + ": " + target.report.adapterNote);
    if (targets.size() == 1) {
        // One device: its result as the last line, as scripts expect; a
        // failure's detail just before it.
        const j4::UpdateReport& report = targets.front().report;
        if (report.completed()) {
            say(stdout, report.text);
            return kCompleted;
        }
        if (!report.detail.empty())
            sayError(report.detail);
        sayError(report.text);
        return exitStatus(report.outcome);
    }

    std::printf("Summary:\n");
    status = kCompleted;
    std::vector<std::string> failed;
    for (const Target& target : targets) {
        const j4::UpdateReport& r = target.report;
        const std::string number =
            r.portNumber ? "port " + std::to_string(*r.portNumber) : std::string("-");
        std::printf("  %-8s %s  %s  %zu of %zu bytes  %.1f s\n", number.c_str(), r.device.c_str(),
                    r.text.c_str(), r.where.acceptedBytes, r.where.totalBytes,
                    std::chrono::duration<double>(r.duration).count());
        if (!r.completed()) {
            if (!r.detail.empty())
                std::printf("           %s\n", r.detail.c_str());
            failed.push_back(target.label);
            if (status == kCompleted)
                status = exitStatus(r.outcome);
        }
    }
    if (failed.empty()) {
        std::printf("All %zu devices completed.\n", targets.size());
    } else {
        std::string names;
        for (const std::string& name : failed)
            names += (names.empty() ? "" : ", ") + name;
        std::printf("%zu of %zu devices failed: %s\n", failed.size(), targets.size(),
                    names.c_str());
    }
    std::fflush(stdout);
    return status;
}

// Adds the ports of "N" or "N-M"; false when `value` is neither.
bool addPortRange(const QString& value, const std::string& file, std::vector<Target>& targets) {
    const QStringList bounds = value.split(QLatin1Char('-'));
    bool okFirst = false;
    bool okLast = true;
    const int first = bounds.value(0).toInt(&okFirst);
    const int last = bounds.size() == 2 ? bounds[1].toInt(&okLast) : first;
    if (bounds.size() > 2 || !okFirst || !okLast || first < j4::kFirstPortNumber ||
        last > j4::kLastPortNumber || last < first)
        return false;
    for (int number = first; number <= last; ++number) {
        j4::UpdateRequest request = j4::requestForPort(file, number);
        const std::string label =
            request.device.empty() ? "port " + std::to_string(number) : request.device;
        targets.push_back({std::move(request), label, {}});
    }
    return true;
}

// --port and --device in the order given, ranges (--port 1-8) spread out.
// The parser lists every option in the order met, once per use: the values
// of --port and of --device are taken from there in turn.
std::optional<std::vector<Target>> targetsFromOptions(const QCommandLineParser& parser,
                                                      const RawArguments& raw,
                                                      const std::string& file, QString& error) {
    const QStringList ports = parser.values(QStringLiteral("port"));
    const QStringList devices = parser.values(QStringLiteral("device"));
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    std::vector<Target> targets;
    for (const QString& name : parser.optionNames()) {
        if (name == QLatin1String("device")) {
            const std::string device = raw.bytesOf(devices.value(nextDevice++));
            targets.push_back({j4::requestForDevice(file, device), device, {}});
        } else if (name == QLatin1String("port")) {
            if (!addPortRange(ports.value(nextPort++), file, targets)) {
                error =
                    QStringLiteral("--port takes a number from 1 to 255, or a range such as 1-8");
                return std::nullopt;
            }
        }
    }
    // The same device twice would be two transfers fighting over one line.
    std::map<std::string, std::string> seen;
    for (const Target& target : targets) {
        if (target.request.device.empty())
            continue;
        const std::string key = j4::deviceKey(target.request.device);
        if (const auto [at, fresh] = seen.emplace(key, target.label); !fresh) {
            error =
                QStringLiteral("%1 and %2 are the same device")
                    .arg(QString::fromStdString(at->second), QString::fromStdString(target.label));
            return std::nullopt;
        }
    }
    return targets;
}

} // namespace

int main(int argc, char** argv) {
    const RawArguments raw(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("j4_flash"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(j4::kVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends a J4 update file (.j4u) to J4 devices over serial ports, or checks the file.\n"
        "\n"
        "  j4_flash --check FILE [--image-out PATH]\n"
        "  j4_flash --port N FILE        (N as in --list-ports; 1-8 for a range)\n"
        "  j4_flash --device PATH FILE   (PATH may be rfc2217://HOST:PORT)\n"
        "  j4_flash --list-ports\n"
        "--port and --device may be given several times: the devices are updated at once.\n"
        "FILE - reads the update file from standard input.\n"
        "\n"
        "Exit status: 0 completed (every device) or file valid; 2 usage error; 3 file refused\n"
        "or cannot be opened; 4 port cannot be opened; 5 no answer or port failure;\n"
        "6 communication error; 7 CRC error; 130 interrupted (Ctrl+C, SIGTERM or SIGHUP).\n"
        "With several devices, the status of the first that failed, in the order given.\n"
        "The J4_PORTS environment variable (device paths or rfc2217://HOST:PORT, separated\n"
        "by ':') replaces the system's list of numbered ports. J4_UPDATE_LOG=FILE appends\n"
        "a JSON line per attempt to FILE, as --log does."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption(
        QStringList{QStringLiteral("V"), QStringLiteral("version")},
        QStringLiteral("Print the version."));
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("Decode and validate FILE only; print "
                                                        "its frames and bytes."));
    const QCommandLineOption imageOutOption(
        QStringLiteral("image-out"),
        QStringLiteral("With --check: write the decoded image to PATH."), QStringLiteral("PATH"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Send FILE to port number N (1..255)."),
                                        QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("Send FILE to the serial device at PATH."),
                                          QStringLiteral("PATH"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"),
        QStringLiteral("Answer time-out in milliseconds (default %1).")
            .arg(j4::SerialLink::kDefaultAnswerTimeout.count()),
        QStringLiteral("MS"));
    const QCommandLineOption listOption(QStringLiteral("list-ports"),
                                        QStringLiteral("List the numbered serial ports."));
    const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("No progress."));
    const QCommandLineOption verboseOption(
        QStringList{QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("A line per transmission: device, frame, offset, size, answer, rejects, "
                       "milliseconds to the answer."));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append a JSON line per attempt to FILE."),
                                       QStringLiteral("FILE"));
    parser.addOptions({versionOption, checkOption, imageOutOption, portOption, deviceOption,
                       timeoutOption, listOption, quietOption, verboseOption, logOption});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The update file."));

    const auto usageError = [&](const QString& message) {
        std::fprintf(stderr, "j4_flash: %s\n(try --help)\n", qPrintable(message));
        return kUsage;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    const bool alone = parser.optionNames().size() == 1 && parser.positionalArguments().isEmpty();
    for (const auto& [option, name] :
         {std::pair{&helpOption, "--help"}, std::pair{&versionOption, "--version"},
          std::pair{&listOption, "--list-ports"}}) {
        // Alone, or a script could take the exit status 0 for an update.
        if (parser.isSet(*option) && !alone)
            return usageError(QStringLiteral("%1 goes alone").arg(QLatin1String(name)));
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return kCompleted;
    }
    if (parser.isSet(versionOption)) {
        std::printf("j4_flash %s\n", j4::kVersion);
        return kCompleted;
    }
    if (parser.isSet(listOption))
        return listPorts();

    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usageError(QStringLiteral("name exactly one update file"));
    const std::string file = raw.bytesOf(files.first());
    const std::atomic<bool>& stop = j4::flash::installInterruptHandlers();
    if (parser.isSet(checkOption))
        return check(file, raw.bytesOf(parser.value(imageOutOption)), stop);
    if (parser.isSet(imageOutOption))
        return usageError(QStringLiteral("--image-out goes with --check"));

    if (!parser.isSet(portOption) && !parser.isSet(deviceOption))
        return usageError(QStringLiteral("give --port N or --device PATH"));
    QString error;
    auto targets = targetsFromOptions(parser, raw, file, error);
    if (!targets)
        return usageError(error);
    RunOptions options;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        const int ms = parser.value(timeoutOption).toInt(&ok);
        if (!ok || ms <= 0)
            return usageError(QStringLiteral("--timeout takes a positive number of milliseconds"));
        options.timeout = std::chrono::milliseconds{ms};
    }
    options.quiet = parser.isSet(quietOption);
    options.verbose = parser.isSet(verboseOption);
    options.logPath = parser.isSet(logOption) ? raw.bytesOf(parser.value(logOption))
                                              : qgetenv("J4_UPDATE_LOG").toStdString();
    return sendAll(file, *targets, options, stop);
}
