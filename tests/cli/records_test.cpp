// Records in the plant's database: j4_flash against a real PostgreSQL
// (pg_virtualenv's), stopped, paused and killed around as a plant's network
// and stations would be.

#include "attempt_report.h"
#include "flash_fixture.h"
#include "update_log.h"

#include <QRandomGenerator>
#include <QUuid>

namespace {

struct Running {
    QProcess process;
    QByteArray out;
    QByteArray err;
    // Reads until `done` holds, the program ended, or a generous bound.
    bool until(const std::function<bool()>& done, int ms = 60000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
        }
        return done();
    }
    bool said(const QByteArray& text, int times = 1, int ms = 60000) {
        return until([&] { return out.count(text) + err.count(text) >= times; }, ms);
    }
};

QSet<QString> loggedAttempts(const QString& log) {
    QFile file(log);
    file.open(QIODevice::ReadOnly);
    QSet<QString> attempts;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (const QString attempt = QJsonDocument::fromJson(line).object()["attempt"].toString();
            !attempt.isEmpty())
            attempts << attempt;
    return attempts;
}

// Attempts written into a log as a station writes them, `count` of them,
// each with an ID of its own; `station` names the station of each.
void appendAttempts(const QString& log, int count, const std::string& station = "line-7",
                    std::size_t detailBytes = 0) {
    const j4::UpdateLog writer(QFile::encodeName(log).toStdString());
    for (int i = 0; i < count; ++i) {
        j4::runs::AttemptReport report;
        report.attempt = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
        report.filePath = "unit.j4u";
        report.detail.assign(detailBytes, 'd');
        ASSERT_TRUE(
            writer.appendText(j4::runs::logLine(report, {"1", "host", station, "anna"}) + "\n"));
    }
}

class Records : public FlashCli {
protected:
    void SetUp() override {
        if (!TestDatabase::available())
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.dropRecords();
    }
    QSet<QString> storedAttempts() const {
        const QString rows = database.query("SELECT attempt FROM j4_attempts");
        const QStringList list = rows.split('\n', Qt::SkipEmptyParts);
        return QSet<QString>(list.begin(), list.end());
    }
    int storedRows() const { return database.query("SELECT count(*) FROM j4_attempts").toInt(); }

    TestDatabase database;
    const QString log = dir.filePath("station.jsonl");
};

