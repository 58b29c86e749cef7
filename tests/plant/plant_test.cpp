// The plant's program against a real PostgreSQL (pg_virtualenv's), with
// releases signed by the real minisign: what it adds, assigns, holds and
// reports, and what it refuses, with which exit status.

#include "attempt_report.h"
#include "plant_fixture.h"
#include "processes.h"
#include "update_files.h"
#include "update_log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

using j4::testing::ProgramResult;

namespace {

using namespace j4::testing::plant;

TEST_F(Plant, AReleaseIsAddedOnlyAsThePlantsTrustedKeysSignedIt) {
    const QString file = release("r1.j4u", 0);
    const QStringList trusting = {"--trust-key", plantKey.publicKey()};

    // Unsigned; signed, but with no key trusted at all; signed by a key the
    // plant does not trust.
    ProgramResult added =
        plant(QStringList{"release", "add", file, "--signature", file + ".minisig"} + trusting);
    EXPECT_EQ(added.exitCode, 1) << added.err.toStdString();
    j4::testing::Minisign stranger(keys, "stranger");
    stranger.sign(file, "version=1.0.0");
    added = plant({"release", "add", file, "--signature", file + ".minisig"});
    EXPECT_EQ(added.exitCode, 1) << added.out.toStdString();
    added = plant(QStringList{"release", "add", file, "--signature", file + ".minisig"} + trusting);
    EXPECT_EQ(added.exitCode, 1) << added.out.toStdString();
    EXPECT_TRUE(added.err.contains(stranger.keyId())) << added.err.toStdString();
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_releases"), "0");

    // Signed by the plant's key: stored with what was read from it, once.
    plantKey.sign(file, "version=1.2.0");
    added = plant(QStringList{"--json", "release", "add", file, "--signature", file + ".minisig"} +
                  trusting);
    ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
    const QJsonObject json = QJsonDocument::fromJson(added.out.toUtf8()).object();
    EXPECT_EQ(json["version"].toString(), "1.2.0");
    EXPECT_EQ(json["key_id"].toString(), plantKey.keyId());
    EXPECT_TRUE(json["added"].toBool());
    QFile bytes(file);
    ASSERT_TRUE(bytes.open(QIODevice::ReadOnly));
    EXPECT_EQ(database.query("SELECT encode(file, 'hex') = '" + bytes.readAll().toHex() +
                             "', version, key_id FROM j4_releases"),
              "t|1.2.0|" + plantKey.keyId());
    added = plant(QStringList{"release", "add", file, "--signature", file + ".minisig"} + trusting);
    EXPECT_EQ(added.exitCode, 0);
    EXPECT_TRUE(added.out.startsWith("Already there")) << added.out.toStdString();
    const ProgramResult listed = plant({"release", "list"});
    EXPECT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    EXPECT_TRUE(
        listed.out.startsWith("1.2.0  " + json["sha256"].toString() + "  key " + plantKey.keyId()))
        << listed.out.toStdString();

    // A signature that is no signature, a file that is not there.
    QFile junk(dir.filePath("junk.minisig"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a signature\n");
    junk.close();
    EXPECT_EQ(plant(QStringList{"release", "add", file, "--signature", junk.fileName()} + trusting)
                  .exitCode,
              1);
    EXPECT_EQ(plant(QStringList{"release", "add", dir.filePath("none.j4u"), "--signature",
                                file + ".minisig"} +
                    trusting)
                  .exitCode,
              1);
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_releases"), "1");
}

TEST_F(Plant, ALineIsAssignedHeldAndResumedAndSaysHowFarItIs) {
    const QStringList trusting = {"--trust-key", plantKey.publicKey()};
    QString sha;
    for (const auto& [name, version] :
         {std::pair{"a.j4u", "2.0.0"}, {"b.j4u", "2.1.0"}, {"c.j4u", "2.1.0"}}) {
        const QString file = release(name, int(sha.size() % 7) + name[0] - 'a');
        plantKey.sign(file, QStringLiteral("version=") + version);
        const ProgramResult added =
            plant(QStringList{"--json", "release", "add", file, "--signature", file + ".minisig"} +
                  trusting);
        ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
        sha = QJsonDocument::fromJson(added.out.toUtf8()).object()["sha256"].toString();
    }

    // The command line's own mistakes: exit 2, nothing assigned.
    EXPECT_EQ(plant({"assign", "L1", "--release", "2.0.0", "--work-order", "WO-1"}).exitCode, 2);
    EXPECT_EQ(plant({"assign", "L1", "--release", "2.0.0", "--work-order", "WO-1", "--quantity",
                     "10", "--stop-after", "5/3"})
                  .exitCode,
              2);
    EXPECT_EQ(plant({"assign", "L1", "--release", "2.0.0", "--work-order", "WO-1", "--quantity",
                     "10", "--stop-station"})
                  .exitCode,
              2);
    EXPECT_EQ(plant({"frobnicate"}).exitCode, 2);
    const ProgramResult bare = plant({});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_TRUE(bare.err.contains("release list, assign, status, hold, resume or serve"))
        << bare.err.toStdString();
    const ProgramResult noFile = plant({"release", "add"});
    EXPECT_EQ(noFile.exitCode, 2);
    EXPECT_TRUE(noFile.err.contains("release takes add FILE [--signature SIG], or list"))
        << noFile.err.toStdString();
    // Completion: commands, release's words, update files, options.
    QDir().mkpath(dir.filePath("files/sub"));
    for (const QString name : {"files/a.j4u", "files/notes.txt"}) {
        QFile touched(dir.filePath(name));
        ASSERT_TRUE(touched.open(QIODevice::WriteOnly));
    }
    const auto complete = [&](const QString& words) {
        return j4::testing::completions(J4_SOURCE_DIR "/packaging/j4_plant.bash-completion",
                                        "_j4_plant", QFileInfo(J4_PLANT).path(),
                                        dir.filePath("files"), words);
    };
    EXPECT_EQ(complete("j4_plant --records x s"), (QStringList{"status", "serve"}));
    EXPECT_EQ(complete("j4_plant release ''"), (QStringList{"add", "list"}));
    EXPECT_EQ(complete("j4_plant release add ''"), (QStringList{"sub", "a.j4u"}));
    EXPECT_EQ(complete("j4_plant --work-o"), QStringList{"--work-order"});
    const ProgramResult version = j4::testing::runProgram(J4_PLANT, {"-V"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("j4_plant ")) << version.out.toStdString();
    // Free text is bounded as a line's name is: a work order goes into
    // every record of its line, and is indexed there.
    const ProgramResult longOrder = plant({"assign", "L1", "--release", "2.0.0", "--work-order",
                                           QString(5000, 'W'), "--quantity", "10"});
    EXPECT_EQ(longOrder.exitCode, 2);
    EXPECT_TRUE(longOrder.err.contains("--work-order takes at most 200 characters"))
        << longOrder.err.toStdString();
    // A line the plant does not know is neither held nor resumed.
    const ProgramResult unknown = plant({"hold", "L1"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(unknown.err.contains("no line is assigned yet")) << unknown.err.toStdString();
    // The plant's rules: an unknown release, a version two releases share.
    EXPECT_EQ(
        plant({"assign", "L1", "--release", "9.9.9", "--work-order", "WO-1", "--quantity", "10"})
            .exitCode,
        1);
    const ProgramResult shared =
        plant({"assign", "L1", "--release", "2.1.0", "--work-order", "WO-1", "--quantity", "10"});
    EXPECT_EQ(shared.exitCode, 1);
    EXPECT_TRUE(shared.err.contains("SHA-256")) << shared.err.toStdString();
    EXPECT_EQ(plant({"status", "L1"}).exitCode, 1) << "no assignment yet";

    // Assigned by version, then again by SHA-256: one active, both kept.
    const ProgramResult first =
        plant({"assign", "L1", "--release", "2.0.0", "--work-order", "WO-1", "--quantity", "10",
               "--lot", "LOT-7", "--part", "PN-42", "--stop-after", "3/10"});
    ASSERT_EQ(first.exitCode, 0);
    EXPECT_TRUE(first.out.contains("now flashes release 2.0.0 (")) << first.out.toStdString();
    // A correction keeps the line's failure rule, and says so.
    const ProgramResult second =
        plant({"assign", "L1", "--release", sha, "--work-order", "WO-2", "--quantity", "20"});
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_TRUE(second.out.contains("It keeps its failure rule: stop after 3 failures in the "
                                    "last 10 attempts."))
        << second.out.toStdString();
    EXPECT_EQ(database.query("SELECT count(*), count(*) FILTER (WHERE active) FROM j4_assignments"),
              "2|1");

    // A station's record on the line names it among the line's stations.
    const QString log = dir.filePath("station.jsonl");
    j4::runs::AttemptReport report;
    report.attempt = "7f4d3c2b-1a09-4b8c-9d7e-6f5a4b3c2d1e";
    report.filePath = "b.j4u";
    report.production = {"L1", "WO-2", "", "PN-42"};
    ASSERT_TRUE(j4::UpdateLog(QFile::encodeName(log).toStdString())
                    .appendText(j4::runs::logLine(report, {"1", "host", "st-3", "anna"}) + "\n"));
    const ProgramResult sent =
        j4::testing::runProgram(J4_FLASH, {"--send-records", log, "--records", database.url()});
    ASSERT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    EXPECT_EQ(database.query("SELECT line, work_order, lot IS NULL, part_number FROM j4_attempts"),
              "L1|WO-2|t|PN-42");

    ProgramResult status = plant({"--json", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err.toStdString();
    QJsonObject line = QJsonDocument::fromJson(status.out.toUtf8()).array().at(0).toObject();
    EXPECT_EQ(line["line"].toString(), "L1");
    EXPECT_EQ(line["file_sha256"].toString(), sha);
    EXPECT_EQ(line["work_order"].toString(), "WO-2");
    EXPECT_EQ(line["quantity"].toInt(), 20);
    EXPECT_EQ(line["done"].toInt(), 0);
    EXPECT_EQ(line["stop_after"].toString(), "3/10");
    EXPECT_TRUE(line["held"].isNull());
    EXPECT_EQ(line["stations"].toArray().at(0).toString(), "st-3");

    // Held for every station of the line, then resumed once.
    ASSERT_EQ(plant({"hold", "L1", "--reason", "fixture worn"}).exitCode, 0);
    status = plant({"status", "L1"});
    EXPECT_TRUE(status.out.contains("HELD: fixture worn")) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains("0 of 20 units done")) << status.out.toStdString();
    EXPECT_EQ(plant({"resume", "L1"}).exitCode, 0);
    EXPECT_EQ(plant({"resume", "L1"}).exitCode, 1) << "nothing left to resume";
    for (const QString verb : {"hold", "resume"}) {
        const ProgramResult typo = plant({verb, "L9"});
        EXPECT_EQ(typo.exitCode, 1);
        EXPECT_TRUE(typo.err.contains("the plant has no line L9; its lines are L1"))
            << typo.err.toStdString();
    }
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_holds"), "0");
    EXPECT_TRUE(plant({"status", "L1"}).out.contains("running"));

    // A database that is not there: exit 3, and said.
    const ProgramResult down = j4::testing::runProgram(
        J4_PLANT, {"--records",
                   QStringLiteral("postgresql://nobody@127.0.0.1:%1/none?connect_timeout=3")
                       .arg(j4::testing::freeLocalPort()),
                   "status"});
    EXPECT_EQ(down.exitCode, 3) << down.err.toStdString();
    EXPECT_TRUE(down.err.contains("cannot reach the plant's database")) << down.err.toStdString();
}

TEST_F(Plant, TheClaimFunctionsKeepAWorkOrderWithinItsQuantity) {
    const QString file = release("u.j4u", 0);
    plantKey.sign(file, "version=1.0.0");
    ASSERT_EQ(plant({"release", "add", file, "--trust-key", plantKey.publicKey()}).exitCode, 0)
        << "the signature beside the file is taken";
    ASSERT_EQ(
        plant({"assign", "LU", "--release", "1.0.0", "--work-order", "WO-U", "--quantity", "2"})
            .exitCode,
        0);
    const auto claim = [&](int n, int seconds = 20) {
        return database.query(
            QStringLiteral("SELECT verdict FROM j4_claim('LU', '00000000-0000-0000-0000-%1', "
                           "'s%2', %3)")
                .arg(n, 12, 10, QLatin1Char('0'))
                .arg(n)
                .arg(seconds));
    };
    const auto call = [&](const QString& function, int n, const QString& more = {}) {
        return database.query(QStringLiteral("SELECT %1('00000000-0000-0000-0000-%2'%3)")
                                  .arg(function)
                                  .arg(n, 12, 10, QLatin1Char('0'))
                                  .arg(more));
    };
    const auto done = [&] {
        return database.query("SELECT done || '/' || counted FROM j4_work_order_counts('WO-U')");
    };

    // One unit made at two stations (a rework) counts once.
    for (const int n : {1, 2}) {
        ASSERT_EQ(claim(n), "claimed");
        EXPECT_EQ(call("j4_commit", n, ", 'J4-0001'"), "t");
        EXPECT_EQ(call("j4_commit", n, ", 'J4-0001'"), "t") << "asked again after a lost answer";
        EXPECT_EQ(call("j4_settle", n, ", true"), "");
    }
    EXPECT_EQ(done(), "1/1");

    // A claim that expired is neither renewed, committed nor completed: its
    // unit may be another station's.
    ASSERT_EQ(claim(3, 0), "claimed");
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_renew('{00000000-0000-0000-0000-"
                             "000000000003}', 20)"),
              "0");
    EXPECT_EQ(call("j4_commit", 3, ", 'J4-0003'"), "f");
    EXPECT_EQ(call("j4_settle", 3, ", true"), "");
    EXPECT_EQ(database.query("SELECT state FROM j4_claims WHERE station = 's3'"), "lapsed");
    EXPECT_EQ(done(), "1/1");

    // A committed claim never expires, and holds the last unit; given back
    // (its unit stopped from outside), the unit is free again.
    ASSERT_EQ(claim(4, 0), "claimed");
    ASSERT_EQ(claim(5), "claimed");
    EXPECT_EQ(call("j4_commit", 5, ", 'J4-0005'"), "t");
    EXPECT_EQ(claim(6), "complete");
    EXPECT_EQ(done(), "2/2");
    database.query("SELECT j4_give_back('00000000-0000-0000-0000-000000000005')");
    EXPECT_EQ(claim(6), "claimed");
    EXPECT_EQ(call("j4_settle", 6, ", false"), "");
    EXPECT_EQ(done(), "1/1") << "a failed unit frees its place";

    // A correction of the quantity counts the same work order on.
    ASSERT_EQ(
        plant({"assign", "LU", "--release", "1.0.0", "--work-order", "WO-U", "--quantity", "3"})
            .exitCode,
        0);
    EXPECT_TRUE(plant({"status", "LU"}).out.contains("1 of 3 units done"));
}

// A j4_flash --watch --line station with one slot (a path where a test's
// device is linked), its own state folder and log.
// The records' views against a small data set counted by hand: a unit
// counted once where it was first tried, first pass apart from final, the
// plant's day in its own time zone, and attempts that never reached a
// device kept apart from failed updates.
TEST_F(Plant, TheYieldsCountUnitsAsAPlantDoes) {
    ASSERT_EQ(plant({"status"}).exitCode, 0); // the layout made
    database.query("UPDATE j4_schema SET time_zone = 'Europe/Berlin'");
    struct Row {
        const char* unit; // "": none scanned
        const char* station;
        int slot;
        const char* startedUtc;
        const char* outcome;
        int transmissions;
        const char* release;
    };
    const Row rows[] = {
        // U1: rejected, then completed (not first pass); later 2.1.0 elsewhere.
        {"U1", "S1", 1, "2026-03-01 22:30", "rejected_four_times", 10, "2.0.0"},
        {"U1", "S1", 1, "2026-03-01 22:40", "completed", 8, "2.0.0"},
        {"U1", "S2", 1, "2026-03-03 09:00", "completed", 8, "2.1.0"},
        // U2: first pass just after midnight in Berlin, before it in UTC.
        {"U2", "S1", 2, "2026-03-01 23:10", "completed", 8, "2.0.0"},
        // U3: a refused file reached nothing; then first pass.
        {"U3", "S1", 1, "2026-03-01 22:00", "file_refused", 0, "2.0.0"},
        {"U3", "S1", 1, "2026-03-01 22:05", "completed", 8, "2.0.0"},
        // U4: stopped before its first frame, then a failed update.
        {"U4", "S2", 1, "2026-03-01 22:00", "interrupted", 0, "2.0.0"},
        {"U4", "S2", 1, "2026-03-01 22:10", "link_failed", 5, "2.0.0"},
        // A device pulled before its scan.
        {"", "S2", 2, "2026-03-01 22:20", "unit_not_scanned", 0, "2.0.0"},
        // U5 completed on S2; its earlier failure on S1 arrives later (a log
        // sent after an outage): the unit moves to S1 and is no first pass.
        {"U5", "S2", 1, "2026-03-01 21:00", "completed", 8, "2.0.0"},
        {"U5", "S1", 2, "2026-03-01 20:00", "link_failed", 3, "2.0.0"},
    };
    for (const Row& row : rows)
        database.query(
            QStringLiteral(
                "INSERT INTO j4_attempts (attempt, station, unit, slot, started, ended, file, "
                "outcome, message, transmissions, release_version, line, work_order, record) "
                "VALUES (gen_random_uuid(), '%1', NULLIF('%2', ''), %3, '%4+00', "
                "'%4+00'::timestamptz + interval '1 minute', 'f.j4u', '%5', 'why %5', %6, '%7', "
                "'L1', 'WO-1', '{}'); SELECT j4_counts_caught_up()")
                .arg(row.station, row.unit)
                .arg(row.slot)
                .arg(row.startedUtc, row.outcome)
                .arg(row.transmissions)
                .arg(row.release));
    // Counted by the database as the records arrived, and counted anew
    // from all of them (as a change of the plant's time zone does): the same.
    for (const bool recounted : {false, true}) {
        SCOPED_TRACE(recounted ? "counted anew" : "kept as records arrived");
        if (recounted)
            database.query("UPDATE j4_schema SET time_zone = 'UTC'; "
                           "UPDATE j4_schema SET time_zone = 'Europe/Berlin'");
        EXPECT_EQ(database.query("SELECT station, day, sum(units), sum(first_pass), "
                                 "sum(completed) FROM j4_yield GROUP BY 1, 2 ORDER BY 1, 2"),
                  "S1|2026-03-01|3|1|3\nS1|2026-03-02|1|1|1\nS2|2026-03-01|1|0|0");
        EXPECT_EQ(database.query("SELECT unit, attempts, station FROM j4_units ORDER BY 1"),
                  "U1|3|S1\nU2|1|S1\nU3|1|S1\nU4|1|S2\nU5|2|S1");
        EXPECT_EQ(database.query("SELECT reached_device, outcome, attempts, reason "
                                 "FROM j4_failures ORDER BY 1, 2, station"),
                  "f|file_refused|1|why file_refused\nf|interrupted|1|why interrupted\n"
                  "f|unit_not_scanned|1|why unit_not_scanned\nt|link_failed|1|why link_failed\n"
                  "t|link_failed|1|why link_failed\n"
                  "t|rejected_four_times|1|why rejected_four_times");
        EXPECT_EQ(database.query("SELECT unit, release, station FROM j4_unit_release ORDER BY 1"),
                  "U1|2.1.0|S2\nU2|2.0.0|S1\nU3|2.0.0|S1\nU5|2.0.0|S2");
        EXPECT_EQ(database.query("SELECT station, last_outcome, last_unit FROM j4_stations"),
                  "S1|completed|U2\nS2|completed|U1");
        EXPECT_EQ(database.query("SELECT station, slot, outcome, unit FROM j4_slot_last "
                                 "ORDER BY 1, 2"),
                  "S1|1|completed|U1\nS1|2|completed|U2\nS2|1|completed|U1\n"
                  "S2|2|unit_not_scanned|");
    }

    // A live view hears what changes, not every insert or heartbeat: a new
    // station, a slot's new state, a station heard again after a silence;
    // records arriving are looked for. Each its own transaction, as the
    // stations send them.
    const QString report =
        "BEGIN; SELECT j4_report_live('S9', '', 'v', 'h', "
        "'[{\"slot\": 1, \"state\": \"%1\", \"since_ms\": 0}]', false); COMMIT; ";
    const QString heard = database.query(
        "BEGIN; LISTEN j4_attempt; LISTEN j4_live; COMMIT; BEGIN; INSERT INTO j4_attempts "
        "(attempt, station, started, ended, file, outcome, record) SELECT gen_random_uuid(), "
        "'S' || (i % 2), now(), now(), 'f', 'completed', '{}' FROM generate_series(1, 5) i; "
        "COMMIT; " +
        report.arg("empty") + report.arg("empty") + report.arg("updating") +
        "BEGIN; UPDATE j4_station_heartbeats SET heard = heard - interval '5 minutes'; COMMIT; " +
        report.arg("updating") + "SELECT j4_records_waiting()");
    EXPECT_EQ(heard.count("\"j4_attempt\""), 0) << heard.toStdString();
    EXPECT_EQ(heard.count("\"j4_live\" with payload \"S9\""), 3) << heard.toStdString();
    EXPECT_TRUE(heard.contains(QRegularExpression("(^|\\n)t(\\n|$)"))) << heard.toStdString();

    // Inserts only note their records; every 1024th counts what is noted.
    QString inserts;
    for (int n = 0; n < 1024; ++n)
        inserts += "INSERT INTO j4_attempts (attempt, station, started, ended, file, outcome, "
                   "record) VALUES (gen_random_uuid(), 'S3', now(), now(), 'f', 'completed', "
                   "'{}');";
    database.query(inserts);
    EXPECT_LT(database.query("SELECT count(*) FROM j4_uncounted").toInt(), 1024);
}

TEST_F(Plant, LineStationsCountUnitsOnceFollowTheirLineAndHoldTogether) {
    // The plant trusts its key and a supplier's; the stations only the plant's.
    j4::testing::Minisign supplier(keys, "supplier");
    const QStringList trusting = {"--trust-key", plantKey.publicKey(), "--trust-key",
                                  supplier.publicKey()};
    QMap<QString, QByteArray> images;
    QMap<QString, QString> shas;
    for (const auto& [version, signer] : {std::pair{QString("3.0.0"), &plantKey},
                                          {QString("3.1.0"), &plantKey},
                                          {QString("3.2.0"), &supplier}}) {
        images[version] = j4::testing::makeImage(3, 16, 7 + images.size());
        const QString file =
            j4::testing::writeUpdateFile(dir.filePath(version + ".j4u"), images[version]);
        signer->sign(file, "version=" + version);
        const ProgramResult added =
            plant(QStringList{"--json", "release", "add", file, "--signature", file + ".minisig"} +
                  trusting);
        ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
        shas[version] = QJsonDocument::fromJson(added.out.toUtf8()).object()["sha256"].toString();
    }
    ASSERT_EQ(plant({"assign", "L2", "--release", "3.0.0", "--work-order", "WO-A", "--quantity",
                     "4", "--stop-after", "2/3"})
                  .exitCode,
              0);

    std::vector<std::unique_ptr<LineStation>> stations;
    for (const QString name : {"st-1", "st-2", "st-3"})
        stations.push_back(std::make_unique<LineStation>(dir.path(), name, database.url(),
                                                         plantKey.publicKey(), "L2"));
    for (auto& station : stations)
        ASSERT_TRUE(station->said("Watching 1 slot;")) << station->out().toStdString();
    EXPECT_TRUE(stations[0]->out().contains("Line L2: release 3.0.0, work order WO-A, 0 of 4"))
        << stations[0]->out().toStdString();

    // One unit on a station: plugged, handled (`marker` said once more), pulled.
    const auto unit = [](LineStation& station, const QStringList& markers,
                         const QStringList& device = {}) {
        return unitOn(station, markers, device);
    };

    // Quantity 4 across three stations and six plugs: four made, once
    // each, the rest refused in the line's words.
    int made = 0;
    for (int plug = 0; plug < 6; ++plug) {
        LineStation& station = *stations[plug % 3];
        const QString marker = plug < 4 ? "Update is completed." : "Work order WO-A is complete";
        const QByteArray sent = unit(station, {marker});
        if (plug < 4) {
            EXPECT_EQ(sent, images["3.0.0"]);
            ++made;
        } else {
            EXPECT_TRUE(sent.isEmpty()) << "a unit past the quantity gets nothing";
        }
    }
    EXPECT_TRUE(stations[1]->out().contains("Work order WO-A is complete: 4 of 4 units"))
        << stations[1]->out().toStdString();
    // Each unit's end says how far the work order is, counted by the plant.
    for (const QString done : {"1 of 4", "4 of 4"})
        EXPECT_TRUE(
            stations[0]->said("Line L2: release 3.0.0, work order WO-A, " + done + " units."))
            << stations[0]->out().toStdString();
    int completed = 0;
    for (auto& station : stations)
        for (const QJsonObject& line : logged(station->log()))
            if (line["outcome"].toString() == "completed") {
                ++completed;
                EXPECT_EQ(line["work_order"].toString(), "WO-A");
                EXPECT_EQ(line["line"].toString(), "L2");
            }
    EXPECT_EQ(completed, made);
    const ProgramResult complete = plant({"status", "L2"});
    EXPECT_TRUE(complete.out.contains("4 of 4 units done")) << complete.out.toStdString();
    EXPECT_TRUE(complete.out.contains("complete: the work order is done"))
        << complete.out.toStdString();
    EXPECT_EQ(database.query("SELECT release, quantity, done, active FROM j4_work_order_progress "
                             "WHERE work_order = 'WO-A'"),
              "3.0.0|4|4|t");

    // Assigned anew mid-shift: every station hears of it at once, and the
    // next unit of any gets it. Enough units for the stations to claim their
    // next ones ahead, while they wait for a device.
    ASSERT_EQ(plant({"assign", "L2", "--release", shas["3.1.0"], "--work-order", "WO-B",
                     "--quantity", "50", "--stop-after", "2/3"})
                  .exitCode,
              0);
    for (auto& station : stations)
        EXPECT_TRUE(station->said("Line L2 now sends release 3.1.0, work order WO-B, 0 of 50"))
            << station->out().toStdString();
    EXPECT_EQ(unit(*stations[2], {"Update is completed."}), images["3.1.0"]);
    EXPECT_EQ(logged(stations[2]->log()).last()["file_sha256"].toString(), shas["3.1.0"]);

    // Two failures in three attempts hold the line for every station;
    // resumed, it goes on.
    for (int failing = 0; failing < 2; ++failing)
        unit(*stations[0], {"rejected frame"}, {"--reject", "1,2,3,4"});
    for (auto& station : stations)
        EXPECT_TRUE(station->said("Line L2 is held: 2 failures in the last 3 attempts."))
            << station->out().toStdString();
    // Held, a unit claimed ahead is not made, and the operator is told to
    // plug it in again.
    EXPECT_TRUE(unit(*stations[2], {"attempts. Not updated. Plug the unit in again once the line "
                                    "goes on."})
                    .isEmpty());
    EXPECT_EQ(plant({"resume", "L2"}).exitCode, 0);
    EXPECT_TRUE(stations[2]->said("Line L2 goes on."));
    EXPECT_EQ(unit(*stations[2], {"Update is completed."}), images["3.1.0"]);
    EXPECT_EQ(unit(*stations[2], {"Update is completed."}), images["3.1.0"]);
    // Each unit made counted once, none of those claimed ahead.
    EXPECT_EQ(database.query("SELECT count(*) FILTER (WHERE c.state = 'completed'), "
                             "count(*) FILTER (WHERE c.state = 'failed') FROM j4_claims c JOIN "
                             "j4_assignments a ON a.id = c.assignment WHERE a.work_order = 'WO-B'"),
              "3|2");

    // A rule that holds only the failing station: the others go on, and
    // status names the station held.
    ASSERT_EQ(plant({"assign", "L2", "--release", "3.1.0", "--work-order", "WO-S", "--quantity",
                     "50", "--stop-after", "1/1", "--stop-station"})
                  .exitCode,
              0);
    for (auto& station : stations)
        ASSERT_TRUE(station->said("work order WO-S")) << station->out().toStdString();
    unit(*stations[0], {"rejected frame"}, {"--reject", "1,2,3,4"});
    EXPECT_TRUE(stations[0]->said("Line L2 is held: station st-1: 1 failures in the last 1"))
        << stations[0]->out().toStdString();
    EXPECT_EQ(unit(*stations[1], {"Update is completed."}), images["3.1.0"]);
    EXPECT_FALSE(stations[1]->out().contains("station st-1:"));
    EXPECT_TRUE(plant({"status", "L2"}).out.contains("HELD: station st-1: 1 failures"));
    const int goesOn = stations[0]->count({"Line L2 goes on."});
    EXPECT_EQ(plant({"resume", "L2"}).exitCode, 0);
    EXPECT_TRUE(stations[0]->said(QStringLiteral("Line L2 goes on."), goesOn + 1));

    // A station killed while it makes the work order's last unit: the
    // unit's claim holds the others off, then expires, and the unit is made
    // elsewhere.
    ASSERT_EQ(
        plant({"assign", "L2", "--release", "3.1.0", "--work-order", "WO-K", "--quantity", "1"})
            .exitCode,
        0);
    {
        j4::testing::DevSim slow({"--delay-us", "3000000"});
        const int sending = stations[0]->count({"sending"});
        ASSERT_TRUE(QFile::link(slow.device(), stations[0]->slot()));
        ASSERT_TRUE(stations[0]->said("sending", sending + 1)) << stations[0]->out().toStdString();
        stations[0]->kill();
        QFile::remove(stations[0]->slot());
    }
    EXPECT_TRUE(unit(*stations[1], {"being updated at other stations"}).isEmpty());
    QElapsedTimer expiry;
    expiry.start();
    QByteArray last;
    while (last.isEmpty() && expiry.elapsed() < 90000) {
        last = unit(*stations[1], {"Update is completed.", "Not updated."});
        QThread::msleep(500);
    }
    EXPECT_EQ(last, images["3.1.0"]) << "made once the claim expired";

    // A release the plant trusts and the station does not: refused at
    // fetch, nothing sent.
    ASSERT_EQ(
        plant({"assign", "L2", "--release", "3.2.0", "--work-order", "WO-C", "--quantity", "5"})
            .exitCode,
        0);
    EXPECT_TRUE(unit(*stations[2], {"is refused"}).isEmpty());
    // ...and said to the plant, which shows it.
    const ProgramResult refusedStatus = plant({"status", "L2"});
    EXPECT_TRUE(refusedStatus.out.contains("REFUSED by its stations: "));
    EXPECT_TRUE(refusedStatus.out.contains("st-3: line L2: release 3.2.0 is refused"))
        << refusedStatus.out.toStdString();

    // The database down at start: the last verified assignment is said;
    // the units the profile allows are made and counted once it is back,
    // and no more.
    // The others end cleanly on a stop: every attempt of theirs completed
    // (a unit refused is no attempt), their claims given back.
    for (std::size_t i = 1; i < stations.size(); ++i)
        EXPECT_EQ(stations[i]->stop(), 0) << stations[i]->out().toStdString();
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_claims WHERE state = 'open' AND station IN "
                             "('st-2', 'st-3')"),
              "0");
    // Stopped on purpose, they say so: the page tells them from a crash.
    EXPECT_EQ(database.query("SELECT station FROM j4_station_heartbeats WHERE stopped IS NOT NULL "
                             "ORDER BY station"),
              "st-2\nst-3");
    EXPECT_TRUE(database.query("SELECT j4_live_document()").contains("\"stopped\" : \""));
    stations.clear();
    database.stop();
    {
        LineStation alone(dir.path(), "st-1", database.url(), plantKey.publicKey(), "L2",
                          {"--offline-units", "1"});
        EXPECT_TRUE(alone.said("keeps its last verified assignment, release 3.1.0, work order "
                               "WO-K"))
            << alone.out().toStdString();
        EXPECT_EQ(unit(alone, {"Update is completed."}), images["3.1.0"]);
        EXPECT_TRUE(alone.out().contains("unit 1 of 1 made offline"));
        EXPECT_TRUE(unit(alone, {"cannot be counted"}).isEmpty());
        database.start();
        unit(alone, {"Not updated."});
        EXPECT_TRUE(alone.said("the 1 units made offline are counted"))
            << alone.out().toStdString();
        EXPECT_EQ(database.query("SELECT count(*) FROM j4_claims c JOIN j4_assignments a ON a.id = "
                                 "c.assignment WHERE a.work_order = 'WO-K' AND c.state = "
                                 "'completed'"),
                  "2");
    }
}

} // namespace
