// Remote ports: the RFC 2217 link against a real ser2net serving a j4_devsim
// pseudo-terminal, driven by the real update session.

#include "link_factory.h"
#include "port_names.h"
#include "processes.h"
#include "remote_failure.h"
#include "rfc2217_address.h"
#include "rfc2217_link.h"
#include "update_files.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

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
    const auto link = makeLink(device.toStdString(), timeout, {});
    return UpdateSession(*link).run(requestForDevice(file.toStdString(), device.toStdString()));
}

} // namespace

TEST(RemotePort, AddressesAreParsed) {
    for (const auto& [address, host, port, tls] :
         {std::tuple{"rfc2217://bench-pc.local:4001", "bench-pc.local", 4001, false},
          std::tuple{"RFC2217://10.0.0.7:7", "10.0.0.7", 7, false},
          std::tuple{"rfc2217://[::1]:4001", "::1", 4001, false},
          std::tuple{"rfc2217s://line-3.plant:4443", "line-3.plant", 4443, true}}) {
        const auto remote = parseRemotePort(address);
        ASSERT_TRUE(remote) << address;
        EXPECT_EQ(remote->host, host);
        EXPECT_EQ(remote->port, port);
        EXPECT_EQ(remote->tls, tls);
    }
    // Each refused with what is wrong, and as a remote address: never looked
    // for under /dev. A comma would reach gensio as another field.
    for (const auto& [bad, why] :
         {std::pair{"rfc2217://host", "the network port is missing"},
          std::pair{"rfc2217://", "the host is missing"},
          std::pair{"rfc2217://:4001", "the host is missing"},
          std::pair{"rfc2217://127.0.0.1:", "the network port is missing"},
          std::pair{"rfc2217://h:0", "the network port must be 1 to 65535"},
          std::pair{"rfc2217://h:70000", "Invalid port or port number out of range"},
          std::pair{"rfc2217://h:12x", "Invalid port or port number out of range"},
          std::pair{"rfc2217://127.0.0.1,4002:4001",
                    "Invalid hostname (contains invalid characters)"},
          std::pair{"rfc2217://h_x:4001", "'h_x' is not a host name or address"},
          std::pair{"telnet://h:4001", "it does not start with rfc2217:// or rfc2217s://"}}) {
        const auto remote = parseRemotePort(bad);
        ASSERT_FALSE(remote) << bad;
        EXPECT_EQ(remote.error(), why) << bad;
        EXPECT_TRUE(isRemoteAddress(bad)) << bad;
    }
    EXPECT_FALSE(isRemoteAddress("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0"));
    QTemporaryDir dir;
    const QString file =
        j4::testing::writeUpdateFile(dir.filePath("u.j4u"), j4::testing::makeImage(1, 4));
    const UpdateReport report = update(QStringLiteral("rfc2217://127.0.0.1,4002:4001"), file);
    EXPECT_EQ(report.text, remoteFailureText(RemoteFailure::AddressInvalid));
    EXPECT_EQ(
        report.detail,
        "Port: rfc2217://127.0.0.1,4002:4001 (Invalid hostname (contains invalid characters))");
}

TEST(RemotePort, PortListsSplitOnlyWhereAnotherEntryStarts) {
    EXPECT_EQ(splitPortList(QStringLiteral("/dev/a:rfc2217://h:4001:/dev/serial/by-path/"
                                           "pci-0000:00:14.0-usb-0:1:1.0-port0:rfc2217://[::1]:7:"
                                           "rfc2217s://line3:4443:/dev/b")),
              (QStringList{"/dev/a", "rfc2217://h:4001",
                           "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0",
                           "rfc2217://[::1]:7", "rfc2217s://line3:4443", "/dev/b"}));
}