TEST_F(Records, AStationsAttemptsReachTheDatabaseOnceThroughAnOutage) {
    const QString slot1 = dir.filePath("slot1");
    const QString slot2 = dir.filePath("slot2");
    const QString metrics = dir.filePath("j4.prom");
    Running station;
    station.process.start(flashPath(),
                          {"--watch", "--device", slot1, "--device", slot2, "--log", log,
                           "--station-id", "line-7", "--operator", "anna", "--records",
                           database.url(), "--metrics", metrics, "--timeout", "500", file});
    ASSERT_TRUE(station.process.waitForStarted());
    // What each slot does now, as the station keeps it in the database.
    const auto slotStates = [&] {
        return database.query("SELECT string_agg(slot || ' ' || state || ' ' || "
                              "(since > now() - interval '1 minute'), ',' ORDER BY slot) FROM "
                              "j4_slot_states WHERE station = 'line-7'");
    };
    const auto plugBoth = [&](int completedBefore, const std::function<void()>& plugged = {}) {
        DevSim first;
        DevSim second;
        EXPECT_TRUE(QFile::link(first.device(), slot1));
        EXPECT_TRUE(QFile::link(second.device(), slot2));
        EXPECT_TRUE(station.said("Update is completed.", completedBefore + 2))
            << station.err.toStdString();
        if (plugged)
            plugged();
        QFile::remove(slot1);
        QFile::remove(slot2);
    };
    plugBoth(0, [&] {
        EXPECT_TRUE(station.until([&] {
            return slotStates() == "1 completed true,2 completed true";
        })) << slotStates().toStdString();
    });
    EXPECT_TRUE(station.until([&] { return slotStates() == "1 empty true,2 empty true"; }))
        << slotStates().toStdString();
    EXPECT_EQ(database.query("SELECT slots || ' ' || program_version || ' ' || (heard > now() - "
                             "interval '1 minute') FROM j4_station_heartbeats"),
              QStringLiteral("2 ") + j4::kVersion + " true");
    // Both records in before the outage: on a busy machine the sender may
    // not have had its turn yet, and then four would wait, not two.
    EXPECT_TRUE(station.until([&] { return storedRows() == 2; }));
    // The server goes away mid-shift: the station goes on, says once that
    // records wait, counts them for monitoring, and sends them when it is back.
    database.stop();
    plugBoth(2);
    EXPECT_TRUE(station.said("cannot reach the database")) << station.err.toStdString();
    const auto unsentInMetrics = [&] {
        QFile file(metrics);
        return file.open(QIODevice::ReadOnly) &&
               file.readAll().contains("j4_records_unsent{station=\"line-7\"} 2\n");
    };
    EXPECT_TRUE(station.until(unsentInMetrics));
    database.start();
    EXPECT_TRUE(station.said("The database answers again")) << station.err.toStdString();
    plugBoth(4);
    EXPECT_TRUE(station.until([&] { return storedRows() == 6; }));
    ::kill(static_cast<pid_t>(station.process.processId()), SIGINT);
    ASSERT_TRUE(station.process.waitForFinished(30000));
    EXPECT_EQ(station.process.exitCode(), 0) << station.err.toStdString();
    EXPECT_EQ(station.err.count("cannot reach the database"), 1) << station.err.toStdString();

    EXPECT_EQ(storedRows(), 6);
    EXPECT_EQ(storedAttempts(), loggedAttempts(log));
    QFile sent(file);
    ASSERT_TRUE(sent.open(QIODevice::ReadOnly));
    EXPECT_EQ(database.query("SELECT DISTINCT file_sha256 FROM j4_attempts"),
              QCryptographicHash::hash(sent.readAll(), QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(database.query("SELECT DISTINCT station || ' ' || operator || ' ' || outcome || ' ' "
                             "|| program_version FROM j4_attempts"),
              QStringLiteral("line-7 anna completed ") + j4::kVersion);
    EXPECT_EQ(database.query("SELECT string_agg(DISTINCT slot::text, ',') FROM j4_attempts"),
              "1,2");
    EXPECT_EQ(database.query("SELECT attempts || ' ' || completed || ' ' || yield_percent FROM "
                             "j4_station_yield WHERE station = 'line-7'"),
              "6 6 100.0");
}

TEST_F(Records, ALogSentLaterArrivesOnceAndAKilledProgramsRecordOnce) {
    // A database never reachable during the run: the updates go on, the
    // records wait in the log and are said to.
    const QString nowhere = "postgresql://nobody@127.0.0.1:" + QString::number(freeLocalPort()) +
                            "/plant?connect_timeout=5";
    DevSim device;
    ProgramResult offline =
        flash({"--device", device.device(), "--records", nowhere, "--log", log, "--quiet", file});
    EXPECT_EQ(offline.exitCode, 0) << offline.err.toStdString();
    EXPECT_TRUE(offline.err.contains("cannot reach the database")) << offline.err.toStdString();
    EXPECT_TRUE(offline.err.contains("1 record waits in " + log)) << offline.err.toStdString();
    offline =
        flash({"--device", textFile("not-a-port", ""), "--records", nowhere, "--log", log, file});
    EXPECT_EQ(offline.exitCode, 4) << "the port's failure, whatever the records";
    EXPECT_TRUE(offline.err.contains("2 records wait in " + log))
        << "the attempt logged after the sender's last look is counted: "
        << offline.err.toStdString();
    QFile appended(log);
    ASSERT_TRUE(appended.open(QIODevice::Append));
    appended.write("{\"start\": \"2026-12-0\n");
    // Whole JSON, but not what a column takes: it would stop every record
    // behind it, were it sent.
    appended.write(R"({"start":"yesterday","end":"","file":"f","outcome":"completed"})"
                   "\n");
    appended.write(
        R"({"start":"2026-12-08T10:00:00.000Z","end":"2026-12-08T10:00:01.000Z","file":"f",)"
        R"("outcome":"completed","slot":99999999999})"
        "\n");
    appended.close();

    // Sent later, and again: each record once, the damaged line named.
    ProgramResult sent = flash({"--send-records", log, "--records", database.url()});
    EXPECT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    EXPECT_EQ(sent.out.trimmed(), log + ": 2 new records sent, 0 already in the database, "
                                        "3 damaged lines skipped.");
    for (const char* line :
         {":3: not a record (not a JSON object)", ":4: not a record (its \"start\" is not a time",
          ":5: not a record (its \"slot\" is not a whole number in range)"})
        EXPECT_TRUE(sent.err.contains(log + line)) << line << sent.err.toStdString();
    sent = flash({"--send-records", log, "--records", database.url()});
    EXPECT_EQ(sent.exitCode, 0);
    EXPECT_TRUE(sent.out.contains("0 new records sent, 2 already in the database"));
    EXPECT_EQ(storedAttempts(), loggedAttempts(log));
    EXPECT_EQ(database.query("SELECT string_agg(outcome, ',' ORDER BY outcome) FROM j4_attempts"),
              "completed,port_failed");
    const ProgramResult down = flash({"--send-records", log, "--records", nowhere});
    EXPECT_EQ(down.exitCode, 8);
    EXPECT_TRUE(down.err.startsWith("j4_flash: The records database cannot be reached: "))
        << down.err.toStdString();

    // Killed between its log line and the insert (the server paused, so the
    // insert cannot happen), then started again: the record arrives once.
    QFile::remove(log);
    QFile::remove(log + ".sent");
    database.query("TRUNCATE j4_attempts");
    database.pause();
    Running killed;
    killed.process.start(flashPath(), {"--device", device.device(), "--records", database.url(),
                                       "--log", log, "--quiet", file});
    EXPECT_TRUE(killed.said("Update is completed."));
    ::kill(static_cast<pid_t>(killed.process.processId()), SIGKILL);
    killed.process.waitForFinished(10000);
    database.resume();
    EXPECT_EQ(loggedAttempts(log).size(), 1);
    EXPECT_EQ(storedRows(), 0);
    ProgramResult again = flash(
        {"--device", device.device(), "--records", database.url(), "--log", log, "--quiet", file});
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(storedAttempts(), loggedAttempts(log));
    EXPECT_EQ(storedRows(), 2);
    // Killed after the insert but before its position was kept: sent again,
    // still one row each.
    QFile::remove(log + ".sent");
    again = flash(
        {"--device", device.device(), "--records", database.url(), "--log", log, "--quiet", file});
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(storedRows(), 3);
    EXPECT_EQ(storedAttempts(), loggedAttempts(log));
}

TEST_F(Records, ADatabaseOfTheFirstLayoutKeepsItsRecordsAndTakesTheNew) {
    // As deployed: the first layout, an attempt in it, and a station role
    // that may only insert and read, as the schema's notes advise.
    QFile first(QStringLiteral(J4_SOURCE_DIR "/db/layout/0001_records.sql"));
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    database.query(QString::fromUtf8(first.readAll()));
    database.query("INSERT INTO j4_attempts (attempt, station, started, ended, file, outcome, "
                   "record) VALUES ('5d0c7d8e-1c1b-4f0e-9a53-7c1f0e2b9a01', 'old', now(), now(), "
                   "'a.j4u', 'completed', '{}')");
    database.query("DROP ROLE IF EXISTS j4_station; CREATE ROLE j4_station LOGIN PASSWORD '" +
                   qEnvironmentVariable("PGPASSWORD") +
                   "'; GRANT INSERT, SELECT ON j4_attempts TO j4_station; "
                   "GRANT SELECT ON j4_schema TO j4_station");
    QString stationUrl = database.url();
    stationUrl.replace("//" + qEnvironmentVariable("PGUSER") + "@", "//j4_station@");

    // The station cannot extend it: its records go on into the columns there are.
    appendAttempts(log, 2);
    ProgramResult sent = flash({"--send-records", log, "--records", stationUrl});
    EXPECT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    EXPECT_EQ(storedRows(), 3);
    EXPECT_EQ(database.query("SELECT count(*) FROM information_schema.columns WHERE table_name = "
                             "'j4_attempts' AND column_name = 'work_order'"),
              "0");

    // Its owner's station extends it in place: the plant's tables and the
    // records' new columns, the rows kept, the layout's version unchanged
    // for the stations that read only it.
    appendAttempts(log, 1);
    sent = flash({"--send-records", log, "--records", database.url()});
    EXPECT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    EXPECT_EQ(storedRows(), 4);
    EXPECT_EQ(database.query("SELECT version, plant FROM j4_schema"), "1|5");
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_attempts WHERE station = 'old' AND "
                             "work_order IS NULL"),
              "1");
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_releases"), "0");
    database.query("DROP OWNED BY j4_station; DROP ROLE j4_station");
}

