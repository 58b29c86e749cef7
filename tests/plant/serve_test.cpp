// j4_plant serve against a real PostgreSQL: what the page's server gives,
// to whom, and how fast a station's report reaches an open event stream.
// (The page itself, in a browser, is driven by Selenium elsewhere.)

#include "processes.h"

#include <gtest/gtest.h>

#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

class PlantServe : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("PGPORT"))
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.dropRecords();
        ASSERT_EQ(
            j4::testing::runProgram(J4_PLANT, {"--records", database.url(), "status"}).exitCode, 0);
    }
    void TearDown() override {
        if (server) {
            server->terminate();
            server->waitForFinished(10000);
        }
    }
    // The server on a free port with `options`; false when it never answered.
    bool serve(const QStringList& options, bool tls = false) {
        port = j4::testing::freeLocalPort();
        server = std::make_unique<QProcess>();
        server->start(J4_PLANT, QStringList{"--records", database.url(), "serve", "--listen",
                                            "127.0.0.1:" + QString::number(port)} +
                                    options);
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            if (server->state() == QProcess::NotRunning)
                return false;
            if (tls ? secure().Get("/") : plain().Get("/"))
                return true;
            server->waitForFinished(100);
        }
        return false;
    }
    httplib::Client plain() const { return httplib::Client("127.0.0.1", port); }
    httplib::Client secure() const {
        httplib::Client client("https://127.0.0.1:" + std::to_string(port));
        client.enable_server_certificate_verification(false);
        return client;
    }

    QTemporaryDir dir;
    j4::testing::TestDatabase database;
    std::unique_ptr<QProcess> server;
    int port = 0;
};

TEST_F(PlantServe, ThePageIsTheProjectsOwnAndAStationsReportReachesItsStream) {
    database.query("INSERT INTO j4_station_heartbeats VALUES ('st-1', 'L1', '1', 'h', 1, now())");
    database.query("INSERT INTO j4_slot_states VALUES ('st-1', 1, 'empty', NULL, now())");
    // The shipped service: systemd takes it, and its command with the
    // shipped settings (the database and port made the test's) serves.
    QFile shipped(J4_SOURCE_DIR "/packaging/j4-plant.service");
    QFile settings(J4_SOURCE_DIR "/packaging/plant-serve.conf");
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly) && settings.open(QIODevice::ReadOnly));
    QString unit = QString::fromUtf8(shipped.readAll()).replace("/usr/bin/j4_plant", J4_PLANT);
    const QDir units(dir.filePath("units"));
    QDir().mkpath(units.path());
    QFile local(units.filePath("j4-plant.service"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(unit.replace("EnvironmentFile=/etc/", "EnvironmentFile=-/etc/").toUtf8());
    local.close();
    EXPECT_EQ(j4::testing::unitObjections(units.path(), "j4-plant.service"), QString());
    port = j4::testing::freeLocalPort();
    QString command = unit.section("\nExecStart=", 1).section('\n', 0, 0);
    for (const QString& line : QString::fromUtf8(settings.readAll()).split('\n')) {
        const QString name = line.section('=', 0, 0);
        if (line.startsWith('#') || !line.contains('='))
            continue;
        const QString value = name == "J4_PLANT_RECORDS"  ? database.url()
                              : name == "J4_PLANT_LISTEN" ? "127.0.0.1:" + QString::number(port)
                                                          : line.section('=', 1);
        command.replace("${" + name + "}", value).replace("$" + name, value);
    }
    server = std::make_unique<QProcess>();
    server->start("sh", {"-c", "exec " + command});
    QElapsedTimer started;
    started.start();
    while (!plain().Get("/") && started.elapsed() < 30000 &&
           server->state() != QProcess::NotRunning)
        server->waitForFinished(100);
    auto client = plain();
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script src=\"/app.js\""), std::string::npos);
    EXPECT_EQ(page->body.find("http"), std::string::npos) << "nothing from another server";
    EXPECT_EQ(page->get_header_value("Content-Security-Policy"),
              "default-src 'self'; script-src 'self'; style-src 'self'; frame-ancestors 'none'");
    const auto script = client.Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->body.find("innerHTML"), std::string::npos);
    // A unit's history asked a dozen times: the errands keep their few
    // connections (the feed's one and one a thread at most).
    for (int n = 0; n < 12; ++n) {
        const auto history = client.Get("/api/units?serial=SN1");
        ASSERT_TRUE(history);
        EXPECT_EQ(history->status, 200) << history->body;
    }
    const auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    const std::string counter = "\nj4_plant_database_connections_total ";
    const auto at = metrics->body.find(counter);
    ASSERT_NE(at, std::string::npos) << metrics->body;
    EXPECT_LE(std::stoi(metrics->body.substr(at + counter.size())), 5) << metrics->body;

    // An open stream hears the station's next report, a unit whose name is
    // markup among it, as data.
    std::string heard;
    QElapsedTimer clock;
    std::atomic<bool> reported{false};
    qint64 latency = -1;
    std::thread reporter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        clock.start();
        reported = true;
        database.query(
            "UPDATE j4_slot_states SET state = 'completed', unit = '<script>x</script>'; "
            "UPDATE j4_station_heartbeats SET heard = now()");
    });
    httplib::Client listener("127.0.0.1", port);
    listener.set_read_timeout(30, 0);
    listener.Get("/events", [&](const char* data, std::size_t length) {
        heard.append(data, length);
        if (reported && heard.find("\"state\" : \"completed\"") != std::string::npos) {
            latency = clock.elapsed();
            return false;
        }
        return true;
    });
    reporter.join();
    EXPECT_NE(heard.find("\"unit\" : \"<script>x</script>\""), std::string::npos) << heard;
    EXPECT_GE(latency, 0);
    EXPECT_LT(latency, 30000) << "heard at all";
    std::printf("report to stream: %lld ms\n", static_cast<long long>(latency));
}

