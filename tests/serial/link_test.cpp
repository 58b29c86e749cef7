// The serial link over real pseudo-terminals with the real Qt port, driven by
// the real transfer against the simulated device.

#include "processes.h"
#include "transfer.h"
#include "tty_link.h"
#include "update_file.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <QProcess>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace j4;
using j4::testing::DevSim;
using j4::testing::makeFrame;
using j4::testing::makeImage;

namespace {

using ms = std::chrono::milliseconds;

struct Sent {
    TransferResult result;
    qint64 elapsedMs = 0;
};

std::vector<std::uint8_t> bytesOf(const QByteArray& bytes) {
    return {bytes.begin(), bytes.end()};
}

// One attempt as the session runs it: open, flush, transfer, close.
Sent send(TtyLink& link, const QString& device, const QByteArray& bytes) {
    Sent sent;
    const LinkError opened = link.open(device.toStdString());
    EXPECT_EQ(opened, LinkError::None) << linkErrorText(opened, link.answerTimeout());
    link.flushInput();
    QElapsedTimer clock;
    clock.start();
    sent.result = runTransfer(bytesOf(bytes), link);
    sent.elapsedMs = clock.elapsed();
    link.close();
    return sent;
}

// A bare pseudo-terminal pair; the test plays the device on the master side.
class RawPty {
public:
    RawPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_ = QString::fromLocal8Bit(ptsname(master_));
    }
    ~RawPty() { ::close(master_); }
    const QString& slave() const { return slave_; }
    void write(const QByteArray& bytes) const {
        ASSERT_EQ(::write(master_, bytes.constData(), bytes.size()), bytes.size());
    }
    QByteArray read(qsizetype count) const {
        QByteArray bytes;
        char chunk[512];
        while (bytes.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0)
                break;
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0)
                break;
            bytes.append(chunk, n);
        }
        return bytes;
    }

private:
    int master_ = -1;
    QString slave_;
};

QByteArray everyByteValue() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(static_cast<char>(i));
    return bytes;
}

} // namespace

TEST(TtyLink, EveryByteValueCrossesUnalteredBothWays) {
    // XON/XOFF, CR/LF translation or signal characters would each alter or
    // swallow some of these; 0x13 coming before the write would also stop it.
    RawPty pty;
    TtyLink link(ms{2000});
    ASSERT_EQ(link.open(pty.slave().toStdString()), LinkError::None);
    pty.write(everyByteValue());
    ASSERT_EQ(link.bytesWaiting(ms{1000}).count > 0, true);
    for (int i = 0; i < 256; ++i) {
        const ByteRead read = link.readByte();
        ASSERT_EQ(read.error, LinkError::None);
        ASSERT_EQ(read.byte, i);
    }
    const QByteArray out = everyByteValue();
    ASSERT_EQ(link.write(bytesOf(out)), LinkError::None);
    EXPECT_EQ(pty.read(256), out);
}

TEST(TtyLink, WaitingBytesCountWhatQtAndTheDriverHold) {
    RawPty pty;
    TtyLink link(ms{2000});
    ASSERT_EQ(link.open(pty.slave().toStdString()), LinkError::None);
    EXPECT_EQ(link.bytesWaiting(ms{0}).count, 0u);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(link.bytesWaiting(ms{80}).count, 0u);
    EXPECT_GE(clock.elapsed(), 75) << "waits the guard out when nothing comes";

    pty.write("\x11\x22\x33");
    ASSERT_EQ(link.readByte().byte, 0x11);
    // The rest came in the same read, so Qt holds it.
    EXPECT_EQ(link.bytesWaiting(ms{0}).count, 2u);
    link.readByte();
    link.readByte();
    pty.write("\x44");
    // Still in the driver: nobody has read it yet.
    EXPECT_EQ(link.bytesWaiting(ms{500}).count, 1u);
}