TEST_F(Records, EveryByteOfANameIsStoredAsGiven) {
    // Quotes, SQL and bytes that are not UTF-8, in the operator and the
    // file's name (through the real program) and the unit's serial (in a
    // line of the log, as a scanned unit is written).
    const QByteArray sql = "o'Brien\"); DROP TABLE j4_attempts;--";
    const QByteArray operatorName = sql + "\xff\xfe";
    const QByteArray fileName =
        QFile::encodeName(dir.path()) + "/'); DROP TABLE j4_schema;--\xe9.j4u";
    DevSim device;
    // Bytes as printf's octal escapes: the shell hands them over unchanged.
    const auto escaped = [](const QByteArray& bytes) {
        QString text;
        for (const char byte : bytes)
            text += QStringLiteral("\\%1").arg(uint(uchar(byte)), 3, 8, QLatin1Char('0'));
        return text;
    };
    const ProgramResult flashed = runProgram(
        "sh", {"-c",
               "cp \"$6\" \"$(printf \"$5\")\" && exec \"$0\" --device \"$1\" --quiet --log "
               "\"$2\" --records \"$3\" --operator \"$(printf \"$4\")\" \"$(printf \"$5\")\"",
               flashPath(), device.device(), log, database.url(), escaped(operatorName),
               escaped(fileName), file});
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err.toStdString();
    runProgram("sh", {"-c", "rm \"$(printf \"$0\")\"", escaped(fileName)});
    j4::runs::AttemptReport report;
    report.attempt = "0b6c2f38-9c53-4a57-8f39-1f7e1b0f0c11";
    report.unit =
        ("J4-'); DELETE FROM j4_attempts; --\"\\" + QByteArray("\x80\x00x", 3)).toStdString();
    report.filePath = "unit.j4u";
    ASSERT_TRUE(j4::UpdateLog(QFile::encodeName(log).toStdString())
                    .appendText(j4::runs::logLine(report, {"1", "host", "line-7", "anna"}) + "\n"));
    const ProgramResult sent = flash({"--send-records", log, "--records", database.url()});
    EXPECT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    ASSERT_EQ(storedRows(), 2);
    const auto exact = [&](const char* column, const char* where) {
        return QByteArray::fromHex(
            database
                .query(QStringLiteral("SELECT encode(coalesce(%1_bytes, convert_to(%1, 'UTF8')), "
                                      "'hex') FROM j4_attempts WHERE %2")
                           .arg(QLatin1String(column), QLatin1String(where)))
                .toLatin1());
    };
    const QString flashedRow = "attempt <> '" + QString::fromStdString(report.attempt) + "'";
    EXPECT_EQ(exact("operator", flashedRow.toLatin1()), operatorName);
    EXPECT_EQ(exact("file", flashedRow.toLatin1()), fileName);
    EXPECT_EQ(exact("unit", "unit IS NOT NULL"), QByteArray::fromStdString(report.unit));
    EXPECT_EQ(database.query("SELECT unit FROM j4_unit_history").left(36),
              QString::fromUtf8("J4-'); DELETE FROM j4_attempts; --\"\\"));
}