TEST(RemotePort, AWholeUpdateArrivesBitExactThroughTheServer) {
    QTemporaryDir dir;
    const QByteArray image = escapedImage();
    const QString file = j4::testing::writeUpdateFile(dir.filePath("u.j4u"), image);
    DevSim device({"--reject", "2,5"});
    Ser2Net server(device.device());
    const UpdateReport report = update(server.url(), file);
    EXPECT_TRUE(report.completed()) << report.text << ' ' << report.detail;
    EXPECT_EQ(report.transfer.rejects, 2u);
    {
        // A server on the IPv6 loopback, its address in brackets.
        DevSim another;
        Ser2Net overIpv6(another.device(), QStringLiteral("::1"));
        const UpdateReport sent = update(overIpv6.url(), file);
        EXPECT_TRUE(sent.completed()) << sent.text << ' ' << sent.detail;
        another.stop();
        EXPECT_TRUE(another.capture() == image);
    }
    device.stop();
    EXPECT_TRUE(device.capture() == image);
}

TEST(RemotePort, FailuresHaveTheirOwnTexts) {
    std::set<std::string> texts;
    const int count = static_cast<int>(RemoteFailure::TlsFailed) + 1;
    for (int failure = 0; failure < count; ++failure)
        texts.insert(remoteFailureText(static_cast<RemoteFailure>(failure)));
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(count));
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
        EXPECT_EQ(refused.text, remoteFailureText(RemoteFailure::ServerRefused));
        const UpdateReport unknown =
            update(QStringLiteral("rfc2217://no-such-host.invalid:4001"), file);
        EXPECT_EQ(unknown.text, remoteFailureText(RemoteFailure::ServerNotFound));
    }
    {
        // A server that takes the connection and never answers (stopped, or
        // no serial server): it does not answer, and a stop ends the wait.
        QTcpServer mute;
        ASSERT_TRUE(mute.listen(QHostAddress::LocalHost));
        const QString address = QStringLiteral("rfc2217://127.0.0.1:%1").arg(mute.serverPort());
        const UpdateReport silent = update(address, file);
        EXPECT_EQ(silent.text, remoteFailureText(RemoteFailure::ServerUnreachable))
            << silent.detail;
        std::atomic<bool> stop{false};
        std::thread stopper([&stop] {
            QThread::msleep(300);
            stop = true;
        });
        const auto link = makeLink(address.toStdString(), ms{2000}, {});
        const UpdateReport stopped =
            UpdateSession(*link, &stop)
                .run(requestForDevice(file.toStdString(), address.toStdString()));
        stopper.join();
        EXPECT_EQ(stopped.outcome, UpdateOutcome::Interrupted);
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
        EXPECT_EQ(lost.text, remoteFailureText(RemoteFailure::ServerLost));
        EXPECT_EQ(lost.text, "The connection to the serial server was lost.");
        EXPECT_LT(clock.elapsed(), 3000) << "seen at once, not after the answer time-out";
    }
}

namespace {

// The device end of a pseudo-terminal for ser2net to serve: whatever reaches
// "the device" is read here, raw.
class RawDevice {
public:
    RawDevice() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
    }
    ~RawDevice() { ::close(master_); }
    QString path() const { return QString::fromLatin1(::ptsname(master_)); }
    QByteArray received() const {
        QByteArray bytes;
        char chunk[512];
        for (ssize_t n; (n = ::read(master_, chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, n);
        return bytes;
    }

private:
    int master_;
};

UpdateReport updateOverTls(const QString& url, const QString& file, const TlsSettings& tls,
                           const std::atomic<bool>* stop = nullptr) {
    const auto link = makeLink(url.toStdString(), ms{2000}, tls);
    return UpdateSession(*link, stop).run(requestForDevice(file.toStdString(), url.toStdString()));
}

// A TLS server that completes the handshake and then says nothing, as a
// hung serial server behind a TLS terminator would; or floods the line with
// zeros and never answers the RFC 2217 settings.
class SilentTlsServer {
public:
    SilentTlsServer(const QString& cert, const QString& key, bool flood = false)
        : port_(j4::testing::freeLocalPort()) {
        if (flood)
            server_.setStandardInputFile("/dev/zero");
        server_.setStandardOutputFile(QProcess::nullDevice());
        server_.setStandardErrorFile(QProcess::nullDevice());
        server_.start("openssl",
                      {"s_server", "-quiet", "-accept", QStringLiteral("127.0.0.1:%1").arg(port_),
                       "-cert", cert, "-key", key});
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
            if (probe.waitForConnected(200) || clock.elapsed() > 20000)
                break;
            QThread::msleep(20);
        }
    }
    ~SilentTlsServer() {
        server_.kill();
        server_.waitForFinished();
    }
    QString url() const { return QStringLiteral("rfc2217s://127.0.0.1:%1").arg(port_); }

private:
    int port_;
    QProcess server_;
};

} // namespace

