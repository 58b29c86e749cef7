// j4_flash end to end: the real program, the real port, the simulated device;
// and in process, its library with scripted links.

#include "fake_link.h"
#include "flash_command.h"
#include "j4_version.h"
#include "processes.h"
#include "transfer.h"
#include "tty_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace j4::testing;

namespace {

class FlashCli : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QByteArray image = makeImage(20, 200);
    QString file = writeUpdateFile(dir.filePath(QStringLiteral("update.j4u")), image);

    QString textFile(const char* name, const QByteArray& text) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        f.open(QIODevice::WriteOnly);
        f.write(text);
        return f.fileName();
    }
    ProgramResult flash(const QStringList& arguments, const QStringList& environment = {}) {
        return runProgram(flashPath(), arguments, environment);
    }
    // A run-time error line as j4_flash writes it.
    static std::string error(const std::string& text) { return "j4_flash: " + text; }
    // What a running program has written on one stream, once it holds
    // `text` (or the program ended, or a generous bound ran out).
    static QByteArray readUntil(QProcess& program, const QByteArray& text,
                                QProcess::ProcessChannel channel = QProcess::StandardOutput) {
        program.setReadChannel(channel);
        QByteArray said;
        QElapsedTimer clock;
        clock.start();
        while (!said.contains(text) && clock.elapsed() < 30000 &&
               program.state() == QProcess::Running) {
            program.waitForReadyRead(100);
            said += program.readAll();
        }
        return said;
    }
};

} // namespace

TEST_F(FlashCli, EveryOutcomeHasItsTextAndExitStatus) {
    struct Case {
        QStringList device;
        int exitCode;
        const char* lastLine;
    };
    const Case cases[] = {
        {{}, 0, "Update is completed."},
        {{"--reject", "3,4,5,6"}, 7, "CRC error. File damaged."},
        {{"--answer", "0x06@2"}, 6, "Communication error."},
        {{"--silent-from", "4"}, 5, "No answer from the device within 300 ms."},
        {{"--hangup-at", "4:50"}, 5, "The device or adapter was removed, or the line hung up."},
    };
    for (const Case& c : cases) {
        DevSim device(c.device);
        const ProgramResult r =
            flash({"--device", device.device(), "--timeout", "300", "-q", file});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.lastLine << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), c.exitCode == 0 ? c.lastLine : error(c.lastLine));
        if (c.exitCode == 0) {
            EXPECT_TRUE(device.capture() == image);
            EXPECT_TRUE(r.err.isEmpty()) << "-q: nothing but the result";
        }
    }
}

TEST_F(FlashCli, HeldOrForbiddenPortsAreRefused) {
    DevSim device;
    j4::TtyLink holder;
    ASSERT_EQ(holder.open(device.device().toStdString()), j4::LinkError::None);
    const ProgramResult r = flash({"--device", device.device(), file});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.lastLine().toStdString(), error("The serial port is in use by another program."));
    holder.close();

    // A real ser2net serving the device by a link of its own: while a client
    // is connected it holds the port, under a lock named after that link (or
    // none), and the device by its own name is refused before a byte is sent.
    const QString served = dir.filePath("by-path-link");
    ASSERT_TRUE(QFile::link(device.device(), served));
    {
        Ser2Net server(served);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(server.port()));
        ASSERT_TRUE(client.waitForConnected(10000));
        QElapsedTimer clock;
        clock.start();
        j4::TtyLink probe;
        while (probe.open(device.device().toStdString()) == j4::LinkError::None &&
               clock.elapsed() < 20000) {
            probe.close();
            QThread::msleep(20);
        }
        const QString pty = QFileInfo(device.device()).symLinkTarget();
        const ProgramResult held = flash({"--device", pty, file});
        EXPECT_EQ(held.exitCode, 4) << held.err.toStdString();
        EXPECT_TRUE(held.err.contains("The serial port is in use by ser2net (PID "))
            << held.err.toStdString();
    }
    EXPECT_TRUE(device.capture().isEmpty()) << "nothing reached the device";
    if (::geteuid() != 0)
        GTEST_SKIP() << "a port root may not open needs root to set up";
    // A port the user may not open: the detail says what to do.
    const QString pty = QFileInfo(device.device()).symLinkTarget();
    ASSERT_EQ(::chmod(QFile::encodeName(pty).constData(), 0600), 0);
    const ProgramResult refused = runProgram(
        QStringLiteral("bash"),
        {"-c",
         "setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" --device \"$1\" - <\"$2\"",
         flashPath(), pty, file});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_EQ(refused.lastLine().toStdString(), error("Permission denied for the serial port."));
    EXPECT_TRUE(refused.err.contains("'dialout' group")) << refused.err.toStdString();
}

TEST_F(FlashCli, AnAdapterThatStillDelaysAnswersIsNamedOnStandardError) {
    DevSim device;
    const QString pty = QFileInfo(device.device()).symLinkTarget();
    const QString tty = QFileInfo(pty).fileName();
    // A sysfs of its own in which the device's pseudo-terminal is a USB
    // adapter whose latency timer may not be changed.
    QTemporaryDir sysfs;
    const QString folder = sysfs.filePath(QStringLiteral("bus/usb-serial/devices/") + tty);
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile timer(folder + QStringLiteral("/latency_timer"));
    ASSERT_TRUE(timer.open(QIODevice::WriteOnly));
    timer.write("16\n");
    timer.close();
    timer.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);

    // Root may write to any file, so the program runs as an ordinary user,
    // from a copy that user can reach, on a port and files it may open.
    const auto openToAll = [](const QString& path, mode_t mode) {
        ::chmod(QFile::encodeName(path).constData(), mode);
    };
    for (QString d = folder; d.startsWith(sysfs.path()); d = QFileInfo(d).path())
        openToAll(d, 0755);
    openToAll(dir.path(), 0755);
    openToAll(file, 0644);
    const QString program = dir.filePath(QStringLiteral("j4_flash"));
    ASSERT_TRUE(QFile::copy(flashPath(), program));
    QString runner = program;
    QStringList arguments{"--device", pty, "-q", file};
    if (::geteuid() == 0) {
        openToAll(pty, 0666);
        runner = QStringLiteral("setpriv");
        arguments =
            QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + arguments;
    }
    const ProgramResult r = runProgram(runner, arguments, {"SYSFS_PATH=" + sysfs.path()});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err.trimmed().toStdString(),
              ("j4_flash: " + pty + ": The USB adapter " + tty +
               " keeps its latency timer at 16 ms and it could not be lowered: answers may be "
               "delayed up to 16 ms each.")
                  .toStdString());
    EXPECT_EQ(r.out.trimmed().toStdString(), "Update is completed.");
    EXPECT_TRUE(device.capture() == image);
    ASSERT_TRUE(timer.open(QIODevice::ReadOnly));
    EXPECT_EQ(timer.readAll(), "16\n");
}

