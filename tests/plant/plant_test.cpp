// The plant's program against a real PostgreSQL (pg_virtualenv's), with
// releases signed by the real minisign: what it adds, assigns, holds and
// reports, and what it refuses, with which exit status.

#include "attempt_report.h"
#include "processes.h"
#include "update_files.h"
#include "update_log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using j4::testing::ProgramResult;

namespace {

class Plant : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("PGPORT"))
            GTEST_SKIP() << "not beside a PostgreSQL server (tests/support/with_postgres.sh)";
        database.query("DROP TABLE IF EXISTS j4_attempts, j4_schema, j4_claims, j4_holds, "
                       "j4_assignments, j4_releases CASCADE");
        QDir().mkpath(keys);
    }
    // j4_plant with the test's database, its own configuration folder (no
    // trusted key of the machine's user) and ARGUMENTS.
    ProgramResult plant(QStringList arguments) const {
        arguments.prepend(database.url());
        arguments.prepend("--records");
        return j4::testing::runProgram(J4_PLANT, arguments,
                                       {"XDG_CONFIG_HOME=" + dir.filePath("config")});
    }
    QString release(const QString& name, int variant) const {
        return j4::testing::writeUpdateFile(dir.filePath(name),
                                            j4::testing::makeImage(3 + variant, 16));
    }

    QTemporaryDir dir;
    QString keys = dir.filePath("keys");
    j4::testing::TestDatabase database;
    j4::testing::Minisign plantKey{(QDir().mkpath(keys), keys), "plant"};
};

TEST_F(Plant, AReleaseIsAddedOnlyAsThePlantsTrustedKeysSignedIt) {
    const QString file = release("r1.j4u", 0);
    const QStringList trusting = {"--trust-key", plantKey.publicKey()};

    // Unsigned; signed, but with no key trusted at all; signed by a key the
    // plant does not trust.
    ProgramResult added = plant(QStringList{"release", "add", file, "--signature",
                                            file + ".minisig"} + trusting);
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
    for (const auto& [name, version] : {std::pair{"a.j4u", "2.0.0"}, {"b.j4u", "2.1.0"},
                                        {"c.j4u", "2.1.0"}}) {
        const QString file = release(name, int(sha.size() % 7) + name[0] - 'a');
        plantKey.sign(file, QStringLiteral("version=") + version);
        const ProgramResult added = plant(
            QStringList{"--json", "release", "add", file, "--signature", file + ".minisig"} +
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
    EXPECT_EQ(plant({"frobnicate"}).exitCode, 2);
    // The plant's rules: an unknown release, a version two releases share.
    EXPECT_EQ(plant({"assign", "L1", "--release", "9.9.9", "--work-order", "WO-1", "--quantity",
                     "10"})
                  .exitCode,
              1);
    const ProgramResult shared = plant(
        {"assign", "L1", "--release", "2.1.0", "--work-order", "WO-1", "--quantity", "10"});
    EXPECT_EQ(shared.exitCode, 1);
    EXPECT_TRUE(shared.err.contains("SHA-256")) << shared.err.toStdString();
    EXPECT_EQ(plant({"status", "L1"}).exitCode, 1) << "no assignment yet";

    // Assigned by version, then again by SHA-256: one active, both kept.
    ASSERT_EQ(plant({"assign", "L1", "--release", "2.0.0", "--work-order", "WO-1", "--quantity",
                     "10", "--lot", "LOT-7", "--part", "PN-42", "--stop-after", "3/10"})
                  .exitCode,
              0);
    ASSERT_EQ(plant({"assign", "L1", "--release", sha, "--work-order", "WO-2", "--quantity", "20"})
                  .exitCode,
              0);
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
    const ProgramResult sent = j4::testing::runProgram(
        J4_FLASH, {"--send-records", log, "--records", database.url()});
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
    EXPECT_TRUE(line["held"].isNull());
    EXPECT_EQ(line["stations"].toArray().at(0).toString(), "st-3");

    // Held for every station of the line, then resumed once.
    ASSERT_EQ(plant({"hold", "L1", "--reason", "fixture worn"}).exitCode, 0);
    status = plant({"status", "L1"});
    EXPECT_TRUE(status.out.contains("HELD: fixture worn")) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains("0 of 20 units done")) << status.out.toStdString();
    EXPECT_EQ(plant({"resume", "L1"}).exitCode, 0);
    EXPECT_EQ(plant({"resume", "L1"}).exitCode, 1) << "nothing left to resume";
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

} // namespace
