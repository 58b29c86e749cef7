// The serial link over real pseudo-terminals with the real Qt port, driven by
// the real transfer against the simulated device.

#include "processes.h"
#include "qt_serial_link.h"
#include "transfer.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace j4;
using j4::testing::DevSim;
using j4::testing::makeFrame;
using j4::testing::makeImage;
using Kind = TransferOutcome::Kind;

namespace {

struct Sent {
    TransferOutcome outcome;
    TransferCounters counters;
    qint64 elapsedMs = 0;
};

FrameImage& imageFrom(const QByteArray& bytes) {
    static FrameImage image;
    image.bufferSize = static_cast<std::int32_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), image.buffer.begin());
    return image;
}

// One attempt as the tools run it: open, flush, transfer, close.
Sent send(QtSerialLink& link, const QString& device, const QByteArray& bytes) {
    Sent sent;
    const int opened = link.openDevice(device);
    EXPECT_EQ(opened, 0) << link.errorText(opened);
    link.flushInput();
    QElapsedTimer clock;
    clock.start();
    sent.outcome = runTransfer(imageFrom(bytes), link, sent.counters, {});
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

TEST(QtSerialLink, EveryByteValueCrossesUnalteredBothWays) {
    // XON/XOFF, CR/LF translation or signal characters would each alter or
    // swallow some of these; 0x13 coming before the write would also stop it.
    RawPty pty;
    QtSerialLink link(2000);
    ASSERT_EQ(link.openDevice(pty.slave()), 0);
    pty.write(everyByteValue());
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(link.readByte(), i);
    const QByteArray out = everyByteValue();
    ASSERT_EQ(link.write({reinterpret_cast<const std::uint8_t*>(out.constData()), 256}), 256);
    EXPECT_EQ(pty.read(256), out);
}

TEST(QtSerialLink, LargestFrameAndFullImageArriveBitExact) {
    DevSim device;
    QtSerialLink link;
    const QByteArray largest = makeFrame(65535, 7);
    const QByteArray full = makeImage(4, 65534, 9); // 4 x 65,536 = 262,144 bytes
    ASSERT_EQ(full.size(), FRAME_IMAGE_CAPACITY);
    EXPECT_EQ(send(link, device.device(), largest).outcome.kind, Kind::Completed);
    EXPECT_EQ(send(link, device.device(), full).outcome.kind, Kind::Completed);
    EXPECT_EQ(device.stop().toStdString(), "transmissions=5 accepts=5 rejects=0");
    EXPECT_TRUE(device.capture() == largest + full);
}

TEST(QtSerialLink, HeldOrMissingPortIsRefused) {
    DevSim device;
    QtSerialLink holder;
    ASSERT_EQ(holder.openDevice(device.device()), 0);
    QtSerialLink second;
    const int busy = second.openDevice(device.device());
    EXPECT_EQ(busy, code(SerialError::PortBusy));
    EXPECT_EQ(second.errorText(busy), "The serial port is in use by another program.");
    holder.close();
    EXPECT_EQ(second.openDevice(device.device()), 0) << "free again once released";
    second.close();
    second.close(); // closing twice does no harm

    EXPECT_EQ(second.openDevice(QStringLiteral("/dev/j4-no-such-port")),
              code(SerialError::PortNotFound));
    qputenv("J4_PORTS", device.device().toLocal8Bit());
    EXPECT_EQ(second.open(2), code(SerialError::PortNotFound)) << "a number with no port";
    EXPECT_EQ(second.open(1), 0);
    EXPECT_EQ(second.port().device, device.device());
    qunsetenv("J4_PORTS");
}

TEST(QtSerialLink, HangUpIsReportedPromptly) {
    const QByteArray image = makeImage(3, 4000);
    for (const char* when : {"2:100", "2:4002"}) { // mid-frame, then while waiting
        DevSim device({QStringLiteral("--hangup-at"), QString::fromLatin1(when)});
        QtSerialLink link(5000);
        const Sent sent = send(link, device.device(), image);
        EXPECT_EQ(sent.outcome.kind, Kind::ReadFailure) << when;
        EXPECT_EQ(sent.outcome.ComErr, code(SerialError::HungUp)) << when;
        EXPECT_LT(sent.elapsedMs, 2500) << when << ": well before the 5 s time-out";
        EXPECT_EQ(sent.counters.bytesSent, 4002) << when;
        EXPECT_EQ(link.errorText(sent.outcome.ComErr),
                  "The device or adapter was removed, or the line hung up.");
    }
}

TEST(QtSerialLink, SilenceIsReportedAfterTheTimeout) {
    DevSim device({QStringLiteral("--silent-from"), QStringLiteral("2")});
    QtSerialLink link(400);
    const Sent sent = send(link, device.device(), makeImage(3, 10));
    EXPECT_EQ(sent.outcome.kind, Kind::ReadFailure);
    EXPECT_EQ(sent.outcome.ComErr, code(SerialError::NoAnswer));
    EXPECT_GE(sent.elapsedMs, 400);
    EXPECT_EQ(link.errorText(sent.outcome.ComErr), "No answer from the device within 400 ms.");
}

TEST(QtSerialLink, RandomRejectsNeverCorruptWhatTheDeviceAccepts) {
    const QByteArray image = makeImage(12, 300, 3);
    int completed = 0;
    for (int seed = 1; seed <= 100; ++seed) {
        DevSim device({QStringLiteral("--reject-prob"), QStringLiteral("0.2"),
                       QStringLiteral("--seed"), QString::number(seed)});
        QtSerialLink link(3000);
        const Sent sent = send(link, device.device(), image);
        device.stop();
        if (sent.outcome.kind == Kind::Completed) {
            ++completed;
            ASSERT_TRUE(device.capture() == image) << "seed " << seed;
        } else {
            // Four rejects in a row may happen; what was accepted is still exact.
            ASSERT_EQ(sent.outcome.kind, Kind::CrcError) << "seed " << seed;
            ASSERT_TRUE(device.capture() == image.left(sent.counters.bytesSent)) << seed;
        }
    }
    EXPECT_GE(completed, 80);
}

TEST(QtSerialLink, FlushDiscardsAByteLeftFromBefore) {
    // The device sends a stray byte after its last answer; it waits in the
    // port until the next attempt.
    const QByteArray image = makeImage(2, 5);
    DevSim device({QStringLiteral("--stray"), QStringLiteral("0x55@2")});
    QtSerialLink link;
    ASSERT_EQ(send(link, device.device(), image).outcome.kind, Kind::Completed);
    QThread::msleep(50);
    EXPECT_EQ(send(link, device.device(), image).outcome.kind, Kind::Completed);

    // Without the flush, the stray byte is taken as the first answer.
    DevSim again({QStringLiteral("--stray"), QStringLiteral("0x55@2")});
    ASSERT_EQ(send(link, again.device(), image).outcome.kind, Kind::Completed);
    QThread::msleep(50);
    ASSERT_EQ(link.openDevice(again.device()), 0);
    TransferCounters counters;
    EXPECT_EQ(runTransfer(imageFrom(image), link, counters, {}).kind, Kind::CommunicationError);
    EXPECT_EQ(counters.receivedByte, 0x55);
}

TEST(QtSerialLink, PortReopensAtOnceAfterEveryKindOfEnd) {
    // Transmissions 1-4 rejected, 5 answered wrongly, 6 never answered.
    DevSim device({QStringLiteral("--reject"), QStringLiteral("1,2,3,4"),
                   QStringLiteral("--answer"), QStringLiteral("0x06@5"),
                   QStringLiteral("--silent-from"), QStringLiteral("6")});
    QtSerialLink link(300);
    const QByteArray image = makeImage(2, 8);
    EXPECT_EQ(send(link, device.device(), image).outcome.kind, Kind::CrcError);
    EXPECT_EQ(send(link, device.device(), image).outcome.kind, Kind::CommunicationError);
    EXPECT_EQ(send(link, device.device(), image).outcome.kind, Kind::ReadFailure);
    ASSERT_EQ(link.openDevice(device.device()), 0);
    link.close();
    EXPECT_EQ(device.stop().toStdString(), "transmissions=6 accepts=0 rejects=4");
}
