#include "processes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <sys/types.h>

namespace j4::testing {

QString devsimPath() {
    return QStringLiteral(J4_DEVSIM_PATH);
}
QString flashPath() {
    return QStringLiteral(J4_FLASH_PATH);
}

DevSim::DevSim(const QStringList& options) : process_(std::make_unique<QProcess>()) {
    QStringList arguments{QStringLiteral("--link"), device(), QStringLiteral("--capture"),
                          dir_.filePath(QStringLiteral("capture.bin"))};
    arguments += options;
    process_->start(devsimPath(), arguments);
    QElapsedTimer clock;
    clock.start();
    // Ready once the link exists (it is made after the device is set up).
    while (!QFileInfo::exists(device())) {
        if (clock.elapsed() > 10000 || process_->state() == QProcess::NotRunning)
            throw std::runtime_error("j4_devsim did not start: " +
                                     process_->readAllStandardError().toStdString());
        QThread::msleep(5);
    }
}

DevSim::~DevSim() {
    stop();
}

qint64 DevSim::processId() const {
    return process_->processId();
}

QByteArray DevSim::capture() const {
    QFile file(dir_.filePath(QStringLiteral("capture.bin")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString DevSim::stop() {
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        process_->waitForFinished(5000);
    }
    return waitForExit();
}

QString DevSim::waitForExit(int ms) {
    if (process_->state() != QProcess::NotRunning)
        process_->waitForFinished(ms);
    if (summary_.isEmpty())
        summary_ = QString::fromUtf8(process_->readAllStandardError()).trimmed();
    return summary_;
}

int freeLocalPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

Ser2Net::Ser2Net(const QString& device, const QString& host, const Tls& tls)
    : process_(std::make_unique<QProcess>()), host_(host), tls_(!tls.cert.isEmpty()) {
    port_ = freeLocalPort();
    const QString config = dir_.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write the ser2net configuration");
    QString layers = QStringLiteral("telnet(rfc2217),");
    if (tls_)
        layers += QStringLiteral("ssl(key=%1,cert=%2%3),")
                      .arg(tls.key, tls.cert,
                           tls.clientAuthDir.isEmpty() ? QString() : QStringLiteral(",clientauth"));
    QString options = QStringLiteral("    kickolduser: true\n");
    if (!tls.clientAuthDir.isEmpty())
        options += QStringLiteral("    authdir: %1\n").arg(tls.clientAuthDir);
    file.write(QStringLiteral("connection: &j4\n"
                              "  accepter: %4tcp,%3,%1\n"
                              "  connector: serialdev,%2,115200N81,local\n"
                              "  options:\n%5")
                   .arg(port_)
                   .arg(device, host_, layers, options)
                   .toUtf8());
    file.close();
    // -n: stay in the foreground; -d: no daemon, messages to standard error.
    process_->start(QStringLiteral("ser2net"),
                    {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-c"), config});
    // Ready once it accepts connections.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress(host_), static_cast<quint16>(port_));
        if (socket.waitForConnected(200)) {
            socket.abort();
            break;
        }
        if (clock.elapsed() > 10000 || process_->state() == QProcess::NotRunning)
            throw std::runtime_error("ser2net did not start: " +
                                     process_->readAllStandardError().toStdString());
        QThread::msleep(20);
    }
    // The probing connection must be gone before a test connects.
    QThread::msleep(50);
}

Ser2Net::~Ser2Net() {
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(3000))
            kill();
    }
}

QString Ser2Net::url() const {
    const QString host = host_.contains(QLatin1Char(':')) ? "[" + host_ + "]" : host_;
    return QStringLiteral("%1://%2:%3")
        .arg(tls_ ? QStringLiteral("rfc2217s") : QStringLiteral("rfc2217"), host)
        .arg(port_);
}

TestCertificates::TestCertificates() {
    make("ca", "/CN=J4 test authority", {}, {});
    make("other-ca", "/CN=Another authority", {}, {});
    const QStringList localhost{"-extfile", path("san.ext")};
    QFile san(path("san.ext"));
    if (!san.open(QIODevice::WriteOnly) ||
        san.write("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n") < 0)
        throw std::runtime_error("cannot write san.ext");
    san.close();
    make("server", "/CN=localhost", "ca", localhost);
    make("wrong-host", "/CN=elsewhere.example", "ca", {});
    // Valid from now until now: expired a second later.
    make("expired", "/CN=localhost", "ca", localhost + QStringList{"-days", "0"});
    // A host name in the CN alone, no subjectAltName: no promise of a host.
    make("cn-only", "/CN=localhost", "ca", {});
    makeFuture("future", "/CN=localhost");
    make("client", "/CN=station1", "ca", {});
    make("other-client", "/CN=station1", "other-ca", {});
    QDir().mkpath(path("auth/station1/allowed_certs"));
    QFile::copy(path("ca.pem"), path("auth/station1/allowed_certs/ca.pem"));
    if (QProcess::execute("openssl", {"rehash", path("auth/station1/allowed_certs")}) != 0)
        throw std::runtime_error("openssl rehash failed");
    // The client's key as a passphrase protects it.
    if (QProcess::execute("openssl", {"pkey", "-in", path("client.key"), "-aes256", "-passout",
                                      "pass:secret", "-out", path("locked.key")}) != 0)
        throw std::runtime_error("openssl pkey failed");
}

void TestCertificates::makeFuture(const QString& name, const QString& subject) {
    // Valid from the year 2099 on: only openssl ca sets a start date.
    make(name, subject, {}, {});
    QFile config(path("ca.cnf"));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(QStringLiteral("[ca]\ndefault_ca=own\n[own]\ndatabase=%1\nnew_certs_dir=%2\n"
                                    "serial=%3\ndefault_md=sha256\npolicy=any\n"
                                    "unique_subject=no\n[any]\ncommonName=supplied\n")
                         .arg(path("index.txt"), dir_.path(), path("serial"))
                         .toUtf8()) < 0)
        throw std::runtime_error("cannot write ca.cnf");
    config.close();
    QFile(path("index.txt")).open(QIODevice::WriteOnly);
    QFile serial(path("serial"));
    serial.open(QIODevice::WriteOnly);
    serial.write("1000\n");
    serial.close();
    QProcess openssl;
    openssl.start("openssl", {"req", "-new", "-key", path(name + ".key"), "-subj", subject, "-out",
                              path(name + ".csr")});
    openssl.waitForFinished(20000);
    openssl.start("openssl",
                  {"ca", "-batch", "-notext", "-config", path("ca.cnf"), "-cert", path("ca.pem"),
                   "-keyfile", path("ca.key"), "-in", path(name + ".csr"), "-out",
                   path(name + ".pem"), "-startdate", "20990101000000Z", "-enddate",
                   "20990201000000Z", "-extfile", path("san.ext")});
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
        throw std::runtime_error("openssl ca failed: " +
                                 openssl.readAllStandardError().toStdString());
}

void TestCertificates::make(const QString& name, const QString& subject, const QString& issuer,
                            const QStringList& extra) {
    QStringList request{"req",
                        "-newkey",
                        "ec",
                        "-pkeyopt",
                        "ec_paramgen_curve:prime256v1",
                        "-nodes",
                        "-keyout",
                        path(name + ".key"),
                        "-subj",
                        subject};
    if (issuer.isEmpty())
        request += QStringList{"-x509", "-days", "2", "-out", path(name + ".pem")};
    else
        request += QStringList{"-out", path(name + ".csr")};
    QProcess openssl;
    openssl.start("openssl", request);
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
        throw std::runtime_error("openssl req failed: " +
                                 openssl.readAllStandardError().toStdString());
    if (issuer.isEmpty())
        return;
    QStringList sign{"x509",
                     "-req",
                     "-in",
                     path(name + ".csr"),
                     "-CA",
                     path(issuer + ".pem"),
                     "-CAkey",
                     path(issuer + ".key"),
                     "-CAcreateserial",
                     "-out",
                     path(name + ".pem")};
    if (!extra.contains("-days"))
        sign += QStringList{"-days", "2"};
    openssl.start("openssl", sign + extra);
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
        throw std::runtime_error("openssl x509 failed: " +
                                 openssl.readAllStandardError().toStdString());
}

void Ser2Net::kill() {
    process_->kill();
    process_->waitForFinished(3000);
}

QString ProgramResult::lastLine() const {
    for (const QString* text : {&err, &out}) {
        const QStringList lines = text->split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            return lines.last().trimmed();
    }
    return {};
}

ProgramResult runProgram(const QString& program, const QStringList& arguments,
                         const QStringList& extraEnvironment, int timeoutMs) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : extraEnvironment) {
        const auto eq = entry.indexOf(QLatin1Char('='));
        environment.insert(entry.left(eq), entry.mid(eq + 1));
    }
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.closeWriteChannel(); // nothing on standard input: nothing waits for it
    ProgramResult result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString unitObjections(const QString& folder, const QString& unit) {
    if (QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
        return {};
    QProcess verify;
    verify.setWorkingDirectory(folder);
    verify.start(QStringLiteral("systemd-analyze"), {"verify", "--man=no", unit});
    if (!verify.waitForFinished(60000))
        return QStringLiteral("systemd-analyze did not finish");
    const QString said =
        QString::fromUtf8(verify.readAllStandardError() + verify.readAllStandardOutput());
    return verify.exitCode() == 0 ? said
                                  : QStringLiteral("exit %1: %2").arg(verify.exitCode()).arg(said);
}

Minisign::Minisign(const QString& folder, const QString& name)
    : publicKey_(folder + QLatin1Char('/') + name + QStringLiteral(".pub")),
      secretKey_(folder + QLatin1Char('/') + name + QStringLiteral(".key")) {
    const ProgramResult made =
        runProgram(QStringLiteral("minisign"),
                   {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), publicKey_,
                    QStringLiteral("-s"), secretKey_});
    if (made.exitCode != 0)
        qFatal("minisign -G: %s", qPrintable(made.err));
}