TEST_F(FlashCli, AnswersOutOfStepAreNeverTakenForSuccess) {
    // The byte too many comes with an answer (caught before the next frame),
    // or 20 ms later, while the next answer is awaited (caught at the latest
    // by the guard after the last frame).
    struct Case {
        QStringList device;
        bool sameGulp;
    };
    const Case cases[] = {
        {{"--stray", "0x11@1", "--reject", "2", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x22@1", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x55,0x66,0x77@3", "--stray-delay-us", "0"}, true},
        {{"--stray", "0x11@1", "--reject", "2"}, false},
        {{"--stray", "0x22@1"}, false},
        {{"--stray", "0x11@20"}, false},
        // A slow device: its own answer to the last frame comes after a
        // fixed guard would have ended.
        {{"--delay-us", "100000", "--stray", "0x11@1", "--stray-delay-us", "1000", "--reject",
          "20"},
         false},
    };
    for (const Case& c : cases) {
        DevSim device(c.device);
        const ProgramResult r = flash({"--device", device.device(), "-q", file});
        const std::string what = c.device.join(' ').toStdString();
        EXPECT_EQ(r.exitCode, 6) << what << '\n' << r.err.toStdString();
        EXPECT_EQ(r.lastLine().toStdString(), error("Communication error.")) << what;
        EXPECT_TRUE(r.err.contains("answer no frame") || r.err.contains("answers no frame"))
            << r.err.toStdString();
        if (c.sameGulp) {
            // Caught before anything more was sent: the device holds exactly
            // what the host says was accepted.
            const QRegularExpression accepted(QStringLiteral("(\\d+) of \\d+ bytes were accepted"));
            const auto match = accepted.match(r.err);
            ASSERT_TRUE(match.hasMatch()) << r.err.toStdString();
            device.stop();
            EXPECT_TRUE(device.capture() == image.left(match.captured(1).toInt())) << what;
        }
    }
}

TEST_F(FlashCli, ProgressOnATerminalFitsItsWidth) {
    // On a 60-column terminal, three long by-id names: every row fits, its
    // name shortened from the left, so the board can redraw in place.
    // COLUMNS, where the user sets it, wins; TERM=dumb gets plain lines.
    std::vector<std::unique_ptr<DevSim>> devices;
    QStringList arguments;
    for (const char* serial : {"A10K1XYZ", "A10K2XYZ", "A10K3XYZ"}) {
        devices.push_back(std::make_unique<DevSim>(QStringList{"--delay-us", "5000"}));
        const QString name = dir.filePath(
            QStringLiteral("usb-FTDI_FT232R_USB_UART_%1-if00-port0").arg(QLatin1String(serial)));
        ASSERT_TRUE(QFile::link(devices.back()->device(), name));
        arguments << "--device" << name;
    }
    arguments << file;
    const auto onTerminal = [&](const QString& term, const QString& columns) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const winsize size{24, 60, 0, 0};
        EXPECT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TERM", term);
        environment.remove("COLUMNS");
        if (!columns.isEmpty())
            environment.insert("COLUMNS", columns);
        program.setProcessEnvironment(environment);
        program.setStandardErrorFile(QString::fromLocal8Bit(::ptsname(master)));
        program.start(flashPath(), arguments);
        QByteArray drawn;
        while (!program.waitForFinished(20)) {
            pollfd p{master, POLLIN, 0};
            char chunk[4096];
            while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
                drawn.append(chunk, ::read(master, chunk, sizeof chunk));
        }
        ::close(master);
        EXPECT_EQ(program.exitCode(), 0);
        return QString::fromLatin1(drawn);
    };
    for (const auto& [columns, width] : {std::pair{QString(), 60}, std::pair{QString("44"), 44}}) {
        const QString drawn = onTerminal("xterm", columns);
        const QStringList rows =
            drawn.split(QRegularExpression("[\r\n]|\x1b\\[K|\x1b\\[\\d+A"), Qt::SkipEmptyParts);
        ASSERT_FALSE(rows.isEmpty());
        for (const QString& row : rows)
            EXPECT_LT(row.size(), width) << row.toStdString();
        EXPECT_FALSE(rows.filter(QRegularExpression("^\\.\\.\\.\\S*port0 \\[")).isEmpty())
            << "the end of the name is kept";
        EXPECT_TRUE(rows.first().endsWith("--:-- left"))
            << "no rate yet: " << rows.first().toStdString();
    }
    const QString dumb = onTerminal("dumb", {});
    EXPECT_FALSE(dumb.contains('\x1b')) << dumb.toStdString();
    EXPECT_TRUE(dumb.contains("-if00-port0: sending 4040 bytes")) << dumb.toStdString();
}

TEST_F(FlashCli, StableNamesAndRemotePortsFromThePortList) {
    // A by-id name holds colons; a remote port is an address.
    DevSim local;
    DevSim remote;
    j4::testing::Ser2Net server(remote.device());
    const QString byId = dir.filePath(QStringLiteral("usb-FTDI_FT232R_A1:B2-if00-port0"));
    ASSERT_TRUE(QFile::link(local.device(), byId));
    const QStringList ports{"J4_PORTS=" + byId + ":" + server.url()};
    const ProgramResult listed = flash({"--list-ports"}, ports);
    EXPECT_TRUE(listed.out.contains("  1  " + byId)) << listed.out.toStdString();
    EXPECT_TRUE(listed.out.contains("  2  " + server.url()));
    EXPECT_EQ(flash({"--port", "1-2", "-q", file}, ports).exitCode, 0);
    local.stop();
    remote.stop();
    EXPECT_TRUE(local.capture() == image);
    EXPECT_TRUE(remote.capture() == image);
}