TEST(RemotePort, TlsLetsInOnlyTheRightServerAndClient) {
    // Certificates made here with openssl; a real ser2net with a TLS
    // accepter. The right authority updates bit-exact; each refusal is said
    // as what it is, within 10 s, and the device receives nothing.
    const j4::testing::TestCertificates certs;
    QTemporaryDir dir;
    const QByteArray image = escapedImage();
    const QString file = j4::testing::writeUpdateFile(dir.filePath("u.j4u"), image);
    const TlsSettings trusted{certs.path("ca.pem").toStdString(), {}, {}};
    const auto tlsServer = [&](const QString& device, const QString& name,
                               const QString& authDir = {}) {
        return std::make_unique<Ser2Net>(
            device, QStringLiteral("127.0.0.1"),
            Ser2Net::Tls{certs.path(name + ".key"), certs.path(name + ".pem"), authDir});
    };
    {
        DevSim device({"--reject", "3"});
        const auto server = tlsServer(device.device(), "server");
        const UpdateReport report = updateOverTls(server->url(), file, trusted);
        EXPECT_TRUE(report.completed()) << report.text << ' ' << report.detail;
        device.stop();
        EXPECT_TRUE(device.capture() == image);
    }
    RawDevice raw;
    const auto refused = [&](const QString& url, const TlsSettings& tls, RemoteFailure expected) {
        QElapsedTimer clock;
        clock.start();
        const UpdateReport report = updateOverTls(url, file, tls);
        EXPECT_EQ(report.outcome, UpdateOutcome::PortFailed) << url.toStdString();
        EXPECT_EQ(report.linkError, LinkError::Specific) << report.text << ' ' << report.detail;
        EXPECT_EQ(report.text, remoteFailureText(expected)) << report.detail;
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_TRUE(raw.received().isEmpty()) << report.text;
        return report;
    };
    {
        const auto server = tlsServer(raw.path(), "server");
        refused(server->url(), {certs.path("other-ca.pem").toStdString(), {}, {}},
                RemoteFailure::TlsUntrusted);
        refused(server->url(), {}, RemoteFailure::TlsUntrusted); // the system's authorities
        QString plain = server->url();
        refused(plain.replace("rfc2217s://", "rfc2217://"), trusted, RemoteFailure::TlsExpected);
    }
    {
        Ser2Net plain(raw.path());
        refused(QString(plain.url()).replace("rfc2217://", "rfc2217s://"), trusted,
                RemoteFailure::TlsNotOffered);
    }
    refused(tlsServer(raw.path(), "wrong-host")->url(), trusted, RemoteFailure::TlsWrongHost);
    refused(tlsServer(raw.path(), "cn-only")->url(), trusted, RemoteFailure::TlsWrongHost);
    refused(tlsServer(raw.path(), "future")->url(), trusted, RemoteFailure::TlsNotYetValid);
    {
        // Handshake done, then silence: the server does not answer, whatever
        // a client certificate would have done; a stop ends the wait at once.
        SilentTlsServer silent(certs.path("server.pem"), certs.path("server.key"));
        refused(silent.url(), trusted, RemoteFailure::ServerUnreachable);
        std::atomic<bool> stop{false};
        std::optional<UpdateReport> report;
        std::thread opening([&] { report = updateOverTls(silent.url(), file, trusted, &stop); });
        QThread::msleep(1500); // past the greeting's wait and the handshake
        QElapsedTimer clock;
        clock.start();
        stop = true;
        opening.join();
        EXPECT_LT(clock.elapsed(), 1000) << "a stop is seen within a tenth of a second";
        EXPECT_EQ(report->outcome, UpdateOutcome::Interrupted) << report->text;
    }
    {
        // A server that floods the line after the handshake: a refusal, not
        // a crash while the connection is closed (gensio's crash there came
        // and went with timing: three tries).
        SilentTlsServer flooding(certs.path("server.pem"), certs.path("server.key"), true);
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto result = j4::testing::runProgram(
                j4::testing::flashPath(),
                {"-q", "--tls-ca", certs.path("ca.pem"), "--device", flooding.url(), file});
            EXPECT_EQ(result.exitCode, 4) << result.err.toStdString();
            EXPECT_TRUE(result.err.contains("The serial server does not answer."))
                << result.err.toStdString();
        }
    }
    QThread::sleep(1); // "expired" was valid only for the second it was made in
    refused(tlsServer(raw.path(), "expired")->url(), trusted, RemoteFailure::TlsExpired);
    {
        // Client certificates: ser2net takes the authorities of a client
        // named CN from AUTHDIR/CN/allowed_certs.
        const auto server = tlsServer(raw.path(), "server", certs.path("auth"));
        refused(server->url(), trusted, RemoteFailure::TlsClientCertMissing);
        refused(server->url(),
                {trusted.caFile, certs.path("other-client.pem").toStdString(),
                 certs.path("other-client.key").toStdString()},
                RemoteFailure::TlsClientCertRefused);
        // A key behind a passphrase: refused before any connection, never
        // a prompt on the terminal.
        const UpdateReport locked = refused(server->url(),
                                            {trusted.caFile, certs.path("client.pem").toStdString(),
                                             certs.path("locked.key").toStdString()},
                                            RemoteFailure::TlsFailed);
        EXPECT_NE(locked.detail.find("The TLS key " + certs.path("locked.key").toStdString() +
                                     " is protected by a passphrase; give a key without one"),
                  std::string::npos)
            << locked.detail;
    }
    // The command line's options, as a station would give them: the plant's
    // authority within the system's whole bundle, then as a hashed folder
    // named without its trailing slash; a key others may read is warned of
    // once.
    QFile bundle(dir.filePath("bundle.crt"));
    ASSERT_TRUE(bundle.open(QIODevice::WriteOnly));
    QFile system("/etc/ssl/certs/ca-certificates.crt");
    if (system.open(QIODevice::ReadOnly))
        bundle.write(system.readAll());
    QFile ca(certs.path("ca.pem"));
    ASSERT_TRUE(ca.open(QIODevice::ReadOnly));
    bundle.write(ca.readAll());
    bundle.close();
    QDir().mkpath(dir.filePath("authorities"));
    QFile::copy(certs.path("ca.pem"), dir.filePath("authorities/plant.pem"));
    ASSERT_EQ(QProcess::execute("openssl", {"rehash", dir.filePath("authorities")}), 0);
    const QString key = certs.path("client.key");
    for (const auto& [authority, mode] :
         {std::pair{bundle.fileName(), 0644}, std::pair{dir.filePath("authorities"), 0600}}) {
        ASSERT_EQ(::chmod(QFile::encodeName(key).constData(), mode), 0);
        DevSim device;
        const auto server = tlsServer(device.device(), "server", certs.path("auth"));
        const auto result = j4::testing::runProgram(j4::testing::flashPath(),
                                                    {"-q", "--tls-ca", authority, "--tls-cert",
                                                     certs.path("client.pem"), "--tls-key", key,
                                                     "--device", server->url(), file});
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_EQ(result.err.count("can be read by other users"), mode == 0644 ? 1 : 0)
            << result.err.toStdString();
        device.stop();
    }
}