QString Minisign::keyId() const {
    QFile key(publicKey_);
    if (!key.open(QIODevice::ReadOnly))
        return {};
    // "untrusted comment: minisign public key 3818898E3DBE3A3A", without
    // the leading zeros that the program's 16 digits keep.
    return QString::fromLatin1(key.readLine())
        .trimmed()
        .section(QLatin1Char(' '), -1)
        .rightJustified(16, QLatin1Char('0'));
}

void Minisign::sign(const QString& file, const QString& trustedComment, const QString& signature,
                    bool legacy) const {
    QStringList arguments{
        QStringLiteral("-S"), QStringLiteral("-s"), secretKey_, QStringLiteral("-m"), file,
        QStringLiteral("-t"), trustedComment};
    if (!signature.isEmpty())
        arguments << QStringLiteral("-x") << signature;
    if (legacy)
        arguments << QStringLiteral("-l");
    const ProgramResult signedFile = runProgram(QStringLiteral("minisign"), arguments);
    if (signedFile.exitCode != 0)
        qFatal("minisign -S: %s", qPrintable(signedFile.err));
}

} // namespace j4::testing

namespace j4::testing {

std::unique_ptr<QProcess> plugDevSim(const QString& staging, const QString& slot,
                                     QElapsedTimer& clock) {
    auto device = std::make_unique<QProcess>();
    device->start(devsimPath(), {"--link", staging, "-v"});
    while (!QFile::exists(staging) && device->state() != QProcess::NotRunning)
        QThread::msleep(5);
    clock.start();
    QFile::rename(staging, slot);
    return device;
}

namespace {

QString clusterVersion() {
    const QString version = qEnvironmentVariable("PGVERSION");
    return version.isEmpty() ? QStringLiteral("15") : version;
}

void controlCluster(const QString& action) {
    const ProgramResult done = runProgram(QStringLiteral("pg_ctlcluster"),
                                          {clusterVersion(), QStringLiteral("regress"), action,
                                           QStringLiteral("-m"), QStringLiteral("fast")});
    if (done.exitCode != 0)
        qFatal("pg_ctlcluster %s: %s", qPrintable(action), qPrintable(done.err));
}

} // namespace

bool TestDatabase::available() {
    return qEnvironmentVariableIsSet("PGPORT") && qEnvironmentVariableIsSet("PGUSER");
}

bool TestDatabase::availableOrSaid() {
    if (available())
        return true;
    std::fprintf(stderr, "run it beside a server: tests/support/with_postgres.sh PROGRAM\n");
    return false;
}

QString TestDatabase::url(const QString& query) const {
    const QString base =
        QStringLiteral("postgresql://%1@%2:%3/%4")
            .arg(qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST"),
                 qEnvironmentVariable("PGPORT"), qEnvironmentVariable("PGDATABASE"));
    return query.isEmpty() ? base : base + '?' + query;
}

FaultProxy::FaultProxy(const TestDatabase& database) {
    process_.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral(J4_FAULT_PROXY), qEnvironmentVariable("PGHOST"),
                    qEnvironmentVariable("PGPORT")});
    QByteArray said;
    QElapsedTimer clock;
    clock.start();
    while (!said.contains('\n') && clock.elapsed() < 30000 &&
           process_.state() != QProcess::NotRunning) {
        process_.waitForReadyRead(100);
        said += process_.readAllStandardOutput();
    }
    const QByteArray port = said.trimmed().split(' ').value(1);
    if (port.isEmpty())
        throw std::runtime_error("the fault proxy did not start: " +
                                 process_.readAllStandardError().toStdString());
    url_ = database.url().replace(":" + qEnvironmentVariable("PGPORT") + "/",
                                  ":" + QString::fromLatin1(port) + "/");
    url_.replace(QStringLiteral("@localhost:"), QStringLiteral("@127.0.0.1:"));
}