TEST_F(FlashCli, BareDeviceNamesMeanTheDeviceFolder) {
    DevSim device;
    const QString name =
        QDir(QStringLiteral("/dev")).relativeFilePath(QFileInfo(device.device()).symLinkTarget());
    EXPECT_EQ(flash({"--device", name, "-q", file}).exitCode, 0) << name.toStdString();
}

TEST_F(FlashCli, TheProgramsAnswerAloneAndTheSimulatorKeepsOthersFiles) {
    const ProgramResult version = flash({"-V"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.toStdString(), std::string("j4_flash ") + j4::kVersion + "\n");
    EXPECT_EQ(flash({"--version", "--check", file}).exitCode, 2);

    // The simulator replaces only its own symbolic link: a file named by
    // mistake is left as it was.
    const QString precious = textFile("precious.txt", "keep me");
    const ProgramResult refused = runProgram(devsimPath(), {"--link", precious}, {}, 5000);
    EXPECT_EQ(refused.exitCode, 2);
    QFile kept(precious);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "keep me");
    EXPECT_EQ(runProgram(devsimPath(), {"-V", "--link", precious}).exitCode, 2);
    EXPECT_EQ(runProgram(devsimPath(), {"-V"}).out.toStdString(),
              std::string("j4_devsim ") + j4::kVersion + "\n");
    // Numbers that do not parse are usage errors, never taken as 0.
    for (const QStringList& bad :
         {QStringList{"--reject-prob", "abc"}, QStringList{"--reject-prob", "0.5x"},
          QStringList{"--reject-prob", "2"}, QStringList{"--seed", "x"}})
        EXPECT_EQ(runProgram(devsimPath(), bad + QStringList{"--link", dir.filePath("d")}, {}, 5000)
                      .exitCode,
                  2)
            << bad.join(' ').toStdString();
}

TEST_F(FlashCli, EveryStopRequestClosesThePortCleanly) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
        DevSim device({"--delay-us", "20000"}); // 20 frames take 0.4 s
        QProcess flashProcess;
        flashProcess.start(flashPath(), {"--device", device.device(), file});
        ASSERT_TRUE(flashProcess.waitForStarted());
        QThread::msleep(150);
        ::kill(static_cast<pid_t>(flashProcess.processId()), signal);
        ASSERT_TRUE(flashProcess.waitForFinished(5000));
        EXPECT_EQ(flashProcess.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(flashProcess.exitCode(), 130) << signal;
        const QString err = QString::fromLocal8Bit(flashProcess.readAllStandardError());
        EXPECT_TRUE(err.trimmed().endsWith("The update was interrupted.")) << err.toStdString();
        EXPECT_TRUE(err.contains("bytes were accepted.")) << "says how far it got";
        // The port is free at once, and the next attempt goes through whole.
        EXPECT_EQ(flash({"--device", device.device(), file}).exitCode, 0);
    }
    // Standard error closed by its reader (| head -c1): the update goes on.
    DevSim device;
    const ProgramResult piped =
        runProgram(QStringLiteral("bash"),
                   {"-c",
                    "\"$0\" --device \"$1\" \"$2\" 2>&1 >/dev/null | head -c1 >/dev/null; "
                    "echo ${PIPESTATUS[0]}",
                    flashPath(), device.device(), file});
    EXPECT_EQ(piped.out.trimmed().toStdString(), "0");
    device.stop();
    EXPECT_TRUE(device.capture() == image);
}

