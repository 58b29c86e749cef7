// j4_plant serve against a real PostgreSQL: what the page's server gives,
// to whom, and how fast a station's report reaches an open event stream.
// (The page itself, in a browser, is driven by Selenium elsewhere.)

#include "processes.h"

#include <gtest/gtest.h>

#include <httplib.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

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
    ASSERT_TRUE(serve({}));
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
    const auto large = client.Post("/api/lines/L1/hold", {{"X-J4-Request", "1"}},
                                   std::string(1 << 20, 'x'), "text/plain");
    ASSERT_TRUE(large);
    EXPECT_EQ(large->status, 413);

    // Open pages hold a seat each: one address takes at most 4, and past
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
    for (int page = 0; page < 4; ++page) {
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
    database.stop();
    port = j4::testing::freeLocalPort();
    server = std::make_unique<QProcess>();
    server->start(J4_PLANT, {"--records", database.url(), "serve", "--listen",
                             "127.0.0.1:" + QString::number(port)});
    QByteArray said;
    const auto saysSoon = [&](const QByteArray& text) {
        QElapsedTimer clock;
        clock.start();
        while (!said.contains(text) && clock.elapsed() < 60000 &&
               server->state() != QProcess::NotRunning) {
            server->waitForReadyRead(100);
            said += server->readAllStandardError();
        }
        return said.contains(text);
    };
    ASSERT_TRUE(saysSoon("trying again every 5 s")) << said.toStdString();
    database.start();
    ASSERT_TRUE(saysSoon("serving the plant's page")) << said.toStdString();

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
}

} // namespace