TEST_F(PlantServe, OffLoopbackItNeedsTlsAndEveryoneSignsIn) {
    // Another address without TLS, or without users: refused, exit 2.
    for (const QStringList& options :
         {QStringList{}, QStringList{"--tls-cert", "c.pem", "--tls-key", "k.pem"}}) {
        const auto refused = j4::testing::runProgram(
            J4_PLANT, QStringList{"--records", database.url(), "serve", "--listen",
                                  "0.0.0.0:" + QString::number(j4::testing::freeLocalPort())} +
                          options);
        EXPECT_EQ(refused.exitCode, 2) << refused.err.toStdString();
    }
    database.query("INSERT INTO j4_station_heartbeats VALUES ('st-1', 'L1', '1', 'h', 1, now())");
    j4::testing::TestCertificates certificates;
    const QString users = dir.filePath("users");
    const auto hash = j4::testing::runProgram("openssl", {"passwd", "-6", "secret"});
    ASSERT_EQ(hash.exitCode, 0);
    QFile file(users);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        ("sam:supervisor:" + hash.out.trimmed() + "\nvic:viewer:" + hash.out.trimmed() + "\n")
            .toUtf8());
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QFile::setPermissions(certificates.path("server.key"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_TRUE(serve({"--tls-cert", certificates.path("server.pem"), "--tls-key",
                       certificates.path("server.key"), "--users", users},
                      true));
    auto client = secure();
    EXPECT_EQ(client.Get("/")->status, 401);
    client.set_basic_auth("sam", "wrong");
    EXPECT_EQ(client.Get("/")->status, 401);
    client.set_basic_auth("vic", "secret");
    EXPECT_EQ(client.Get("/")->status, 200);
    const httplib::Headers page = {{"X-J4-Request", "1"}};
    // A viewer may not hold; a supervisor may, from the page only.
    EXPECT_EQ(client.Post("/api/lines/L1/hold", page, "", "text/plain")->status, 403);
    client.set_basic_auth("sam", "secret");
    EXPECT_EQ(client.Post("/api/lines/L1/hold", "", "text/plain")->status, 403);
    EXPECT_EQ(client.Post("/api/lines/L1/hold", page, "fixture worn", "text/plain")->status, 200);
    EXPECT_EQ(database.query("SELECT reason || ' ' || held_by FROM j4_holds WHERE line = 'L1'"),
              "fixture worn sam");
    // Prometheus hears of the hold (signed in as a viewer), in a text
    // promtool takes.
    client.set_basic_auth("vic", "secret");
    const auto metricsSay = [&](const std::string& wanted) {
        std::string body;
        for (QElapsedTimer clock; !clock.isValid() || clock.elapsed() < 30000;) {
            if (!clock.isValid())
                clock.start();
            const auto metrics = client.Get("/metrics");
            body = metrics ? metrics->body : "";
            if (body.find(wanted) != std::string::npos)
                return body;
            QThread::msleep(50);
        }
        ADD_FAILURE() << "no " << wanted << " in:\n" << body;
        return body;
    };
    const std::string held = metricsSay("j4_line_held{line=\"L1\"} 1");
    EXPECT_EQ(held.find("fixture worn"), std::string::npos) << "free text is no label";
    // A right password is hashed once however often it comes (sam's wrong
    // one, vic's and sam's right ones), a wrong one each time.
    EXPECT_NE(held.find("j4_plant_password_hashes_total 3\n"), std::string::npos) << held;
    QProcess check;
    check.start("promtool", {"check", "metrics"});
    check.write(held.data(), static_cast<qint64>(held.size()));
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAllStandardError().toStdString() << held;
    client.set_basic_auth("sam", "secret");
    EXPECT_EQ(client.Post("/api/lines/L1/resume", page, "", "text/plain")->status, 200);
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_holds"), "0");
    metricsSay("j4_line_held{line=\"L1\"} 0");

    // TLS 1.2 only with forward-secret AEAD suites (no CBC, no SHA-1).
    const auto handshakes = [&](const QString& suite) {
        return j4::testing::runProgram("openssl", {"s_client", "-connect",
                                                   "127.0.0.1:" + QString::number(port), "-tls1_2",
                                                   "-cipher", suite})
                   .exitCode == 0;
    };
    EXPECT_TRUE(handshakes("ECDHE-ECDSA-AES128-GCM-SHA256"));
    EXPECT_FALSE(handshakes("ECDHE-ECDSA-AES128-SHA"));
    EXPECT_FALSE(handshakes("ECDHE-ECDSA-AES256-SHA384"));

    // Each problem of a certificate or key named; nothing prompted for.
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    for (const char* key : {"locked.key", "expired.key", "future.key", "client.key"})
        QFile::setPermissions(certificates.path(key), ownerOnly);
    QFile::setPermissions(certificates.path("server.key"), ownerOnly | QFileDevice::ReadOther);
    for (const auto& [cert, key, why] : std::vector<std::array<QString, 3>>{
             {"server.pem", "server.key", "may be read by other users"},
             {"server.pem", "locked.key", "is protected by a passphrase"},
             {"expired.pem", "expired.key", "expired on"},
             {"future.pem", "future.key", "is not valid before 2099"},
             {"server.pem", "client.key", "is not the key of the certificate"},
             {"missing.pem", "client.key", "cannot be read"},
             {"ca.key", "client.key", "holds no certificate"}}) {
        const auto refused = j4::testing::runProgram(
            J4_PLANT,
            {"--records", database.url(), "serve", "--listen",
             "0.0.0.0:" + QString::number(j4::testing::freeLocalPort()), "--tls-cert",
             certificates.path(cert), "--tls-key", certificates.path(key), "--users", users});
        EXPECT_EQ(refused.exitCode, 1) << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(why))
            << why.toStdString() << ": " << refused.err.toStdString();
    }
}