FaultProxy::~FaultProxy() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

QString FaultProxy::url() const {
    return url_;
}

void FaultProxy::command(const QByteArray& word) {
    process_.write(word + '\n');
    QByteArray said;
    QElapsedTimer clock;
    clock.start();
    while (!said.contains("ok " + word) && clock.elapsed() < 30000 &&
           process_.state() != QProcess::NotRunning) {
        process_.waitForReadyRead(100);
        said += process_.readAllStandardOutput();
    }
}

QStringList completions(const QString& script, const QString& function, const QString& programs,
                        const QString& folder, const QString& words,
                        const QStringList& environment) {
    const QString bash = QStringLiteral("source '%1'; PATH=%2:$PATH; cd '%3'; COMP_WORDS=(%4); "
                                        "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); %5; "
                                        "printf '%s\\n' \"${COMPREPLY[@]}\"")
                             .arg(script, programs, folder, words, function);
    return runProgram("bash", {"-c", bash}, environment).out.split('\n', Qt::SkipEmptyParts);
}

QString TestDatabase::socketUrl() const {
    QFile pidFile(dataDirectory() + "/postmaster.pid");
    if (!pidFile.open(QIODevice::ReadOnly))
        qFatal("no postmaster.pid in %s", qPrintable(dataDirectory()));
    const QString socketFolder = QString::fromLocal8Bit(pidFile.readAll().split('\n').value(4));
    const QString hba = query(QStringLiteral("SHOW hba_file"));
    QFile rules(hba);
    if (rules.open(QIODevice::ReadOnly) && !rules.readAll().startsWith("local all all scram")) {
        rules.close();
        rules.open(QIODevice::ReadOnly);
        const QByteArray old = rules.readAll();
        rules.close();
        rules.open(QIODevice::WriteOnly | QIODevice::Truncate);
        rules.write("local all all scram-sha-256\n" + old);
        rules.close();
        query(QStringLiteral("SELECT pg_reload_conf()"));
    }
    return QStringLiteral("postgresql:///%1?host=%2&port=%3&user=%4")
        .arg(qEnvironmentVariable("PGDATABASE"), socketFolder, qEnvironmentVariable("PGPORT"),
             qEnvironmentVariable("PGUSER"));
}

