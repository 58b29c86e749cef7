// j4_flash: the updater from the command line. Checks an update file, or runs
// the same update session as the window and prints its report.

#include "interrupts.h"
#include "j4_version.h"
#include "port_names.h"
#include "qt_serial_link.h"
#include "update_session.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
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

// A bar with percent, bytes, rate and time left, redrawn in place.
class ProgressBar {
public:
    ProgressBar() { clock_.start(); }

    void draw(const j4::TransferState& state, bool force = false) {
        const qint64 elapsed = clock_.elapsed();
        if (!force && elapsed - lastDrawMs_ < 100)
            return;
        lastDrawMs_ = elapsed;
        const int percent = state.percent();
        constexpr int kWidth = 30;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        const double seconds = static_cast<double>(elapsed) / 1000.0;
        const auto sent = static_cast<double>(state.acceptedBytes);
        const double rate = seconds > 0 ? sent / seconds : 0;
        const long left =
            rate > 0
                ? static_cast<long>((static_cast<double>(state.totalBytes) - sent) / rate + 0.5)
                : 0;
        std::fprintf(stderr, "\r[%s] %3d%%  %zu/%zu bytes  %.1f kB/s  %ld:%02ld left ", bar,
                     percent, state.acceptedBytes, state.totalBytes, rate / 1000.0, left / 60,
                     left % 60);
        std::fflush(stderr);
        drawn_ = true;
    }

    void finish(const j4::TransferState& state) {
        if (!drawn_)
            return;
        draw(state, true);
        std::fputc('\n', stderr);
    }

private:
    QElapsedTimer clock_;
    qint64 lastDrawMs_ = -1000;
    bool drawn_ = false;
};

int writeImage(const std::vector<std::uint8_t>& image, const QString& path) {
    const auto fail = [&](int error) {
        say(stderr, "Cannot write " + path.toStdString() + ": " + std::strerror(error));
        return kUsage;
    };
    std::FILE* out = std::fopen(QFile::encodeName(path).constData(), "wb");
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

int check(const QString& path, const QString& imageOut, const std::atomic<bool>& stop) {
    std::string reason;
    const auto loaded =
        j4::loadUpdateFile(path.toStdString(), j4::UpdateFileReader::Kinds::Any, reason, &stop);
    if (stop)
        return kInterrupted;
    if (!loaded) {
        say(stderr, j4::fileOpenDetail(path.toStdString(), reason));
        say(stderr, j4::kFileOpenErrorText);
        return kFileRefused;
    }
    if (!loaded->ok()) {
        say(stderr, j4::loadErrorText(*loaded));
        return kFileRefused;
    }
    if (!imageOut.isEmpty()) {
        if (const int status = writeImage(loaded->image, imageOut); status != kCompleted)
            return status;
    }
    std::printf("%s: %zu frames, %zu bytes\n", qPrintable(path), loaded->frames,
                loaded->image.size());
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

int send(j4::UpdateRequest request, std::chrono::milliseconds timeout, bool quiet,
         const std::atomic<bool>& stop) {
    request.fileKinds = j4::UpdateFileReader::Kinds::Any;
    j4::QtSerialLink link(timeout);
    j4::UpdateSession session(link, &stop);
    std::unique_ptr<ProgressBar> bar;
    if (!quiet && ::isatty(STDERR_FILENO))
        bar = std::make_unique<ProgressBar>();
    j4::UpdateListener listener;
    if (bar)
        listener.transfer = [&](j4::TransferEvent, const j4::TransferState& s) { bar->draw(s); };
    const j4::UpdateReport report = session.run(request, listener);
    if (bar)
        bar->finish(report.where);
    if (!report.adapterNote.empty())
        say(stderr, report.adapterNote);
    if (report.completed()) {
        say(stdout, report.text);
        return kCompleted;
    }
    if (!report.detail.empty() && report.detail != report.adapterNote)
        say(stderr, report.detail);
    say(stderr, report.text);
    return exitStatus(report.outcome);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("j4_flash"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(j4::kVersion));

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
        "7 CRC error; 130 interrupted (Ctrl+C, SIGTERM or SIGHUP).\n"
        "The J4_PORTS environment variable (device paths separated by ':') replaces the\n"
        "system's list of numbered ports."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
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
    if (parser.isSet(versionOption)) {
        std::printf("j4_flash %s\n", j4::kVersion);
        return kCompleted;
    }
    if (parser.isSet(listOption))
        return listPorts();

    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return usageError(QStringLiteral("name exactly one update file"));
    const std::atomic<bool>& stop = j4::flash::installInterruptHandlers();
    if (parser.isSet(checkOption))
        return check(files.first(), parser.value(imageOutOption), stop);
    if (parser.isSet(imageOutOption))
        return usageError(QStringLiteral("--image-out goes with --check"));

    if (parser.isSet(portOption) == parser.isSet(deviceOption))
        return usageError(QStringLiteral("give either --port N or --device PATH"));
    j4::UpdateRequest request;
    if (parser.isSet(portOption)) {
        bool ok = false;
        const int portNumber = parser.value(portOption).toInt(&ok);
        if (!ok || portNumber < j4::kFirstPortNumber || portNumber > j4::kLastPortNumber)
            return usageError(QStringLiteral("--port takes a number from 1 to 255"));
        request = j4::requestForPort(files.first(), portNumber);
    } else {
        request = j4::requestForDevice(files.first(), parser.value(deviceOption));
    }
    std::chrono::milliseconds timeout = j4::SerialLink::kDefaultAnswerTimeout;
    if (parser.isSet(timeoutOption)) {
        bool ok = false;
        const int ms = parser.value(timeoutOption).toInt(&ok);
        if (!ok || ms <= 0)
            return usageError(QStringLiteral("--timeout takes a positive number of milliseconds"));
        timeout = std::chrono::milliseconds{ms};
    }
    return send(std::move(request), timeout, parser.isSet(quietOption), stop);
}