TEST(TtyLink, LargestFrameAndFullImageArriveBitExact) {
    DevSim device;
    TtyLink link;
    const QByteArray largest = makeFrame(65535, 7);
    const QByteArray full = makeImage(4, 65534, 9); // 4 x 65,536 = 262,144 bytes
    ASSERT_EQ(static_cast<std::size_t>(full.size()), kMaxImageBytes);
    EXPECT_EQ(send(link, device.device(), largest).result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(send(link, device.device(), full).result.outcome, TransferOutcome::Completed);
    EXPECT_EQ(device.stop().toStdString(), "transmissions=5 accepts=5 rejects=0");
    EXPECT_TRUE(device.capture() == largest + full);
}

TEST(TtyLink, HeldOrMissingPortIsRefused) {
    DevSim device;
    const std::string path = device.device().toStdString();
    TtyLink holder;
    ASSERT_EQ(holder.open(path), LinkError::None);
    TtyLink second;
    EXPECT_EQ(second.open(path), LinkError::PortBusy);
    holder.close();
    EXPECT_EQ(second.open(path), LinkError::None) << "free again once released";
    second.close();
    second.close(); // closing twice does no harm
    EXPECT_EQ(second.open("/dev/j4-no-such-port"), LinkError::PortNotFound);

    // The same device by its own name while held by the link's name.
    const std::string real = QFileInfo(device.device()).symLinkTarget().toStdString();
    ASSERT_EQ(holder.open(path), LinkError::None);
    EXPECT_EQ(second.open(real), LinkError::PortBusy);
    holder.close();

    // Held by a program that locks the descriptor instead of writing a lock file.
    const int held = ::open(real.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(second.open(path), LinkError::PortBusy);
    EXPECT_EQ(second.errorDetail(), "another program holds the device");
    ::close(held);
}

TEST(TtyLink, AnotherProgramHoldingThePortIsRespected) {
    // ser2net and the UUCP programs write the PID in ASCII (or as a binary
    // int) and no program name: Qt takes such a lock for a stale one. Each
    // names its lock after the name it was given: the device, the link the
    // caller named, or a stable name under /dev/serial.
    DevSim device;
    const QString real = QFileInfo(device.device()).symLinkTarget();
    QTemporaryDir names;
    const QString byPath = names.filePath(QStringLiteral("by-path/pci-0000:00:14.0-usb-0:2:1.0"));
    ASSERT_TRUE(QDir().mkpath(names.filePath(QStringLiteral("by-path"))));
    ASSERT_TRUE(QFile::link(real, byPath));
    qputenv("J4_SERIAL_NAMES", names.path().toUtf8());
    const auto lockOf = [](QString name) {
        name = name.startsWith(QStringLiteral("/dev/")) ? name.mid(5) : name;
        name.replace(QLatin1Char('/'), QLatin1Char('_'));
        return QStringLiteral("/run/lock/LCK..") + name;
    };
    QProcess owner;
    owner.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(owner.waitForStarted());
    const std::int32_t pid = static_cast<std::int32_t>(owner.processId());
    const std::string inUse =
        "The serial port is in use by sleep (PID " + std::to_string(pid) + ").";
    for (const QString& name : {real, device.device(), byPath}) {
        QFile lock(lockOf(name));
        for (const QByteArray& content :
             {QByteArray::number(pid).rightJustified(10, ' ') + '\n',
              QByteArray(reinterpret_cast<const char*>(&pid), sizeof pid)}) {
            ASSERT_TRUE(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
            lock.write(content);
            lock.close();
            TtyLink link;
            EXPECT_EQ(link.open(device.device().toStdString()), LinkError::PortBusy)
                << name.toStdString();
            EXPECT_EQ(link.errorDetail(), inUse);
            EXPECT_TRUE(lock.exists()) << "another program's lock is left alone";
        }
        lock.remove();
    }
    owner.kill();
    owner.waitForFinished();
    QFile stale(lockOf(byPath));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write(QByteArray::number(pid) + '\n');
    stale.close();
    TtyLink link;
    EXPECT_EQ(link.open(device.device().toStdString()), LinkError::None) << "a stale lock";
    EXPECT_FALSE(stale.exists());
    link.close();

    // A program with the port open and no lock of any kind: found among the
    // processes, and the port is refused before a byte is sent.
    QProcess holder;
    holder.start(QStringLiteral("bash"),
                 {QStringLiteral("-c"), QStringLiteral("exec 3<>\"$0\"; echo; exec sleep 30"),
                  device.device()});
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    // Until bash has become sleep: on a busy machine the exec takes a while.
    const QString comm = QStringLiteral("/proc/%1/comm").arg(holder.processId());
    QElapsedTimer clock;
    clock.start();
    const auto command = [&comm] {
        QFile file(comm);
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    };
    while (command() != "sleep" && clock.elapsed() < 30000)
        QThread::msleep(10);
    EXPECT_EQ(link.open(device.device().toStdString()), LinkError::PortBusy);
    EXPECT_EQ(link.errorDetail(), "The serial port is in use by sleep (PID " +
                                      std::to_string(holder.processId()) + ").");
    holder.kill();
    holder.waitForFinished();
    qunsetenv("J4_SERIAL_NAMES");
}

// A process that holds a terminal of another devpts instance (a chroot's or
// a container's own): `index`'s terminal there, opened by the same name as
// ours, held until the process is killed.
class OtherRootsTerminal {
public:
    explicit OtherRootsTerminal(long index) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0)
                ::_exit(1);
            for (long opened = 0; opened <= index; ++opened) {
                const int master = ::open("/dev/pts/ptmx", O_RDWR | O_NOCTTY);
                if (master < 0 || ::unlockpt(master) != 0)
                    ::_exit(1);
            }
            const std::string name = "/dev/pts/" + std::to_string(index);
            if (::open(name.c_str(), O_RDWR | O_NOCTTY) < 0)
                ::_exit(1);
            static_cast<void>(::write(ready[1], "y", 1));
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char answer = 0;
        held_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1;
        ::close(ready[0]);
    }
    ~OtherRootsTerminal() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool held() const { return held_; }

private:
    pid_t pid_ = -1;
    bool held_ = false;
};

TEST(TtyLink, VirtualPortsAndOtherRootsTerminalsAreNotInUse) {
    // socat's pair, as people try a serial tool without hardware: socat
    // keeps both sides of each terminal it makes open, being their other
    // end. Here it stands between the link and the simulated device.
    DevSim device;
    QTemporaryDir dir;
    const QString virtualPort = dir.filePath(QStringLiteral("A"));
    QProcess socat;
    socat.start(QStringLiteral("socat"),
                {QStringLiteral("pty,rawer,link=") + virtualPort,
                 QStringLiteral("open:") + device.device() + QStringLiteral(",rawer")});
    ASSERT_TRUE(socat.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(virtualPort) && clock.elapsed() < 30000)
        QThread::msleep(10);
    TtyLink link;
    const Sent sent = send(link, virtualPort, makeFrame(300, 3));
    EXPECT_EQ(sent.result.outcome, TransferOutcome::Completed) << link.errorDetail();
    socat.kill();
    socat.waitForFinished();

    // The same name in another devpts instance is another device.
    RawPty ours;
    const long index = ours.slave().section(QLatin1Char('/'), -1).toLong();
    OtherRootsTerminal theirs(index);
    if (!theirs.held())
        GTEST_SKIP() << "a devpts instance of its own needs root (CAP_SYS_ADMIN)";
    EXPECT_EQ(link.open(ours.slave().toStdString()), LinkError::None) << link.errorDetail();
}

TEST(TtyLink, BareNamesAreLookedUpWhereTheSerialLibraryLooks) {
    // "ttyS0" is /dev/ttyS0, whatever the working folder holds.
    EXPECT_EQ(platform::realDevice("ttyS0"), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(platform::realDevice("./dev"), QStringLiteral("./dev"));
    EXPECT_EQ(platform::realDevice("/tmp/x"), QStringLiteral("/tmp/x"));
    DevSim device;
    const QString relative =
        QDir(QStringLiteral("/dev")).relativeFilePath(QFileInfo(device.device()).symLinkTarget());
    TtyLink link;
    EXPECT_EQ(link.open(relative.toStdString()), LinkError::None) << relative.toStdString();
}

TEST(TtyLink, HangUpIsReportedPromptly) {
    const QByteArray image = makeImage(3, 4000);
    for (const char* when : {"2:100", "2:4002"}) { // mid-frame, then while waiting
        DevSim device({QStringLiteral("--hangup-at"), QString::fromLatin1(when)});
        TtyLink link(ms{5000});
        const Sent sent = send(link, device.device(), image);
        EXPECT_EQ(sent.result.outcome, TransferOutcome::LinkFailed) << when;
        EXPECT_EQ(sent.result.linkError, LinkError::HungUp) << when;
        EXPECT_LT(sent.elapsedMs, 2500) << when << ": well before the 5 s time-out";
        EXPECT_EQ(sent.result.state.acceptedBytes, 4002u) << when;
    }
    {
        // The device stops taking bytes in the middle of a 64 KiB frame: the
        // write gives up after the time-out, and a stop ends it sooner.
        DevSim device({QStringLiteral("--stall-at"), QStringLiteral("1:10")});
        const QByteArray huge = makeImage(1, 65535);
        TtyLink link(ms{600});
        Sent sent = send(link, device.device(), huge);
        EXPECT_EQ(sent.result.linkError, LinkError::WriteStalled);
        EXPECT_LT(sent.elapsedMs, 2000);
        std::atomic<bool> stop{false};
        link.setAnswerTimeout(ms{60000});
        link.watchStopFlag(&stop);
        std::thread stopper([&] {
            QThread::msleep(300);
            stop = true;
        });
        sent = send(link, device.device(), huge);
        stopper.join();
        EXPECT_EQ(sent.result.linkError, LinkError::Interrupted);
        EXPECT_LT(sent.elapsedMs, 2000);
    }
    {
        // A pseudo-terminal's master, where terminal settings mean nothing
        // and a read could wait forever, is no serial port.
        TtyLink link(ms{300});
        EXPECT_EQ(link.open("/dev/ptmx"), LinkError::PortNotFound);
        EXPECT_EQ(link.errorDetail(), "a pseudo-terminal's master side, not a serial port");
    }
}

TEST(TtyLink, SilenceIsReportedAfterTheTimeout) {
    DevSim device({QStringLiteral("--silent-from"), QStringLiteral("2")});
    TtyLink link(ms{400});
    const Sent sent = send(link, device.device(), makeImage(3, 10));
    EXPECT_EQ(sent.result.linkError, LinkError::NoAnswer);
    EXPECT_GE(sent.elapsedMs, 400);
    EXPECT_EQ(transferText(sent.result, link), "No answer from the device within 400 ms.");
}

TEST(TtyLink, RandomRejectsNeverCorruptWhatTheDeviceAccepts) {
    const QByteArray image = makeImage(12, 300, 3);
    int completed = 0;
    for (int seed = 1; seed <= 100; ++seed) {
        DevSim device({QStringLiteral("--reject-prob"), QStringLiteral("0.2"),
                       QStringLiteral("--seed"), QString::number(seed)});
        TtyLink link(ms{3000});
        const Sent sent = send(link, device.device(), image);
        device.stop();
        if (sent.result.completed()) {
            ++completed;
            ASSERT_TRUE(device.capture() == image) << "seed " << seed;
        } else {
            // Four rejects in a row may happen; what was accepted is still exact.
            ASSERT_EQ(sent.result.outcome, TransferOutcome::RejectedFourTimes) << "seed " << seed;
            ASSERT_TRUE(device.capture() ==
                        image.left(static_cast<qsizetype>(sent.result.state.acceptedBytes)))
                << seed;
        }
    }
    EXPECT_GE(completed, 80);
}

TEST(TtyLink, FlushDiscardsAByteLeftFromBefore) {
    // The device sends a stray byte well after its last answer (after the
    // guard); it waits in the port until the next attempt.
    const QByteArray image = makeImage(2, 5);
    const QStringList late{QStringLiteral("--stray"), QStringLiteral("0x55@2"),
                           QStringLiteral("--stray-delay-us"), QStringLiteral("100000")};
    DevSim device(late);
    TtyLink link;
    ASSERT_EQ(send(link, device.device(), image).result.outcome, TransferOutcome::Completed);
    QThread::msleep(150);
    EXPECT_EQ(send(link, device.device(), image).result.outcome, TransferOutcome::Completed);

    // Without the flush, the stray byte is caught before the first frame.
    DevSim again(late);
    ASSERT_EQ(send(link, again.device(), image).result.outcome, TransferOutcome::Completed);
    QThread::msleep(150);
    ASSERT_EQ(link.open(again.device().toStdString()), LinkError::None);
    const TransferResult unflushed = runTransfer(bytesOf(image), link);
    EXPECT_EQ(unflushed.outcome, TransferOutcome::AnswersOutOfStep);
    EXPECT_EQ(unflushed.state.transmissions, 0u);
}

TEST(TtyLink, PortReopensAtOnceAfterEveryKindOfEnd) {
    // Transmissions 1-4 rejected, 5 answered wrongly, 6 never answered.
    DevSim device({QStringLiteral("--reject"), QStringLiteral("1,2,3,4"),
                   QStringLiteral("--answer"), QStringLiteral("0x06@5"),
                   QStringLiteral("--silent-from"), QStringLiteral("6")});
    TtyLink link(ms{300});
    const QByteArray image = makeImage(2, 8);
    EXPECT_EQ(send(link, device.device(), image).result.outcome,
              TransferOutcome::RejectedFourTimes);
    EXPECT_EQ(send(link, device.device(), image).result.outcome, TransferOutcome::UnexpectedAnswer);
    EXPECT_EQ(send(link, device.device(), image).result.linkError, LinkError::NoAnswer);
    ASSERT_EQ(link.open(device.device().toStdString()), LinkError::None);
    link.close();
    EXPECT_EQ(device.stop().toStdString(), "transmissions=6 accepts=0 rejects=4");
}

TEST(TtyLink, AnAdaptersLatencyTimerIsLoweredWhileThePortIsOpen) {
    // A fake sysfs that has the device's pseudo-terminal as a USB adapter.
    QTemporaryDir sysfs;
    DevSim device;
    const QString tty = QFileInfo(QFileInfo(device.device()).symLinkTarget()).fileName();
    const QString folder = sysfs.filePath(QStringLiteral("bus/usb-serial/devices/") + tty);
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile timer(folder + QStringLiteral("/latency_timer"));
    const auto value = [&timer] {
        timer.open(QIODevice::ReadOnly);
        const QByteArray v = timer.readAll().trimmed();
        timer.close();
        return v;
    };
    ASSERT_TRUE(timer.open(QIODevice::WriteOnly));
    timer.write("16\n");
    timer.close();

    TtyLink link;
    link.setSysfsRoot(sysfs.path());
    ASSERT_EQ(link.open(device.device().toStdString()), LinkError::None);
    EXPECT_EQ(value(), "1");
    EXPECT_TRUE(link.adapterNote().empty());
    link.close();
    EXPECT_EQ(value(), "16") << "put back on close";
}