TEST_F(Records, ADatabaseOverTlsIsTheOneItsAuthoritySigned) {
    TestCertificates certificates;
    QTemporaryDir served;
    ::chmod(QFile::encodeName(served.path()).constData(), 0755);
    const QString owner = QFileInfo(database.dataDirectory()).owner();
    for (const char* name : {"server.pem", "server.key"}) {
        const QString copy = served.filePath(QLatin1String(name));
        ASSERT_TRUE(QFile::copy(certificates.path(QLatin1String(name)), copy));
        ::chmod(QFile::encodeName(copy).constData(), 0600);
        runProgram("chown", {owner, copy});
    }
    database.query("ALTER SYSTEM SET ssl_cert_file = '" + served.filePath("server.pem") + "'");
    database.query("ALTER SYSTEM SET ssl_key_file = '" + served.filePath("server.key") + "'");
    database.query("ALTER SYSTEM SET ssl = on");
    database.query("SELECT pg_reload_conf()");
    Running wait;
    EXPECT_TRUE(wait.until([&] { return database.query("SHOW ssl") == "on"; }));
    DevSim device;
    ASSERT_EQ(flash({"--device", device.device(), "--quiet", "--log", log, file}).exitCode, 0);
    const auto sendWith = [&](const QString& authority) {
        return flash(
            {"--send-records", log, "--records",
             database.url("sslmode=verify-full&sslrootcert=" + certificates.path(authority))});
    };
    const ProgramResult refused = sendWith("other-ca.pem");
    EXPECT_EQ(refused.exitCode, 8);
    EXPECT_TRUE(refused.err.contains("The records database cannot be reached: ") &&
                refused.err.contains("certificate verify failed"))
        << refused.err.toStdString();
    const ProgramResult trusted = sendWith("ca.pem");
    EXPECT_EQ(trusted.exitCode, 0) << trusted.err.toStdString();
    EXPECT_EQ(storedRows(), 1);
    database.query("ALTER SYSTEM RESET ALL");
    database.query("SELECT pg_reload_conf()");
}

