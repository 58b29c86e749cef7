// j4_flash: the updater from the command line. Checks an update file, or
// sends it the same way the window does: open the port, flush its input,
// decode and validate the file, run the transfer, one result text.

#include "port_names.h"
#include "qt_serial_link.h"
#include "transfer.h"
#include "update_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

enum ExitStatus {
    kCompleted = 0,
    kUsage = 2,
    kFileRefused = 3,
    kPortFailed = 4,
    kReadFailure = 5,
    kCommunicationError = 6,
    kCrcError = 7,
    kInterrupted = 130,
};

std::atomic<bool> interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int) {
    interruptRequested = true;
}

j4::FrameImage image;

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File openUpdateFile(const QString& path) {
    return File(std::fopen(QFile::encodeName(path).constData(), "rb"), &std::fclose);
}

void say(std::FILE* to, const std::string& text) {
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
}

// A bar with percent, bytes, rate and time left, redrawn in place.
class ProgressBar {
public:
    ProgressBar(const j4::TransferCounters& counters, std::int32_t total)
        : counters_(counters), total_(total) {
        clock_.start();
    }

    void draw(bool force = false) {
        const qint64 elapsed = clock_.elapsed();
        if (!force && elapsed - lastDrawMs_ < 100)
            return;
        lastDrawMs_ = elapsed;
        const std::int32_t sent = counters_.bytesSent;
        const int percent = total_ > 0 ? static_cast<int>(std::int64_t{sent} * 100 / total_) : 100;
        constexpr int kWidth = 30;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        const double seconds = static_cast<double>(elapsed) / 1000.0;
        const double rate = seconds > 0 ? sent / seconds : 0;
        const long left = rate > 0 ? static_cast<long>((total_ - sent) / rate + 0.5) : 0;
        std::fprintf(stderr, "\r[%s] %3d%%  %d/%d bytes  %.1f kB/s  %ld:%02ld left ", bar, percent,
                     sent, total_, rate / 1000.0, left / 60, left % 60);
        std::fflush(stderr);
    }

    void finish() {
        draw(true);
        std::fputc('\n', stderr);
    }

private:
    const j4::TransferCounters& counters_;
    std::int32_t total_;
    QElapsedTimer clock_;
    qint64 lastDrawMs_ = -1000;
};

int check(const QString& path, const QString& imageOut) {
    File file = openUpdateFile(path);
    if (!file) {
        say(stderr, "File open error!");
        return kFileRefused;
    }
    const j4::LoadResult result = j4::loadUpdateFile(file.get(), image);
    if (!result.ok()) {
        say(stderr, j4::loadErrorText(result));
        return kFileRefused;
    }
    if (!imageOut.isEmpty()) {
        File out(std::fopen(QFile::encodeName(imageOut).constData(), "wb"), &std::fclose);
        const auto bytes = image.bytes();
        if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
            say(stderr, "Cannot write " + imageOut.toStdString() + ": " + std::strerror(errno));
            return kUsage;
        }
    }
    std::printf("%s: %d frames, %d bytes\n", qPrintable(path), result.frames, image.bufferSize);
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

