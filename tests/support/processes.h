#pragma once
// Real processes for tests: the simulated device on a pseudo-terminal, and the
// command-line tools.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace j4::testing {

// j4_devsim on its own pseudo-terminal, linked into a temporary folder.
class DevSim {
public:
    explicit DevSim(const QStringList& options = {});
    ~DevSim();

    QString device() const { return dir_.filePath(QStringLiteral("device")); }
    QByteArray capture() const;
    // Stops the device (SIGTERM) and returns its summary line.
    QString stop();
    // Waits until the device has ended by itself (after a hang-up).
    QString waitForExit(int ms = 5000);
    qint64 processId() const;

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QString summary_;
};

// A real ser2net, started on a free local port with a generated
// configuration, serving `device` with RFC 2217 (telnet(rfc2217),tcp), or
// over TLS (telnet(rfc2217),ssl(...),tcp).
class Ser2Net {
public:
    struct Tls {
        QString key; // the server's key and certificate
        QString cert;
        // Client certificates asked for and checked: ser2net looks for the
        // authorities of a client whose certificate's CN is NAME in
        // AUTHDIR/NAME/allowed_certs/ (hashed, as openssl rehash leaves it).
        QString clientAuthDir;
    };
    // Serves `device` on a free port of the loopback address `host`.
    explicit Ser2Net(const QString& device, const QString& host = QStringLiteral("127.0.0.1"),
                     const Tls& tls = {});
    ~Ser2Net();

    // "rfc2217://127.0.0.1:PORT" ("rfc2217://[::1]:PORT" when bound there;
    // rfc2217s:// with TLS)
    QString url() const;
    int port() const { return port_; }
    // Kills the server (SIGKILL), as a crash or a pulled cable would.
    void kill();

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    int port_ = 0;
    QString host_;
    bool tls_ = false;
};

// Certificates made with openssl for the TLS tests, in a folder of their
// own: an authority and another one, server certificates for localhost and
// 127.0.0.1 (good, for another host, expired), client certificates for CN
// "station1" from each authority, and ser2net's folder of client authorities.
class TestCertificates {
public:
    TestCertificates();
    QString path(const QString& name) const { return dir_.filePath(name); }
    // PATH.pem and PATH.key of each: ca, other-ca, server, wrong-host,
    // expired, cn-only, future (valid from 2099), client, other-client; the
    // client's key behind a passphrase, locked.key; and the folder "auth".

private:
    void make(const QString& name, const QString& subject, const QString& issuer,
              const QStringList& extra);
    void makeFuture(const QString& name, const QString& subject);
    QTemporaryDir dir_;
};

// A local TCP port nobody listens on at the moment.
int freeLocalPort();

struct ProgramResult {
    int exitCode = -1;
    QString out;
    QString err;
    // The last non-empty line of standard error, or of standard output.
    QString lastLine() const;
};

// What bash completion offers: `function` of the completion `script`, for
// `words` typed in `folder`, with the programs in `programs` first on PATH.
QStringList completions(const QString& script, const QString& function, const QString& programs,
                        const QString& folder, const QString& words,
                        const QStringList& environment = {});

ProgramResult runProgram(const QString& program, const QStringList& arguments,
                         const QStringList& extraEnvironment = {}, int timeoutMs = 60000);

// What systemd-analyze verify objects to in `unit` (a unit's name, its
// file in `folder`): empty when it takes it, or where there is no
// systemd-analyze.
QString unitObjections(const QString& folder, const QString& unit);

// minisign, the release engineer's own tool: a key pair made without a
// password in `folder`, and signatures made with it.
class Minisign {
public:
    Minisign(const QString& folder, const QString& name);
    QString publicKey() const { return publicKey_; }
    QString secretKey() const { return secretKey_; }
    // The key ID as minisign prints it.
    QString keyId() const;
    // Signs `file` into `signature` (FILE.minisig when empty) with
    // `trustedComment`; `legacy`: the old unhashed form (-l).
    void sign(const QString& file, const QString& trustedComment, const QString& signature = {},
              bool legacy = false) const;

private:
    QString publicKey_;
    QString secretKey_;
};

// j4_devsim (verbose) linked first at `staging`, then renamed to `slot` as
// udev makes its links, so that the device appears there at once; `clock`
// starts at the rename.
std::unique_ptr<QProcess> plugDevSim(const QString& staging, const QString& slot,
                                     QElapsedTimer& clock);

// Where the build put the tools.
QString devsimPath();
QString flashPath();

} // namespace j4::testing

namespace j4::testing {

// The PostgreSQL server the tests run beside: pg_virtualenv's throwaway
// cluster (tests/support/with_postgres.sh), which sets PGHOST, PGPORT,
// PGUSER, PGPASSWORD and PGDATABASE. Stopped, started and paused as a
// plant's network and server would be.
class TestDatabase {
public:
    // Whether the tests run beside one.
    static bool available();
    // The same for a benchmark, saying how to run it when not.
    static bool availableOrSaid();
    // postgresql://USER@HOST:PORT/DB, with `query` after a '?' when given.
    QString url(const QString& query = {}) const;
    // The same database over the server's Unix socket (libpq's default for
    // a local server): the socket's folder as host, password authentication
    // allowed on it for the test's role.
    QString socketUrl() const;
    // The rows of `sql` as psql -At prints them ('|' between columns).
    QString query(const QString& sql) const;
    // Every table of the records and of the plant gone: a test's own start.
    void dropRecords() const;
    void stop();
    void start();
    // Every server process stopped (SIGSTOP) or let go on (SIGCONT): a
    // server that neither answers nor refuses.
    void pause();
    void resume();
    QString dataDirectory() const;

private:
    void signalAll(int signal) const;
};

// A TCP proxy between a program and the test's database that fails as a
// plant's network does (tests/support/fault_proxy.py): packets dropped,
// connections reset. Its process ends with it.
class FaultProxy {
public:
    explicit FaultProxy(const TestDatabase& database);
    ~FaultProxy();
    // The database's URL through the proxy.
    QString url() const;
    void pass() { command("pass"); }
    void drop() { command("drop"); }
    void reset() { command("reset"); }
    // Every piece of data held `ms` before it goes on; 0: none.
    void delay(int ms) { command("delay " + QByteArray::number(ms)); }

private:
    void command(const QByteArray& word);
    QProcess process_;
    QString url_;
};

// A line of the plant's, as a window test needs one: `file` signed as
// version 5.0.0 with a key made in `folder`, added with j4_plant (at
// `plant`) and assigned with `assignment` ("L7", "--work-order", ...).
// The key's public half, which the line's stations trust; empty (and the
// test failed) when j4_plant refused.
QString assignLine(const QString& plant, const TestDatabase& database, const QString& folder,
                   const QString& file, const QStringList& assignment);

} // namespace j4::testing