void TestDatabase::dropRecords() const {
    query("DROP TABLE IF EXISTS j4_attempts, j4_schema, j4_claims, j4_holds, j4_assignments, "
          "j4_releases, j4_slot_states, j4_station_heartbeats, j4_yield_counts, "
          "j4_failure_counts, j4_station_last, j4_slot_last, j4_uncounted, j4_line_refusals, "
          "j4_layout_steps, j4_layout_replayed "
          "CASCADE");
}

QString TestDatabase::query(const QString& sql) const {
    const ProgramResult done = runProgram(
        QStringLiteral("psql"),
        {QStringLiteral("-XAtqv"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-c"), sql});
    if (done.exitCode != 0)
        qWarning("psql: %s", qPrintable(done.err));
    return done.out.trimmed();
}

void TestDatabase::stop() {
    controlCluster(QStringLiteral("stop"));
}

void TestDatabase::start() {
    controlCluster(QStringLiteral("start"));
}

QString TestDatabase::dataDirectory() const {
    const ProgramResult clusters = runProgram(QStringLiteral("pg_lsclusters"), {"-h"});
    for (const QString& line : clusters.out.split('\n')) {
        const QStringList words = line.simplified().split(' ');
        if (words.size() >= 6 && words[0] == clusterVersion() && words[1] == "regress")
            return words[5];
    }
    return {};
}

void TestDatabase::signalAll(int signal) const {
    QFile pidFile(dataDirectory() + "/postmaster.pid");
    if (!pidFile.open(QIODevice::ReadOnly))
        qFatal("no postmaster.pid in %s", qPrintable(dataDirectory()));
    const qint64 postmaster = pidFile.readLine().trimmed().toLongLong();
    const ProgramResult children =
        runProgram(QStringLiteral("pgrep"), {"-P", QString::number(postmaster)});
    ::kill(static_cast<pid_t>(postmaster), signal);
    for (const QString& child : children.out.split('\n', Qt::SkipEmptyParts))
        ::kill(static_cast<pid_t>(child.toLongLong()), signal);
}

void TestDatabase::pause() {
    signalAll(SIGSTOP);
}

void TestDatabase::resume() {
    signalAll(SIGCONT);
}

QString assignLine(const QString& plant, const TestDatabase& database, const QString& folder,
                   const QString& file, const QStringList& assignment) {
    const Minisign key(folder, QStringLiteral("plant"));
    key.sign(file, QStringLiteral("version=5.0.0"));
    const auto run = [&](const QStringList& arguments) {
        const ProgramResult done =
            runProgram(plant, QStringList{QStringLiteral("--records"), database.url()} + arguments);
        if (done.exitCode != 0)
            qWarning("j4_plant %s: %s", qPrintable(arguments.join(' ')), qPrintable(done.err));
        return done.exitCode == 0;
    };
    if (!run({QStringLiteral("release"), QStringLiteral("add"), file, QStringLiteral("--signature"),
              file + QStringLiteral(".minisig"), QStringLiteral("--trust-key"), key.publicKey()}) ||
        !run(QStringList{QStringLiteral("assign")} + assignment))
        return {};
    return key.publicKey();
}

} // namespace j4::testing