int send(const QString& path, int portNumber, const QString& device, int timeoutMs, bool quiet) {
    File file = openUpdateFile(path);
    if (!file) {
        say(stderr, "File open error!");
        return kFileRefused;
    }
    j4::QtSerialLink link(timeoutMs);
    link.setInterruptFlag(&interruptRequested);
    const int opened = device.isEmpty() ? link.open(portNumber) : link.openDevice(device);
    if (opened < 0) {
        if (!link.port().device.isEmpty())
            std::fprintf(stderr, "Port: %s\n", qPrintable(link.port().text()));
        say(stderr, link.errorText(opened));
        return kPortFailed;
    }
    link.flushInput();
    const j4::LoadResult loaded = j4::loadUpdateFile(file.get(), image);
    if (!loaded.ok()) {
        say(stderr, j4::loadErrorText(loaded));
        return kFileRefused;
    }
    j4::TransferCounters counters;
    std::unique_ptr<ProgressBar> bar;
    if (!quiet && ::isatty(STDERR_FILENO))
        bar = std::make_unique<ProgressBar>(counters, image.bufferSize);
    const j4::TransferOutcome outcome = j4::runTransfer(image, link, counters, [&](int) {
        if (bar)
            bar->draw();
    });
    if (bar)
        bar->finish();
    const std::string text = j4::outcomeText(outcome, link);
    if (outcome.completed()) {
        say(stdout, text);
        return kCompleted;
    }
    say(stderr, j4::outcomeDetail(outcome, counters, image));
    say(stderr, text);
    switch (outcome.kind) {
    case j4::TransferOutcome::Kind::CommunicationError:
        return kCommunicationError;
    case j4::TransferOutcome::Kind::CrcError:
        return kCrcError;
    default:
        return outcome.ComErr == j4::code(j4::SerialError::Interrupted) ? kInterrupted
                                                                        : kReadFailure;
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("j4_flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sends a J4 update file (.j4u) to a J4 device over a serial port, or checks the file.\n"
        "\n"
        "  j4_flash --check FILE [--image-out PATH]\n"
        "  j4_flash --port N FILE        (N as in --list-ports)\n"
        "  j4_flash --device PATH FILE\n"
        "  j4_flash --list-ports\n"
        "\n"
        "Exit status: 0 completed or file valid; 2 usage error; 3 file refused or cannot be\n"
        "opened; 4 port cannot be opened; 5 no answer or port failure; 6 communication error;\n"
        "7 CRC error; 130 interrupted (Ctrl+C or SIGTERM).\n"
        "The J4_PORTS environment variable (device paths separated by ':') replaces the\n"
        "system's list of numbered ports."));
    const QCommandLineOption helpOption = parser.addHelpOption();
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
            .arg(j4::QtSerialLink::kDefaultAnswerTimeoutMs),
        QStringLiteral("MS"));
    const QCommandLineOption listOption(QStringLiteral("list-ports"),
                                        QStringLiteral("List the numbered serial ports."));
    const QCommandLineOption quietOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("No progress bar."));
    parser.addOptions({checkOption, imageOutOption, portOption, deviceOption, timeoutOption,
                       listOption, quietOption});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The update file."));

    const auto usageError = [&](const QString& message) {
        std::fprintf(stderr, "j4_flash: %s\n(try --help)\n", qPrintable(message));
        return kUsage;
    };
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return kCompleted;
    }
    if (parser.isSet(listOption))
        return listPorts();

    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usageError(QStringLiteral("name exactly one update file"));
    if (parser.isSet(checkOption))
        return check(files.first(), parser.value(imageOutOption));
    if (parser.isSet(imageOutOption))
        return usageError(QStringLiteral("--image-out goes with --check"));

    if (parser.isSet(portOption) == parser.isSet(deviceOption))
        return usageError(QStringLiteral("give either --port N or --device PATH"));
    int portNumber = 0;
    if (parser.isSet(portOption)) {
        bool ok = false;
        portNumber = parser.value(portOption).toInt(&ok);
        if (!ok || portNumber < j4::kFirstPortNumber || portNumber > j4::kLastPortNumber)
            return usageError(QStringLiteral("--port takes a number from 1 to 255"));
    }
    int timeoutMs = j4::QtSerialLink::kDefaultAnswerTimeoutMs;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        timeoutMs = parser.value(timeoutOption).toInt(&ok);
        if (!ok || timeoutMs <= 0)
            return usageError(QStringLiteral("--timeout takes a positive number of milliseconds"));
    }

    // No SA_RESTART: a blocked drain or wait must come back to see the flag.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    return send(files.first(), portNumber, parser.value(deviceOption), timeoutMs,
                parser.isSet(quietOption));
}