TEST_F(PlantServe, ItAnswersForItsOwnNamesFromAPortOfItsOwnWithAUsersFileOnlyItReads) {
    const auto hash = j4::testing::runProgram("openssl", {"passwd", "-6", "secret"});
    ASSERT_EQ(hash.exitCode, 0);
    const QString users = dir.filePath("users");
    const auto usersFile = [&](const QByteArray& text, bool othersRead = false) {
        QFile file(users);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            (othersRead ? QFileDevice::ReadOther : QFileDevice::Permissions()));
    };
    const auto refused = [&](const QString& file, const QString& why) {
        const auto served = j4::testing::runProgram(
            J4_PLANT,
            {"--records", database.url(), "serve", "--listen",
             "127.0.0.1:" + QString::number(j4::testing::freeLocalPort()), "--users", file});
        EXPECT_EQ(served.exitCode, 1) << served.err.toStdString();
        EXPECT_TRUE(served.err.contains(why)) << served.err.toStdString();
        EXPECT_FALSE(served.err.contains("serving")) << "said to serve before its files were read";
    };
    // Hashes quickly guessed (DES takes 8 characters and any junk after
    // them), a file others read, a folder, a file with nobody in it.
    for (const QByteArray& weak :
         {QByteArray("abJnggxhB/yWI"), QByteArray("$1$salt$qJH7.N4xYta3aEG"),
          QByteArray("_J9..salt8tVhwlVgdU2"), QByteArray("$3$$8846f7eaee8")}) {
        usersFile("sam:supervisor:" + weak + "\n");
        refused(users, "hash is not yescrypt, SHA-512 crypt or bcrypt: make one with mkpasswd");
    }
    usersFile("sam:supervisor:" + hash.out.trimmed().toUtf8() + "\n", true);
    refused(users, "other users may read it");
    refused(dir.path(), "is a folder");
    usersFile("# nobody yet\n");
    refused(users, "holds no user");

    // Lines written on Windows are read as they were meant.
    usersFile("sam:supervisor:" + hash.out.trimmed().toUtf8() + "\r\n");
    ASSERT_TRUE(serve({"--users", users}));
    auto client = plain();
    client.set_basic_auth("sam", "secret");
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    // Every answer, a refusal too, keeps out of other sites' frames.
    for (const auto& answer : {client.Get("/nothing-here"), plain().Get("/")}) {
        ASSERT_TRUE(answer);
        EXPECT_NE(answer->status, 200);
        EXPECT_NE(
            answer->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
            std::string::npos);
        EXPECT_EQ(answer->get_header_value("X-Frame-Options"), "DENY");
        EXPECT_EQ(answer->get_header_value("X-Content-Type-Options"), "nosniff");
    }
    // A name that is not this machine's (a site rebinding its own name to
    // 127.0.0.1) gets nothing.
    EXPECT_EQ(client.Get("/", {{"Host", "plant.attacker.example"}})->status, 421);
    EXPECT_EQ(client.Get("/", {{"Host", "localhost:" + std::to_string(port)}})->status, 200);

    // A request refused before its body is read: the body is never read as
    // the next request (here a supervisor's hold, smuggled in it), and a
    // body larger than the page ever sends is not kept.
    const QByteArray smuggled =
        "POST /api/lines/L1/hold HTTP/1.1\r\nHost: 127.0.0.1\r\nX-J4-Request: 1\r\n"
        "Authorization: Basic " +
        QByteArray("sam:secret").toBase64() + "\r\nContent-Length: 0\r\n\r\n";
    database.query("INSERT INTO j4_station_heartbeats VALUES ('st-1', 'L1', '1', 'h', 1, now())");
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(port));
    ASSERT_TRUE(socket.waitForConnected(10000));
    socket.write("POST /api/lines/L1/hold HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                 QByteArray::number(smuggled.size()) + "\r\n\r\n" + smuggled);
    QByteArray answers;
    while (socket.waitForReadyRead(3000) || socket.bytesAvailable() > 0)
        answers += socket.readAll();
    EXPECT_TRUE(answers.startsWith("HTTP/1.1 401")) << answers.toStdString();
    EXPECT_EQ(answers.count("HTTP/1.1 "), 1) << answers.toStdString();
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_holds"), "0");
    // (A gigabyte announced, none sent: refused before any is read.)
    QTcpSocket large;
    large.connectToHost("127.0.0.1", quint16(port));
    ASSERT_TRUE(large.waitForConnected(10000));
    large.write("POST /api/lines/L1/hold HTTP/1.1\r\nHost: 127.0.0.1\r\nX-J4-Request: 1\r\n"
                "Authorization: Basic " +
                QByteArray("sam:secret").toBase64() + "\r\nContent-Length: 1073741824\r\n\r\n");
    QByteArray tooLarge;
    while (!tooLarge.contains("\r\n\r\n") && large.waitForReadyRead(10000))
        tooLarge += large.readAll();
    EXPECT_TRUE(tooLarge.startsWith("HTTP/1.1 413")) << tooLarge.toStdString();

    // Open pages hold a seat each: one address takes at most 8, and past
    // that is asked to come back, while the page and /metrics answer.
    const auto stream = [&](const QString& from) {
        auto opened = std::make_unique<QTcpSocket>();
        opened->bind(QHostAddress(from));
        opened->connectToHost("127.0.0.1", quint16(port));
        EXPECT_TRUE(opened->waitForConnected(10000));
        opened->write("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                      QByteArray("sam:secret").toBase64() + "\r\n\r\n");
        QByteArray head;
        while (!head.contains("\r\n\r\n") && opened->waitForReadyRead(10000))
            head += opened->readAll();
        return std::pair{std::move(opened), head};
    };
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (int page = 0; page < 8; ++page) {
        auto [socket, head] = stream("127.0.0.1");
        EXPECT_TRUE(head.startsWith("HTTP/1.1 200")) << head.toStdString();
        open.push_back(std::move(socket));
    }
    const auto [turnedAway, refusal] = stream("127.0.0.1");
    EXPECT_TRUE(refusal.startsWith("HTTP/1.1 503")) << refusal.toStdString();
    EXPECT_TRUE(refusal.contains("Retry-After: 10")) << refusal.toStdString();
    const auto [elsewhere, welcome] = stream("127.0.0.2");
    EXPECT_TRUE(welcome.startsWith("HTTP/1.1 200")) << welcome.toStdString();
    EXPECT_EQ(client.Get("/metrics")->status, 200);
    open.clear();

    // Slow clients hold no thread: while 40 connections send their headers
    // a byte at a time the page answers, and each is cut once its headers
    // took 10 s, however steadily it sends.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(std::make_unique<QTcpSocket>());
        slow.back()->connectToHost("127.0.0.1", quint16(port));
        ASSERT_TRUE(slow.back()->waitForConnected(10000));
        slow.back()->write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        slow.back()->flush();
    }
    const auto answered = client.Get("/metrics");
    ASSERT_TRUE(answered) << "the page did not answer beside slow clients";
    EXPECT_EQ(answered->status, 200);
    QElapsedTimer dribbling;
    dribbling.start();
    const auto connected = [&] {
        return std::count_if(slow.begin(), slow.end(), [](const auto& socket) {
            return socket->state() == QAbstractSocket::ConnectedState;
        });
    };
    while (connected() > 0 && dribbling.elapsed() < 90000)
        for (auto& socket : slow)
            if (socket->state() == QAbstractSocket::ConnectedState) {
                socket->write("a");
                socket->waitForDisconnected(20);
            }
    EXPECT_EQ(connected(), 0) << "a client sending its headers for ever was never cut";
    slow.clear();

    // Headers beyond what a browser sends (in size or in number) are
    // refused, not kept.
    for (const QByteArray& header :
         {QByteArray("X-Fill: ") + QByteArray(8000, 'x') + "\r\n", QByteArray("X-A: b\r\n")}) {
        QTcpSocket flood;
        flood.connectToHost("127.0.0.1", quint16(port));
        ASSERT_TRUE(flood.waitForConnected(10000));
        flood.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                    QByteArray("sam:secret").toBase64() + "\r\n" +
                    header.repeated(int(40000 / header.size())) + "\r\n");
        QByteArray answer;
        while (flood.waitForReadyRead(5000) || flood.bytesAvailable() > 0)
            answer += flood.readAll();
        EXPECT_FALSE(answer.startsWith("HTTP/1.1 200")) << answer.left(200).toStdString();
    }
    EXPECT_EQ(client.Get("/metrics")->status, 200);

    // A second server on the same port is refused, not given half of the
    // browsers.
    const auto second =
        j4::testing::runProgram(J4_PLANT, {"--records", database.url(), "serve", "--listen",
                                           "127.0.0.1:" + QString::number(port), "--users", users});
    EXPECT_EQ(second.exitCode, 1) << second.err.toStdString();
    EXPECT_TRUE(second.err.contains("the port is taken")) << second.err.toStdString();
    EXPECT_FALSE(second.err.contains("serving"));
}

