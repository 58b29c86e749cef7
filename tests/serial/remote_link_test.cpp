// Remote ports: the RFC 2217 link against a real ser2net serving a j4_devsim
// pseudo-terminal, driven by the real update session.

#include "link_factory.h"
#include "port_names.h"
#include "processes.h"
#include "rfc2217_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <thread>

using namespace j4;
using j4::testing::DevSim;
using j4::testing::Ser2Net;
using ms = std::chrono::milliseconds;

namespace {

// An update file whose frames are full of 0xFF, the byte telnet escapes.
QByteArray escapedImage() {
    QByteArray image;
    for (int frame = 0; frame < 6; ++frame) {
        image.append(char(0x01)).append(char(0x00)); // 256 content bytes
        image.append(QByteArray(256, char(0xFF)));
    }
    return image + j4::testing::makeImage(4, 300, 7);
}

UpdateReport update(const QString& device, const QString& file, ms timeout = ms{2000}) {
    const auto link = makeLink(device.toStdString(), timeout);
    return UpdateSession(*link).run(requestForDevice(file, device));
}

} // namespace

TEST(RemotePort, AddressesAreParsed) {
    const auto remote = parseRemotePort("rfc2217://bench-pc.local:4001");
    ASSERT_TRUE(remote);
    EXPECT_EQ(remote->host, "bench-pc.local");
    EXPECT_EQ(remote->port, 4001);
    for (const char* bad : {"rfc2217://host", "rfc2217://:4001", "rfc2217://h:0",
                            "rfc2217://h:70000", "rfc2217://h:12x", "/dev/ttyUSB0"})
        EXPECT_FALSE(parseRemotePort(bad)) << bad;
}

TEST(RemotePort, PortListsSplitOnlyWhereAnotherEntryStarts) {
    EXPECT_EQ(splitPortList(QStringLiteral("/dev/a:rfc2217://h:4001:/dev/serial/by-path/"
                                           "pci-0000:00:14.0-usb-0:1:1.0-port0:rfc2217://[::1]:7")),
              (QStringList{"/dev/a", "rfc2217://h:4001",
                           "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                           "rfc2217://[::1]:7"}));
}

TEST(RemotePort, AWholeUpdateArrivesBitExactThroughTheServer) {
    QTemporaryDir dir;
    const QByteArray image = escapedImage();
    const QString file = j4::testing::writeUpdateFile(dir.filePath("u.j4u"), image);
    DevSim device({"--reject", "2,5"});
    Ser2Net server(device.device());
    const UpdateReport report = update(server.url(), file);
    EXPECT_TRUE(report.completed()) << report.text << ' ' << report.detail;
    EXPECT_EQ(report.where.rejects, 2u);
    device.stop();
    EXPECT_TRUE(device.capture() == image);
}

TEST(RemotePort, FailuresHaveTheirOwnTexts) {
    QTemporaryDir dir;
    const QString file =
        j4::testing::writeUpdateFile(dir.filePath("u.j4u"), j4::testing::makeImage(20, 200));
    {
        DevSim silent({"--silent-from", "3"});
        Ser2Net server(silent.device());
        const UpdateReport report = update(server.url(), file, ms{400});
        EXPECT_EQ(report.outcome, UpdateOutcome::LinkFailed);
        EXPECT_EQ(report.text, "No answer from the device within 400 ms.");
    }
    {
        const UpdateReport refused = update(
            QStringLiteral("rfc2217://127.0.0.1:%1").arg(j4::testing::freeLocalPort()), file);
        EXPECT_EQ(refused.outcome, UpdateOutcome::PortFailed);
        EXPECT_EQ(refused.linkError, LinkError::ServerRefused);
        const UpdateReport unknown =
            update(QStringLiteral("rfc2217://no-such-host.invalid:4001"), file);
        EXPECT_EQ(unknown.linkError, LinkError::ServerNotFound);
    }
    {
        // The server dies in the middle of the transfer.
        DevSim slow({"--delay-us", "20000"});
        Ser2Net server(slow.device());
        std::thread killer([&server] {
            QThread::msleep(150);
            server.kill();
        });
        QElapsedTimer clock;
        clock.start();
        const UpdateReport lost = update(server.url(), file, ms{5000});
        killer.join();
        EXPECT_EQ(lost.outcome, UpdateOutcome::LinkFailed);
        EXPECT_EQ(lost.linkError, LinkError::ServerLost);
        EXPECT_EQ(lost.text, "The connection to the serial server was lost.");
        EXPECT_LT(clock.elapsed(), 3000) << "seen at once, not after the answer time-out";
    }
}