TEST_F(Records, NoRecordIsHeldBackByOneRefusedARotatedLogOrALocalSocket) {
    // A station ID far past what the station index takes (not compressible,
    // as a real one would not be): the database refuses that record on its
    // own merits. It is set aside, named and counted, and the records around
    // it go in, from the station's sender and from --send-records alike.
    QByteArray random(2500, 0);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(random.data()), random.size() / 4);
    appendAttempts(log, 2);
    appendAttempts(log, 1, random.toHex().toStdString());
    appendAttempts(log, 2);
    DevSim device;
    const QString metrics = dir.filePath("j4.prom");
    ProgramResult station = flash({"--device", device.device(), "--records", database.url(),
                                   "--log", log, "--metrics", metrics, "--quiet", file});
    EXPECT_EQ(station.exitCode, 0) << station.err.toStdString();
    EXPECT_TRUE(station.err.contains("The database refuses the record of attempt ") &&
                station.err.contains(log + ":3)") && station.err.contains("set aside"))
        << station.err.toStdString();
    EXPECT_EQ(storedRows(), 5) << station.err.toStdString();
    QFile counted(metrics);
    ASSERT_TRUE(counted.open(QIODevice::ReadOnly));
    EXPECT_TRUE(counted.readAll().contains("j4_records_refused_total{station=")) << "counted";
    database.query("TRUNCATE j4_attempts");
    const ProgramResult sent = flash({"--send-records", log, "--records", database.url()});
    EXPECT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    EXPECT_TRUE(sent.out.contains("5 new records sent, 0 already in the database, 1 record "
                                  "refused by the database and set aside."))
        << sent.out.toStdString();
    EXPECT_TRUE(sent.err.contains(log + ":3: the database refuses attempt "))
        << sent.err.toStdString();

    // logrotate's habit: the log moved away, a new one in its place that
    // grows past the old position. Its first records are sent, not skipped.
    ASSERT_TRUE(QFile::rename(log, log + ".1"));
    appendAttempts(log, 9);
    station = flash(
        {"--device", device.device(), "--records", database.url(), "--log", log, "--quiet", file});
    EXPECT_EQ(station.exitCode, 0) << station.err.toStdString();
    EXPECT_TRUE(station.err.contains("is not the file its sent position"))
        << station.err.toStdString();
    EXPECT_TRUE(storedAttempts().contains(loggedAttempts(log))) << station.err.toStdString();
    EXPECT_EQ(storedRows(), 15);

    // logrotate's copytruncate: the same file cut short in place, then
    // written again. Its new records are sent from its start, none skipped.
    {
        QFile cut(log);
        ASSERT_TRUE(cut.resize(0));
    }
    appendAttempts(log, 4);
    station = flash(
        {"--device", device.device(), "--records", database.url(), "--log", log, "--quiet", file});
    EXPECT_EQ(station.exitCode, 0) << station.err.toStdString();
    EXPECT_TRUE(station.err.contains("cut short")) << station.err.toStdString();
    EXPECT_TRUE(storedAttempts().contains(loggedAttempts(log))) << station.err.toStdString();
    EXPECT_EQ(storedRows(), 20);

    // A local server over its Unix socket, with a backlog far larger than
    // the socket's buffer (about 200 KiB; a batch here is over 400 KiB):
    // each batch is handed over whole.
    QFile::remove(log);
    QFile::remove(log + ".sent");
    database.query("TRUNCATE j4_attempts");
    appendAttempts(log, 700, "line-7", 2000);
    const QString local = database.socketUrl();
    station =
        flash({"--device", device.device(), "--records", local, "--log", log, "--quiet", file});
    EXPECT_EQ(station.exitCode, 0) << station.err.toStdString();
    EXPECT_EQ(storedRows(), 701) << station.err.toStdString();
    database.query("TRUNCATE j4_attempts");
    const ProgramResult overSocket = flash({"--send-records", log, "--records", local});
    EXPECT_EQ(overSocket.exitCode, 0) << overSocket.err.toStdString();
    EXPECT_EQ(storedRows(), 701);
}