TEST_F(PlantServe, ADatabaseAwayIsWaitedForAndThePageSaysItsPictureIsOld) {
    // Started before its database: it waits, saying so once, then serves.
    // As a service it writes to the journal (each line's priority first)
    // and tells systemd when it is ready and when it stops.
    database.stop();
    port = j4::testing::freeLocalPort();
    server = std::make_unique<QProcess>();
    const QString journal = dir.filePath("journal");
    QFile(journal).open(QIODevice::WriteOnly);
    struct stat journalFile {};
    ASSERT_EQ(stat(QFile::encodeName(journal).constData(), &journalFile), 0);
    const std::string manager = QFile::encodeName(dir.filePath("notify")).toStdString();
    const int notices = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, manager.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(notices, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto told = [&](const std::string& wanted) {
        pollfd ready{notices, POLLIN, 0};
        char text[256] = "";
        while (poll(&ready, 1, 30000) == 1) {
            const auto size = recv(notices, text, sizeof text - 1, 0);
            if (size > 0 && std::string(text, std::size_t(size)).find(wanted) != std::string::npos)
                return true;
        }
        return false;
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NOTIFY_SOCKET", QString::fromStdString(manager));
    environment.insert("JOURNAL_STREAM", QString::number(journalFile.st_dev) + ":" +
                                             QString::number(journalFile.st_ino));
    server->setProcessEnvironment(environment);
    server->setStandardErrorFile(journal, QIODevice::Append);
    server->start(J4_PLANT, {"--records", database.url(), "serve", "--listen",
                             "127.0.0.1:" + QString::number(port)});
    QByteArray said;
    const auto saysSoon = [&](const QByteArray& text) {
        QElapsedTimer clock;
        clock.start();
        while (!said.contains(text) && clock.elapsed() < 60000 &&
               server->state() != QProcess::NotRunning) {
            server->waitForFinished(100);
            QFile file(journal);
            if (file.open(QIODevice::ReadOnly))
                said = file.readAll();
        }
        return said.contains(text);
    };
    ASSERT_TRUE(saysSoon("trying again every 5 s")) << said.toStdString();
    EXPECT_TRUE(said.startsWith("<4>j4_plant: ")) << said.toStdString();
    database.start();
    ASSERT_TRUE(saysSoon("<6>j4_plant: serving the plant's page")) << said.toStdString();
    EXPECT_TRUE(told("READY=1"));

    // An open page hears that the database went away (the picture it
    // keeps is old, and why), and that it is back.
    QTcpSocket events;
    events.connectToHost("127.0.0.1", quint16(port));
    ASSERT_TRUE(events.waitForConnected(10000));
    events.write("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray stream;
    const auto hears = [&](auto wanted) {
        QElapsedTimer clock;
        clock.start();
        while (!wanted(stream) && clock.elapsed() < 90000) {
            events.waitForReadyRead(1000);
            stream += events.readAll();
        }
        while (events.bytesAvailable() > 0)
            stream += events.readAll();
        return wanted(stream);
    };
    ASSERT_TRUE(hears([](const QByteArray& text) { return text.contains("data: {"); }))
        << stream.toStdString();

    // With the database hung, 40 unit searches from one address: two wait
    // (for at most the search's bound), the rest are told to come back, and
    // the page answers meanwhile.
    database.pause();
    std::vector<std::unique_ptr<QTcpSocket>> searches;
    for (int i = 0; i < 40; ++i) {
        searches.push_back(std::make_unique<QTcpSocket>());
        searches.back()->connectToHost("127.0.0.1", quint16(port));
        ASSERT_TRUE(searches.back()->waitForConnected(10000));
        searches.back()->write("GET /api/units?serial=SN1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        ASSERT_TRUE(searches.back()->waitForBytesWritten(10000));
    }
    const auto meanwhile = plain().Get("/metrics");
    ASSERT_TRUE(meanwhile) << "the page did not answer beside searches on a hung database";
    EXPECT_EQ(meanwhile->status, 200);
    int comeBack = 0;
    for (auto& search : searches) {
        QByteArray answer;
        while (!answer.contains("\r\n\r\n") && search->waitForReadyRead(30000))
            answer += search->readAll();
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 503")) << answer.toStdString();
        comeBack += answer.contains("Retry-After: 10") ? 1 : 0;
    }
    EXPECT_GE(comeBack, 38);
    database.resume();
    searches.clear();

    stream.clear();
    database.stop();
    EXPECT_TRUE(hears([](const QByteArray& text) { return text.contains("\"trouble\":"); }))
        << stream.toStdString();
    EXPECT_TRUE(saysSoon("the plant's database cannot be read")) << said.toStdString();
    const auto down = plain().Get("/metrics");
    ASSERT_TRUE(down);
    EXPECT_NE(down->body.find("j4_plant_database_up 0"), std::string::npos);
    stream.clear();
    database.start();
    EXPECT_TRUE(hears([](const QByteArray& text) {
        const auto last = text.lastIndexOf("data: {");
        return last >= 0 && !text.mid(last).contains("\"trouble\"");
    })) << stream.toStdString();
    EXPECT_TRUE(saysSoon("answers again")) << said.toStdString();
    server->terminate();
    EXPECT_TRUE(told("STOPPING=1"));
    close(notices);
}

} // namespace