TEST_F(FlashCli, AStopWhileTheFileIsBeingReadIsAnInterruption) {
    // A FIFO nobody writes to: reading it waits until the signal comes.
    const QString fifo = dir.filePath(QStringLiteral("slow.j4u"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    DevSim device;
    for (const QStringList& arguments :
         {QStringList{"--check", fifo}, QStringList{"--device", device.device(), fifo}}) {
        QProcess flashProcess;
        flashProcess.start(flashPath(), arguments);
        ASSERT_TRUE(flashProcess.waitForStarted());
        QThread::msleep(300);
        ::kill(static_cast<pid_t>(flashProcess.processId()), SIGTERM);
        ASSERT_TRUE(flashProcess.waitForFinished(5000));
        EXPECT_EQ(flashProcess.exitCode(), 130) << arguments.join(' ').toStdString();
        EXPECT_EQ(QString::fromLocal8Bit(flashProcess.readAllStandardError()).trimmed(),
                  "j4_flash: The update was interrupted.");
    }
}

TEST_F(FlashCli, StandardInputAndNamesThatAreNotUtf8) {
    // "-" reads the file once from standard input, before any port opens.
    DevSim first;
    DevSim second;
    QFile update(file);
    ASSERT_TRUE(update.open(QIODevice::ReadOnly));
    const QByteArray text = update.readAll();
    QProcess piped;
    piped.start(flashPath(), {"-q", "--device", first.device(), "--device", second.device(), "-"});
    piped.write(text);
    piped.closeWriteChannel();
    ASSERT_TRUE(piped.waitForFinished(10000));
    EXPECT_EQ(piped.exitCode(), 0) << piped.readAllStandardError().toStdString();
    first.stop();
    second.stop();
    EXPECT_TRUE(first.capture() == image && second.capture() == image);
    QProcess checked;
    checked.start(flashPath(), {"--check", "-"});
    checked.write(text);
    checked.closeWriteChannel();
    ASSERT_TRUE(checked.waitForFinished(10000));
    EXPECT_EQ(checked.readAllStandardOutput().trimmed(), "-: 20 frames, 4040 bytes");

    // File, device and log names in Latin-1 reach the system as they are.
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray latin1File = folder + "/caf\xe9.j4u";
    const QByteArray latin1Device = folder + "/d\xe9vice";
    const QByteArray latin1Log = folder + "/l\xf6g";
    ASSERT_EQ(::link(QFile::encodeName(file).constData(), latin1File.constData()), 0);
    DevSim device;
    ASSERT_EQ(::symlink(QFile::encodeName(device.device()).constData(), latin1Device.constData()),
              0);
    // Run with the bytes themselves: QProcess would pass UTF-8.
    const std::string program = QFile::encodeName(flashPath()).toStdString();
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(program.c_str(), program.c_str(), "-q", "--log", latin1Log.constData(), "--device",
                latin1Device.constData(), latin1File.constData(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(::access(latin1Log.constData(), F_OK), 0) << "the log under its own name";
    device.stop();
    EXPECT_TRUE(device.capture() == image);
    for (const QByteArray& name : {latin1File, latin1Device, latin1Log})
        ::unlink(name.constData()); // names QTemporaryDir cannot spell
}

// The same program in process: j4_flash's library with scripted links, for
// everything that needs no real port.
namespace {

// Lends a test's FakeLink to a run, which owns the links it is given.
class LentLink final : public j4::SerialLink {
public:
    explicit LentLink(j4::testing::FakeLink& fake) : fake_(fake) {}
    j4::LinkError open(const std::string& device) override { return fake_.open(device); }
    void flushInput() override { fake_.flushInput(); }
    j4::LinkError write(std::span<const std::uint8_t> bytes) override { return fake_.write(bytes); }
    j4::ByteRead readByte() override { return fake_.readByte(); }
    j4::WaitingBytes bytesWaiting(std::chrono::milliseconds wait) override {
        return fake_.bytesWaiting(wait);
    }
    void close() override { fake_.close(); }

private:
    j4::testing::FakeLink& fake_;
};

// What a run said and how it ended.
struct Ran {
    int exitCode = -1;
    QString out;
    QString err;
    QString lastLine() const { return ProgramResult{exitCode, out, err}.lastLine(); }
};

class FlashCommand : public FlashCli {
protected:
    // Devices by name; each answers as its FakeLink is scripted.
    std::map<std::string, j4::testing::FakeLink> devices;

    j4::testing::FakeLink& device(const std::string& name, int accepts = 100) {
        auto& fake = devices[name];
        for (int i = 0; i < accepts; ++i)
            fake.answer(j4::kAcceptByte);
        return fake;
    }
    Ran run(const QStringList& arguments, bool errIsTerminal = false) {
        std::vector<std::string> argv{"j4_flash"};
        for (const QString& argument : arguments)
            argv.push_back(argument.toStdString());
        char* outText = nullptr;
        char* errText = nullptr;
        std::size_t outSize = 0;
        std::size_t errSize = 0;
        std::FILE* out = ::open_memstream(&outText, &outSize);
        std::FILE* err = ::open_memstream(&errText, &errSize);
        j4::cli::FlashContext context{out, err, errIsTerminal, {}, &stop};
        context.makeLink = [this](const std::string& name, std::chrono::milliseconds timeout) {
            if (onLink)
                onLink(name);
            auto& fake = devices[name]; // an unscripted device stays silent
            fake.setAnswerTimeout(timeout);
            return std::make_unique<LentLink>(fake);
        };
        Ran ran;
        ran.exitCode = j4::cli::runFlash(argv, context);
        std::fclose(out);
        std::fclose(err);
        ran.out = QString::fromUtf8(outText, static_cast<qsizetype>(outSize));
        ran.err = QString::fromUtf8(errText, static_cast<qsizetype>(errSize));
        std::free(outText);
        std::free(errText);
        return ran;
    }
    std::atomic<bool> stop{false};
    std::function<void(const std::string& device)> onLink; // as each link is made
};

QByteArray sentTo(const j4::testing::FakeLink& fake) {
    QByteArray sent;
    for (const auto& frame : fake.writes)
        sent.append(reinterpret_cast<const char*>(frame.data()),
                    static_cast<qsizetype>(frame.size()));
    return sent;
}

} // namespace

TEST_F(FlashCommand, SeveralDevicesAtOnceEachEndOnTheirOwn) {
    // Port 1 completes, port 2 rejects four times, the device by path stays
    // silent: the first failure in the order given sets the exit status.
    device("/dev/fake-first");
    auto& rejecting = device("/dev/fake-rejecting", 2);
    for (int i = 0; i < 4; ++i)
        rejecting.answer(j4::kRejectByte);
    qputenv("J4_PORTS", "/dev/fake-first:/dev/fake-rejecting");
    const Ran r =
        run({"--port", "1-2", "--device", "/dev/fake-silent", "--timeout", "500", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(r.exitCode, 7) << r.out.toStdString() << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 5) << r.out.toStdString();
    EXPECT_EQ(lines[0], "Summary:");
    EXPECT_TRUE(lines[1].contains("port 1") && lines[1].contains("/dev/fake-first") &&
                lines[1].contains("Update is completed.") && lines[1].contains("4040 of 4040"));
    EXPECT_TRUE(lines.filter("port 2").first().contains("CRC error. File damaged."));
    EXPECT_TRUE(lines.filter("/dev/fake-silent").first().contains("No answer"));
    EXPECT_EQ(lines.last(), "2 of 3 devices failed: /dev/fake-rejecting, /dev/fake-silent");
    EXPECT_TRUE(sentTo(devices["/dev/fake-first"]) == image);
    EXPECT_TRUE(r.err.isEmpty()) << "a failure is said once, in the summary: "
                                 << r.err.toStdString();
    // A port with no device behind it was sent nothing, and says so.
    devices["/dev/fake-missing"].failOpen(j4::LinkError::PortNotFound);
    const Ran missing = run({"--device", "/dev/fake-missing", "--device", "/dev/fake-first", file});
    EXPECT_TRUE(missing.out.contains("The serial port does not exist.  nothing sent"))
        << missing.out.toStdString();
    // Without a terminal, a failure is said once: its progress line says
    // only that it failed.
    EXPECT_EQ(missing.err.count("The serial port does not exist."), 0) << missing.err.toStdString();
    EXPECT_TRUE(missing.err.contains("/dev/fake-missing: 0% failed")) << missing.err.toStdString();

    // All completed: exit 0. Mixed --device and --port keep their order.
    device("/dev/fake-a");
    device("/dev/fake-b");
    qputenv("J4_PORTS", "/dev/fake-b");
    const Ran ok = run({"--device", "/dev/fake-a", "--port", "1", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_TRUE(ok.out.contains("All 2 devices completed."));
    EXPECT_LT(ok.out.indexOf("/dev/fake-a"), ok.out.indexOf("/dev/fake-b"));
}

TEST_F(FlashCommand, TheSameDeviceTwiceAndOtherUsageErrorsSendNothing) {
    // Through a link and its target, and through a number and a path.
    const QString target = textFile("ttyFAKE", "");
    const QString link = dir.filePath("by-id-link");
    ASSERT_TRUE(QFile::link(target, link));
    qputenv("J4_PORTS", target.toUtf8());
    for (const QStringList& arguments : {QStringList{"--device", link, "--device", target, file},
                                         QStringList{"--port", "1", "--device", link, file}}) {
        const Ran r = run(arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains("are the same device")) << r.err.toStdString();
    }
    qunsetenv("J4_PORTS");
    for (const QStringList& arguments :
         {QStringList{"--port", "1"}, QStringList{"--port", "0", file},
          QStringList{"--port", "0-3", file}, QStringList{"--port", "4-2", file},
          QStringList{"--port", "1-2-3", file},
          QStringList{"--image-out", "x", "--port", "1", file}, QStringList{"--bogus", file},
          QStringList{"--device", "/dev/null", "--timeout", "-5", file},
          // The version, the help and the list go alone: exit 0 would pass
          // for an update that was never made.
          QStringList{"-V", "--port", "1", file}, QStringList{"--version", "--check", file},
          QStringList{"--help", "--device", "/dev/fake", file},
          QStringList{"--list-ports", "--port", "1", file}}) {
        EXPECT_EQ(run(arguments).exitCode, 2) << arguments.join(' ').toStdString();
    }
    for (const auto& [name, fake] : devices)
        EXPECT_TRUE(fake.writes.empty()) << name;
    const Ran version = run({"-V"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.toStdString(), std::string("j4_flash ") + j4::kVersion + "\n");
    const Ran help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--check") && help.out.contains("--list-ports"));
    for (const QString& line : help.out.split('\n')) // the first names the program as run
        EXPECT_TRUE(line.size() <= 80 || line.startsWith("Usage: ")) << line.toStdString();
    EXPECT_EQ(run({"--help-all"}).out, help.out) << "listed in the help, so it works";

    // Nothing at all: how to ask. Other flashers' habits: what to write instead.
    const Ran nothing = run({});
    EXPECT_EQ(nothing.exitCode, 2);
    EXPECT_TRUE(nothing.err.startsWith("Usage: ")) << nothing.err.toStdString();
    EXPECT_TRUE(nothing.err.contains("  or:  j4_flash --watch"));
    for (const auto& [arguments, hint] :
         {std::pair{QStringList{"--port", "/dev/ttyUSB0", file}, "use --device for a path"},
          std::pair{QStringList{"-p", "1", file}, "give --port N (a number) or --device PATH"},
          std::pair{QStringList{"-P", "/dev/ttyUSB0", file}, "or --device PATH"}}) {
        const Ran r = run(arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains(QLatin1String(hint))) << r.err.toStdString();
    }
}

TEST_F(FlashCommand, RefusedFilesAreNeverSentAndChecksSayWhy) {
    struct Case {
        QByteArray text;
        const char* lastLine;
    };
    const Case cases[] = {
        {"  \r\n", "Update file is empty."},
        {"00 03 AA BB\r\n", "Update file is damaged: incomplete frame at offset 0."},
        {"00 01 AA\r\n00 01 BB\r\n00 01 ZZ\r\n",
         "Update file is damaged: unexpected character 'Z' at line 3, column 7."},
        {":10000000", "Update file is damaged: unexpected character ':' at line 1, column 1."},
        {toUpdateText(makeImage(5, 65534)), "Update file is too large: more than 262144 bytes."},
    };
    device("/dev/fake");
    for (const Case& c : cases) {
        const Ran r = run({"--device", "/dev/fake", textFile("bad.j4u", c.text)});
        EXPECT_EQ(r.exitCode, 3) << c.lastLine;
        EXPECT_EQ(r.lastLine().toStdString(), error(c.lastLine));
        const Ran checked = run({"--check", textFile("bad.j4u", c.text)});
        EXPECT_EQ(checked.exitCode, 3);
        EXPECT_EQ(checked.lastLine().toStdString(), error(c.lastLine));
    }
    // A file that is not the released one, even a valid one; in a station too.
    const std::string sha =
        QCryptographicHash::hash(toUpdateText(image), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    const std::string released(64, 'a');
    for (const QStringList& mode :
         {QStringList{"--device", "/dev/fake"}, QStringList{"--watch", "--device", "/dev/fake"}}) {
        const Ran pinned =
            run(mode + QStringList{"--expect-sha256", QString::fromStdString(released), file});
        EXPECT_EQ(pinned.exitCode, 3);
        EXPECT_EQ(pinned.lastLine().toStdString(),
                  error("Update file is not the expected one: its SHA-256 is " + sha +
                        ", expected " + released));
    }
    EXPECT_EQ(
        run({"--check", "--expect-sha256", QString::fromStdString(sha).toUpper(), file}).exitCode,
        0);
    EXPECT_EQ(run({"--check", "--expect-sha256", "abc", file}).exitCode, 2);
    EXPECT_TRUE(devices["/dev/fake"].openedDevices.empty()) << "no port is opened";

    // The reason comes on the line before the result.
    const QString missing = dir.filePath("missing.j4u");
    for (const QStringList& arguments :
         {QStringList{"--check", missing}, QStringList{"--device", "/dev/fake", missing}}) {
        const Ran gone = run(arguments);
        EXPECT_EQ(gone.exitCode, 3);
        EXPECT_EQ(
            gone.err.trimmed().toStdString(),
            ("j4_flash: " + missing + ": No such file or directory\nj4_flash: File open error!")
                .toStdString());
    }

    // A valid file: its frames and bytes, and the decoded image on request.
    const QString out = dir.filePath(QStringLiteral("image.bin"));
    const Ran checked = run({"--check", file, "--image-out", out});
    EXPECT_EQ(checked.exitCode, 0);
    EXPECT_EQ(checked.out.trimmed(), file + ": 20 frames, 4040 bytes");
    QFile written(out);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll() == image);
    const Ran full = run({"--check", file, "--image-out", "/dev/full"});
    EXPECT_EQ(full.exitCode, 2);
    EXPECT_EQ(full.lastLine().toStdString(),
              error("Cannot write /dev/full: No space left on device"));
}

TEST_F(FlashCommand, EveryAttemptIsLoggedAsOneJsonLine) {
    device("/dev/fake-good", 200);
    auto& bad = devices["/dev/fake-bad"];
    for (int i = 0; i < 4; ++i)
        bad.answer(j4::kRejectByte);
    const QString log = dir.filePath(QStringLiteral("updates.jsonl"));
    EXPECT_EQ(
        run({"--device", "/dev/fake-good", "--device", "/dev/fake-bad", "--log", log, "-q", file})
            .exitCode,
        7);
    // The environment variable does the same, appending; a refused file is
    // logged for its device too.
    qputenv("J4_UPDATE_LOG", log.toUtf8());
    EXPECT_EQ(run({"--device", "/dev/fake-good", "-q", file}).exitCode, 0);
    EXPECT_EQ(run({"--device", "/dev/fake-good", "-q", textFile("bad.j4u", "00 03")}).exitCode, 3);
    qunsetenv("J4_UPDATE_LOG");
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 5) << "four lines and the final line end";
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QFile update(file);
    update.open(QIODevice::ReadOnly);
    sha.addData(update.readAll());
    QSet<QString> outcomes;
    for (int i = 0; i < 3; ++i) {
        QJsonParseError parseError{};
        const QJsonObject entry = QJsonDocument::fromJson(lines[i], &parseError).object();
        ASSERT_EQ(parseError.error, QJsonParseError::NoError) << lines[i].toStdString();
        outcomes << entry["outcome"].toString();
        EXPECT_EQ(entry["version"].toString(), QString::fromLatin1(j4::kVersion));
        EXPECT_EQ(entry["file"].toString(), file);
        EXPECT_EQ(entry["file_sha256"].toString(), QString::fromLatin1(sha.result().toHex()));
        EXPECT_EQ(entry["image_bytes"].toInt(), 4040);
        EXPECT_EQ(entry["frames"].toInt(), 20);
        EXPECT_TRUE(entry["port_number"].isNull());
        EXPECT_TRUE(entry["start"].toString().endsWith('Z'));
        EXPECT_FALSE(entry["host"].toString().isEmpty());
        for (const char* key : {"end", "device", "text", "detail", "bytes_accepted",
                                "transmissions", "rejects", "duration_ms", "adapter"})
            EXPECT_TRUE(entry.contains(key)) << key;
    }
    EXPECT_EQ(outcomes, (QSet<QString>{"completed", "rejected_four_times"}));
    EXPECT_EQ(QJsonDocument::fromJson(lines[3]).object()["outcome"].toString(), "file_refused");

    // A log that cannot be written is said once and fails nothing; a FIFO
    // without a reader is no log and holds nothing up.
    const QString fifo = dir.filePath(QStringLiteral("log.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    device("/dev/fake-2");
    for (const QString& unwritable : {QStringLiteral("/nonexistent/dir/log"), fifo}) {
        const Ran r = run({"--device", "/dev/fake-good", "--device", "/dev/fake-2", "--log",
                           unwritable, "-q", file});
        EXPECT_EQ(r.exitCode, 0) << unwritable.toStdString();
        EXPECT_EQ(r.err.count("cannot be written"), 1) << r.err.toStdString();
    }

    // A log that is standard output itself: its line and the result line
    // follow each other in the file, neither overwriting the other.
    DevSim real;
    const QString out = dir.filePath(QStringLiteral("out.json"));
    const ProgramResult both =
        runProgram("bash", {"-c", "\"$0\" --device \"$1\" --log /dev/stdout \"$2\" >\"$3\"",
                            flashPath(), real.device(), file, out});
    EXPECT_EQ(both.exitCode, 0) << both.err.toStdString();
    QFile shared(out);
    ASSERT_TRUE(shared.open(QIODevice::ReadOnly));
    const QList<QByteArray> sharedLines = shared.readAll().split('\n');
    ASSERT_EQ(sharedLines.size(), 3) << "the log line, the result, the final line end";
    EXPECT_EQ(QJsonDocument::fromJson(sharedLines[0]).object()["outcome"].toString(), "completed");
    EXPECT_EQ(sharedLines[1], "Update is completed.");
}

TEST_F(FlashCommand, ProgressLinesAndATraceWithVerbose) {
    device("/dev/fake");
    const Ran r = run({"--device", "/dev/fake", "--verbose", file});
    EXPECT_EQ(r.exitCode, 0);
    const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
    const QString prefix = "/dev/fake: ";
    EXPECT_EQ(lines.filter(QRegularExpression("^" + QRegularExpression::escape(prefix) + "\\d+%$"))
                  .size(),
              9)
        << "10 % to 90 %";
    EXPECT_TRUE(lines.contains(prefix + "sending 4040 bytes"));
    EXPECT_TRUE(lines.contains(prefix + "100% Update is completed."));
    const QStringList trace = lines.filter(QRegularExpression("frame \\d+ offset"));
    ASSERT_EQ(trace.size(), 20);
    EXPECT_TRUE(trace[1].startsWith(prefix + "frame 2 offset 202 size 202 answer 0x11 rejects 0 "))
        << trace[1].toStdString();
    EXPECT_TRUE(trace[1].endsWith(" ms"));
    // -q keeps the trace and drops the progress; -v is --verbose.
    device("/dev/fake");
    const Ran quiet = run({"--device", "/dev/fake", "-v", "-q", file});
    EXPECT_EQ(quiet.err.split('\n', Qt::SkipEmptyParts).size(), 20);
}

TEST_F(FlashCommand, PortNumbersComeFromTheList) {
    device("/dev/fake");
    qputenv("J4_PORTS", "/dev/j4-nothing-here:/dev/fake");
    const Ran listed = run({"--list-ports"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("  2  /dev/fake")) << listed.out.toStdString();
    EXPECT_EQ(run({"--port", "2", "-q", file}).exitCode, 0);
    const Ran missing = run({"--port", "3", "-q", file});
    qunsetenv("J4_PORTS");
    EXPECT_EQ(missing.exitCode, 4);
    EXPECT_EQ(missing.lastLine().toStdString(), error("The serial port does not exist."));
    EXPECT_TRUE(sentTo(devices["/dev/fake"]) == image);
}

TEST_F(FlashCommand, PortsFilesPinNumbersAndStableNamesAreListed) {
    // The user's ports file (XDG_CONFIG_HOME), a by-path name in a udev-like
    // folder of the test's own, a bad line named and ignored.
    const QString config = dir.filePath("config");
    QDir().mkpath(config + "/j4-updater");
    const QString target = textFile("ttyFAKE0", "");
    const QString names = dir.filePath("serial");
    QDir().mkpath(names + "/by-path");
    const QString byPath = names + "/by-path/pci-0000:00:14.0-usb-0:3:1.0-port0";
    ASSERT_TRUE(QFile::link(target, byPath));
    QFile ports(config + "/j4-updater/ports");
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    ports.write("# the jig\n7 " + byPath.toUtf8() + "  # socket 3\nseven /dev/ttyS9\n");
    ports.close();
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
    qputenv("J4_SERIAL_NAMES", names.toUtf8());
    const Ran listed = run({"--list-ports"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_TRUE(listed.out.contains("  7  " + byPath + "  [ports file]"))
        << listed.out.toStdString();
    EXPECT_TRUE(listed.err.contains(config + "/j4-updater/ports:3: 'seven' is not a port number"))
        << listed.err.toStdString();
    device(byPath.toStdString());
    EXPECT_EQ(run({"--port", "7", "-q", file}).exitCode, 0);
    EXPECT_TRUE(sentTo(devices[byPath.toStdString()]) == image) << "port 7 is the pinned socket";

    // A number pinned twice: the later line wins, and says so.
    ASSERT_TRUE(ports.open(QIODevice::Append));
    ports.write("7 /dev/ttyS8\n");
    ports.close();
    EXPECT_TRUE(run({"--list-ports"})
                    .err.contains(
                        config +
                        "/j4-updater/ports:4: port 7 is pinned again; this line wins over line 2"));
    // A flood of bad lines: the first few named, the rest counted.
    ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
    const QByteArray binary("\x01\xff garbage\0\n", 12);
    for (int i = 0; i < 2000; ++i)
        ports.write(binary);
    ports.close();
    const Ran flooded = run({"--list-ports"});
    EXPECT_EQ(flooded.err.count('\n'), 6) << flooded.err.left(2000).toStdString();
    EXPECT_TRUE(flooded.err.contains("ports: 1995 more lines are ignored"));
    // Too large to be a ports file, or not a file that can be read: named,
    // never silently skipped, and never waited on.
    ASSERT_TRUE(ports.resize(10 * 1024 * 1024));
    EXPECT_TRUE(run({"--list-ports"}).err.contains("is too large for a ports file"));
    ASSERT_TRUE(ports.remove());
    ASSERT_TRUE(QDir().mkpath(ports.fileName()));
    EXPECT_TRUE(run({"--list-ports"}).err.contains(ports.fileName() + ": cannot be read ("));
    ASSERT_TRUE(QDir().rmdir(ports.fileName()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(ports.fileName()).constData(), 0600), 0);
    DevSim devsim;
    const ProgramResult fifo =
        flash({"--device", devsim.device(), "-q", file}, {"XDG_CONFIG_HOME=" + config});
    EXPECT_EQ(fifo.exitCode, 0) << fifo.err.toStdString();
    EXPECT_TRUE(fifo.err.contains("ports: cannot be read (not a regular file)"));
    qunsetenv("XDG_CONFIG_HOME");

    // A ready ports file for what is plugged in now, by socket.
    qputenv("J4_PORTS", target.toUtf8());
    const Ran written = run({"--list-ports", "--ports-file"});
    EXPECT_EQ(written.exitCode, 0);
    EXPECT_TRUE(written.out.contains("\n1 " + byPath + "\n")) << written.out.toStdString();
    const Ran details = run({"--list-ports"});
    EXPECT_TRUE(details.out.contains("by-path  " + byPath)) << details.out.toStdString();
    // No adapter in a USB socket: nothing written over a good ports file,
    // and a failure the shell sees.
    qputenv("J4_PORTS", "/dev/null");
    const Ran empty = run({"--list-ports", "--ports-file"});
    EXPECT_EQ(empty.exitCode, 4);
    EXPECT_TRUE(empty.out.isEmpty()) << empty.out.toStdString();
    EXPECT_TRUE(empty.err.contains("there is nothing to pin")) << empty.err.toStdString();
    qunsetenv("J4_PORTS");
    qunsetenv("J4_SERIAL_NAMES");

    // An adapter chosen by a serial number no adapter has: exit 4, and what is there.
    const Ran unknown = run({"--serial", "NOSUCH1", "-q", file});
    EXPECT_EQ(unknown.exitCode, 4);
    EXPECT_TRUE(unknown.err.contains("No adapter with the serial number NOSUCH1 is plugged in"))
        << unknown.err.toStdString();
    for (const QStringList& arguments :
         {QStringList{"--watch", file}, QStringList{"--watch", "--check", "--port", "1", file},
          QStringList{"--ports-file", "--port", "1", file},
          QStringList{"--watch", "--port", "1-3", file}})
        EXPECT_EQ(run(arguments).exitCode, 2) << arguments.join(' ').toStdString();
}

TEST_F(FlashCommand, AStopDuringAStationsOpenRetriesKeepsTheFailure) {
    // The port is held: the station tries its open again for a moment, and
    // a stop meanwhile ends the station with the failure that happened.
    devices["/dev/null"].failOpen(j4::LinkError::PortBusy);
    int links = 0;
    onLink = [&](const std::string&) {
        if (++links == 2)
            stop = true;
    };
    const Ran r = run({"--watch", "--device", "/dev/null", file});
    EXPECT_EQ(r.exitCode, 4) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("The serial port is in use by another program."))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("0 completed, 1 failed")) << r.out.toStdString();
}

TEST_F(FlashCli, AStationUpdatesEachDevicePluggedInOnce) {
    // Two slots named by path; devices appear and vanish there as they would
    // on a jig. One left plugged is not updated again; one pulled mid-update
    // fails and its slot goes on; every attempt is logged with its slot.
    const QString slot1 = dir.filePath("slot1");
    const QString slot2 = dir.filePath("slot2");
    const QString log = dir.filePath("station.jsonl");
    QProcess station;
    station.start(flashPath(), {"--watch", "--device", slot1, "--device", slot2, "--log", log,
                                "--timeout", "500", file});
    ASSERT_TRUE(station.waitForStarted());
    const auto plugged = [&](const QString& slot, const QStringList& options) {
        auto device =
            std::make_unique<DevSim>(options + QStringList{"--summary", slot + ".summary"});
        EXPECT_TRUE(QFile::link(device->device(), slot));
        return device;
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        auto first = plugged(slot1, {});
        auto second =
            plugged(slot2, cycle == 1 ? QStringList{"--hangup-at", "5:10"} : QStringList{});
        QThread::msleep(700); // updated, then left plugged
        // udev rewriting a link in place on a change event: no new device.
        const QByteArray fresh = QFile::encodeName(slot1 + ".new");
        EXPECT_TRUE(QFile::link(first->device(), QFile::decodeName(fresh)));
        EXPECT_EQ(::rename(fresh.constData(), QFile::encodeName(slot1).constData()), 0);
        QThread::msleep(300);
        EXPECT_EQ(first->stop().toStdString(), "transmissions=20 accepts=20 rejects=0") << cycle;
        if (cycle != 1) {
            EXPECT_TRUE(second->capture() == image) << cycle;
        }
        QFile::remove(slot1);
        QFile::remove(slot2);
        QThread::msleep(100);
    }
    ::kill(static_cast<pid_t>(station.processId()), SIGINT);
    ASSERT_TRUE(station.waitForFinished(5000));
    const QString out = QString::fromUtf8(station.readAllStandardOutput());
    EXPECT_EQ(station.exitCode(), 5) << "the pulled device's failure" << out.toStdString();
    EXPECT_TRUE(out.contains("slot 1 (" + slot1 + "): 3 completed, 0 failed")) << out.toStdString();
    EXPECT_TRUE(out.contains("slot 2 (" + slot2 + "): 2 completed, 1 failed")) << out.toStdString();
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), 7) << "six attempts";
    QSet<int> slotNumbers;
    for (int i = 0; i < 6; ++i)
        slotNumbers << QJsonDocument::fromJson(lines[i]).object()["slot"].toInt();
    EXPECT_EQ(slotNumbers, (QSet<int>{1, 2}));

    // A port number pinned by a ports file to a path of the jig's own,
    // outside /dev: that folder is watched too.
    {
        const QString config = dir.filePath("jig-config");
        QDir().mkpath(config + "/j4-updater");
        const QString jig = dir.filePath("jig");
        QDir().mkpath(jig);
        QFile ports(config + "/j4-updater/ports");
        ASSERT_TRUE(ports.open(QIODevice::WriteOnly));
        ports.write("7 " + QFile::encodeName(jig + "/socket3") + "\n");
        ports.close();
        QProcess pinned;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", config);
        pinned.setProcessEnvironment(environment);
        pinned.start(flashPath(), {"--watch", "--port", "7", file});
        ASSERT_TRUE(pinned.waitForStarted());
        QThread::msleep(300); // watching: the slot's first look found nothing
        DevSim device;
        EXPECT_TRUE(QFile::link(device.device(), jig + "/socket3"));
        const QByteArray said = readUntil(pinned, "Update is completed.");
        ::kill(static_cast<pid_t>(pinned.processId()), SIGINT);
        ASSERT_TRUE(pinned.waitForFinished(10000));
        EXPECT_TRUE(said.contains("Update is completed.")) << said.toStdString();
    }

    // One device in two slots: refused before watching when the names lead
    // to it already; when it shows up in both later, updated once.
    {
        DevSim one;
        const QString alias = dir.filePath("alias");
        ASSERT_TRUE(QFile::link(one.device(), alias));
        const ProgramResult twice =
            flash({"--watch", "--device", one.device(), "--device", alias, file});
        EXPECT_EQ(twice.exitCode, 2);
        EXPECT_TRUE(twice.err.contains("are the same device")) << twice.err.toStdString();
        QProcess both;
        both.start(flashPath(), {"--watch", "--device", slot1, "--device", slot2, file});
        ASSERT_TRUE(both.waitForStarted());
        QThread::msleep(300); // watching: the slots' first look found nothing
        EXPECT_TRUE(QFile::link(one.device(), slot1));
        EXPECT_TRUE(QFile::link(one.device(), slot2));
        QByteArray said = readUntil(both, "Update is completed.");
        QThread::msleep(500); // time enough for a second attempt, were there one
        ::kill(static_cast<pid_t>(both.processId()), SIGINT);
        ASSERT_TRUE(both.waitForFinished(10000));
        said += both.readAllStandardOutput();
        EXPECT_EQ(both.exitCode(), 0) << said.toStdString();
        EXPECT_EQ(said.count("Update is completed."), 1) << said.toStdString();
        EXPECT_EQ(said.count(" 0 failed"), 2) << said.toStdString();
        EXPECT_EQ(one.stop().toStdString(), "transmissions=20 accepts=20 rejects=0");
        QFile::remove(slot1);
        QFile::remove(slot2);
    }

    // The system's inotify limits used up by other programs (here lowered in
    // a user namespace of the test's own): the station says so once and
    // still sees each device plugged in.
    if (runProgram("unshare", {"-U", "-r", "true"}).exitCode != 0)
        GTEST_SKIP() << "no user namespaces here";
    for (const char* limit : {"max_inotify_instances", "max_inotify_watches"}) {
        QProcess blind;
        blind.start("unshare", {"-U", "-r", "sh", "-c",
                                QStringLiteral("echo 0 >/proc/sys/user/%1 && exec \"$0\" --watch "
                                               "--device \"$1\" --timeout 500 \"$2\"")
                                    .arg(QLatin1String(limit)),
                                flashPath(), slot1, file});
        ASSERT_TRUE(blind.waitForStarted());
        QByteArray said = readUntil(blind, "every half second", QProcess::StandardError);
        EXPECT_TRUE(said.contains("Cannot watch the slots for devices (inotify"))
            << limit << said.toStdString();
        auto device = plugged(slot1, {});
        readUntil(blind, "Update is completed.");
        EXPECT_TRUE(device->capture() == image) << limit << ": the device was seen and updated";
        ::kill(static_cast<pid_t>(blind.processId()), SIGINT);
        ASSERT_TRUE(blind.waitForFinished(20000));
        said += blind.readAllStandardError();
        EXPECT_EQ(blind.exitCode(), 0) << said.toStdString();
        EXPECT_EQ(said.count("Cannot watch"), 1) << said.toStdString();
        QFile::remove(slot1);
    }
}