TEST_F(Records, AStatementGivenUpIsCancelledOnTheServer) {
    // A lock held by another session: the insert waits. When the program
    // ends (or the bound passes), its statement is cancelled on the server
    // too, so a retry never leaves a server process behind.
    DevSim device;
    ASSERT_EQ(flash({"--device", device.device(), "--records", database.url(), "--log", log,
                     "--quiet", file})
                  .exitCode,
              0);
    QProcess locker;
    locker.start("psql", {"-XAtq", "-c",
                          "BEGIN; LOCK TABLE j4_attempts IN ACCESS EXCLUSIVE MODE; "
                          "SELECT pg_sleep(120)"});
    ASSERT_TRUE(locker.waitForStarted());
    Running wait;
    const auto waiting = [&] {
        return database
            .query("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                   "'j4-updater' AND wait_event_type = 'Lock'")
            .toInt();
    };
    ASSERT_TRUE(wait.until([&] {
        return database.query("SELECT count(*) FROM pg_locks WHERE granted AND mode = "
                              "'AccessExclusiveLock' AND relation = 'j4_attempts'::regclass") ==
               "1";
    }));
    const ProgramResult blocked = flash(
        {"--device", device.device(), "--records", database.url(), "--log", log, "--quiet", file});
    EXPECT_EQ(blocked.exitCode, 0) << blocked.err.toStdString();
    EXPECT_TRUE(blocked.err.contains("1 record waits in")) << blocked.err.toStdString();
    EXPECT_TRUE(wait.until([&] { return waiting() == 0; }, 15000))
        << "a server process still waits for the lock";
    locker.kill();
    locker.waitForFinished();
}

} // namespace
