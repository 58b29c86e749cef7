// A work order is never exceeded and a line is never deaf: line stations
// against a real PostgreSQL through a proxy that drops packets and resets
// connections as a plant's network does, stations killed and started again,
// the database stopped.

#include "plant_fixture.h"

#include <QThread>

#include <memory>
#include <random>

namespace {

using namespace j4::testing::plant;
using j4::testing::DevSim;
using j4::testing::FaultProxy;

class LineFaults : public Plant {
protected:
    // A release signed with the plant's key, added: its image.
    QByteArray added(const QString& version) {
        const QByteArray image = j4::testing::makeImage(3, 16, 40 + images_++);
        const QString file = j4::testing::writeUpdateFile(dir.filePath(version + ".j4u"), image);
        plantKey.sign(file, "version=" + version);
        const ProgramResult result =
            plant({"release", "add", file, "--signature", file + ".minisig", "--trust-key",
                   plantKey.publicKey()});
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        return image;
    }
    void assign(const QString& order, int quantity, const QStringList& more = {}) {
        const ProgramResult result =
            plant(QStringList{"assign", "LF", "--release", "1.0.0", "--work-order", order,
                              "--quantity", QString::number(quantity)} +
                  more);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    }
    std::unique_ptr<LineStation> station(const QString& name, const QString& url,
                                         const QStringList& more = {}) {
        return std::make_unique<LineStation>(dir.path(), name, url, plantKey.publicKey(), "LF",
                                             more);
    }
    std::unique_ptr<LineStation> watching(const QString& name, const QString& url) {
        auto started = station(name, url);
        EXPECT_TRUE(started->said("Watching 1 slot;")) << started->out().toStdString();
        return started;
    }
    QString claims(const QString& order, const QString& state) const {
        return database.query("SELECT count(*) FROM j4_claims c JOIN j4_assignments a ON a.id = "
                              "c.assignment WHERE a.work_order = '" +
                              order + "' AND c.state = '" + state + "'");
    }
    // Two stations of line LF on work order `order`: `far` behind the
    // proxy, `near` straight at the database. The release's image.
    QByteArray twoStations(const QString& order, int quantity) {
        const QByteArray image = added("1.0.0");
        assign(order, quantity);
        proxy = std::make_unique<FaultProxy>(database);
        far = watching("far", proxy->url());
        near = watching("near", database.url());
        return image;
    }
    bool lastOutcome(LineStation& station, const QString& outcome) {
        const QList<QJsonObject> lines = logged(station.log());
        return !lines.isEmpty() && lines.last()["outcome"].toString() == outcome;
    }

    std::unique_ptr<FaultProxy> proxy;
    std::unique_ptr<LineStation> far;
    std::unique_ptr<LineStation> near;

private:
    int images_ = 0;
};

TEST_F(LineFaults, AUnitWhoseClaimExpiredIsNeverCompletedWhereAnotherWasMade) {
    const QByteArray image = twoStations("WO-E", 1);

    // The far station's unit is under way when its network drops every
    // packet: its claim is not renewed, and expires.
    DevSim slow({"--delay-us", "2500000"});
    ASSERT_TRUE(QFile::link(slow.device(), far->slot()));
    ASSERT_TRUE(far->said("sending")) << far->out().toStdString();
    proxy->drop();
    ASSERT_TRUE(eventually([&] {
        return database.query("SELECT count(*) FROM j4_claims WHERE station = 'far' AND state = "
                              "'open' AND expires < now()") == "1";
    }));
    // The unit is another station's to make now...
    EXPECT_EQ(unitOn(*near, {"Update is completed."}), image);
    // ...so the far one never completes its own: the last frame is kept back.
    proxy->pass();
    EXPECT_TRUE(far->said("its last frame was kept back")) << far->out().toStdString();
    QFile::remove(far->slot());
    EXPECT_NE(slow.capture(), image);
    EXPECT_TRUE(lastOutcome(*far, "withheld"));
    EXPECT_EQ(claims("WO-E", "completed"), "1");
    EXPECT_EQ(claims("WO-E", "failed"), "0") << "a unit kept back is no failure of the line";
    const ProgramResult status = plant({"status", "LF"});
    EXPECT_TRUE(status.out.contains("1 of 1 units done")) << status.out.toStdString();
}

TEST_F(LineFaults, AUnitThatEndsInAnOutageCountsOnceEvenWhenItsStationIsKilled) {
    const QByteArray image = twoStations("WO-G", 1);

    // Confirmed before its last frame, then the network goes before the
    // unit's end is heard.
    DevSim slow({"--delay-us", "3000000"});
    ASSERT_TRUE(QFile::link(slow.device(), far->slot()));
    ASSERT_TRUE(eventually([&] { return claims("WO-G", "committed") == "1"; }));
    proxy->drop();
    ASSERT_TRUE(eventually([&] { return lastOutcome(*far, "completed"); }));
    EXPECT_EQ(slow.capture(), image);
    // Long after its claim would have expired, the unit still counts:
    // nobody else makes it.
    ASSERT_TRUE(eventually([&] {
        return database.query("SELECT count(*) FROM j4_claims WHERE station = 'far' AND claimed "
                              "< now() - interval '25 seconds'") == "1";
    }));
    EXPECT_TRUE(unitOn(*near, {"is complete", "Not updated."}).isEmpty());

    // Killed before the database heard of it: its next start tells it.
    far.reset();
    QFile::remove(dir.filePath("far/slot"));
    proxy->pass();
    far = watching("far", proxy->url());
    EXPECT_TRUE(eventually([&] { return claims("WO-G", "completed") == "1"; }));
    EXPECT_EQ(claims("WO-G", "committed"), "0");
    // A correction of the quantity goes on counting the same work order.
    assign("WO-G", 3);
    EXPECT_TRUE(far->said("work order WO-G, 1 of 3 units")) << far->out().toStdString();
    EXPECT_EQ(unitOn(*near, {"Update is completed."}), image);
    EXPECT_TRUE(plant({"status", "LF"}).out.contains("2 of 3 units done"));
}

TEST_F(LineFaults, UnitsMadeOfflineAreCountedAfterARestartAndTheLineIsHeardWhenItIsBack) {
    const QByteArray image = added("1.0.0");
    assign("WO-O", 5);
    watching("off", database.url()).reset(); // it keeps the line's assignment
    database.stop();
    {
        auto first = station("off", database.url(), {"--offline-units", "1"});
        ASSERT_TRUE(first->said("keeps its last verified assignment"))
            << first->out().toStdString();
        EXPECT_EQ(unitOn(*first, {"Update is completed."}), image);
        first->stop();
    }
    // Started again, the database still away: the unit made offline still
    // takes the allowance, and is not forgotten.
    auto again = station("off", database.url(), {"--offline-units", "1"});
    ASSERT_TRUE(again->said("keeps its last verified assignment")) << again->out().toStdString();
    EXPECT_TRUE(unitOn(*again, {"cannot be counted"}).isEmpty());
    database.start();
    EXPECT_TRUE(again->said("the 1 units made offline are counted")) << again->out().toStdString();
    EXPECT_EQ(claims("WO-O", "completed"), "1");
    // Started while the database was down, it hears its line all the same.
    ASSERT_EQ(plant({"hold", "LF", "--reason", "fixture check"}).exitCode, 0);
    EXPECT_TRUE(again->said("Line LF is held: fixture check.")) << again->out().toStdString();
}

TEST_F(LineFaults, AStationHearsItsLineAgainAfterAnyOutage) {
    const QByteArray image = added("1.0.0");
    added("2.0.0");
    assign("WO-H", 50, {"--stop-after", "1/2"});
    proxy = std::make_unique<FaultProxy>(database);
    far = watching("far", proxy->url());

    // Every packet dropped for longer than any statement's bound: the
    // outage's length is the fault itself.
    proxy->drop();
    QElapsedTimer outage;
    outage.start();
    while (outage.elapsed() < 45000)
        QThread::msleep(200);
    proxy->pass();
    ASSERT_EQ(plant({"hold", "LF", "--reason", "after the drop"}).exitCode, 0);
    EXPECT_TRUE(far->said("Line LF is held: after the drop.")) << far->out().toStdString();
    ASSERT_EQ(plant({"resume", "LF"}).exitCode, 0);
    EXPECT_TRUE(far->said("Line LF goes on.")) << far->out().toStdString();

    // Connections reset, the database restarted: the next unit is made,
    // not refused as if the database were away.
    proxy->reset();
    EXPECT_EQ(unitOn(*far, {"Update is completed.", "Not updated."}), image)
        << far->out().toStdString();
    database.stop();
    database.start();
    EXPECT_EQ(unitOn(*far, {"Update is completed.", "Not updated."}), image)
        << far->out().toStdString();
    ASSERT_EQ(plant({"assign", "LF", "--release", "2.0.0", "--work-order", "WO-2", "--quantity",
                     "50", "--stop-after", "1/2"})
                  .exitCode,
              0);
    EXPECT_TRUE(far->said("Line LF now sends release 2.0.0")) << far->out().toStdString();

    // A shift's end in the middle of a unit is no failure of the line.
    DevSim slow({"--delay-us", "2000000"});
    ASSERT_TRUE(QFile::link(slow.device(), far->slot()));
    ASSERT_TRUE(far->said("sending", far->count({"sending"}) + 1)) << far->out().toStdString();
    far->stop();
    EXPECT_TRUE(lastOutcome(*far, "interrupted"));
    EXPECT_EQ(database.query("SELECT count(*) FROM j4_holds"), "0");
    EXPECT_EQ(claims("WO-2", "failed"), "0");
    EXPECT_EQ(claims("WO-2", "open"), "0") << "its claim given back";
}

TEST_F(LineFaults, AStationFollowsOnlyWhatItVerifiedItself) {
    added("1.0.0");
    assign("WO-K", 10);
    watching("rot", database.url()).reset(); // it keeps the release, signed by the plant's key

    // The plant's key rotated: the same file signed anew, and the station
    // trusting only the new key follows the line, whatever it kept before.
    j4::testing::Minisign rotated(keys, "rotated");
    const QString file = dir.filePath("1.0.0.j4u");
    rotated.sign(file, "version=1.0.0");
    const ProgramResult signedAnew =
        plant({"release", "add", file, "--trust-key", rotated.publicKey()});
    EXPECT_EQ(signedAnew.exitCode, 0) << signedAnew.err.toStdString();
    EXPECT_TRUE(signedAnew.out.startsWith("Signed anew: release 1.0.0"))
        << signedAnew.out.toStdString();
    {
        LineStation station(dir.path(), "rot", database.url(), rotated.publicKey(), "LF");
        EXPECT_TRUE(station.said("Line LF: release 1.0.0, work order WO-K"))
            << station.out().toStdString();
    }

    // A version edited in the database is not the one signed: refused, and
    // said to the plant.
    database.query("UPDATE j4_releases SET version = '9.9.9'");
    LineStation edited(dir.path(), "ver", database.url(), rotated.publicKey(), "LF");
    EXPECT_TRUE(edited.said("the plant's database names it version 9.9.9, but its signature "
                            "says 1.0.0"))
        << edited.out().toStdString();
    EXPECT_TRUE(plant({"status", "LF"}).out.contains("REFUSED by its stations: ver: "));
}

// Random shifts: units plugged at three stations at once while the
// network drops or resets, a station is killed and started again, or the
// quantity is corrected. Whatever happened, no more whole images than the
// quantity, every record once, every station hearing its line.
TEST_F(LineFaults, NoShiftOfPlugsKillsOutagesAndCorrectionsExceedsTheQuantity) {
    const QByteArray image = added("1.0.0");
    int quantity = 5;
    assign("WO-R", quantity);
    proxy = std::make_unique<FaultProxy>(database);
    const QStringList names = {"r1", "r2", "r3"};
    const auto urlOf = [&](int s) { return s < 2 ? proxy->url() : database.url(); };
    std::vector<std::unique_ptr<LineStation>> stations;
    for (int s = 0; s < 3; ++s)
        stations.push_back(watching(names[s], urlOf(s)));
    const unsigned seed = qEnvironmentVariableIsSet("J4_SHIFT_SEED")
                              ? qEnvironmentVariableIntValue("J4_SHIFT_SEED")
                              : 20261209u;
    std::mt19937 random(seed);
    const QStringList ends = {"Update is completed.", "Not updated.", " is complete: "};
    int whole = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        std::vector<std::unique_ptr<DevSim>> devices;
        std::vector<int> before;
        for (int s = 0; s < 3; ++s) {
            devices.push_back(std::make_unique<DevSim>(
                QStringList{"--delay-us", QString::number(300000 + random() % 1200000)}));
            before.push_back(stations[s]->count(ends));
            EXPECT_TRUE(QFile::link(devices[s]->device(), stations[s]->slot()));
        }
        const int fault = int(random() % 5);
        int killed = -1;
        if (fault == 0) {
            proxy->drop();
            QThread::msleep(random() % 25000); // how long the network is away
            proxy->pass();
        } else if (fault == 1) {
            proxy->reset();
        } else if (fault == 2) {
            killed = int(random() % 3);
            stations[killed]->kill();
            QFile::remove(stations[killed]->slot());
            stations[killed] = watching(names[killed], urlOf(killed));
        } else if (fault == 3) {
            assign("WO-R", ++quantity);
        } else {
            proxy->delay(int(random() % 800)); // a slow network, for this round
        }
        for (int s = 0; s < 3; ++s) {
            if (s != killed) {
                EXPECT_TRUE(stations[s]->said(ends, before[s] + 1, 150000))
                    << stations[s]->out().toStdString();
            }
            QFile::remove(stations[s]->slot());
            whole += devices[s]->capture() == image ? 1 : 0;
        }
        proxy->delay(0);
    }
    proxy->pass();
    // Every unit under way has ended. A unit whose station was killed after
    // its claim was confirmed counts as made whether or not its last frame
    // got there: the count may be above the whole images, never above the
    // quantity.
    EXPECT_TRUE(eventually([&] {
        return database.query("SELECT count(*) FROM j4_claims WHERE state = 'open' AND expires > "
                              "now()") == "0";
    }));
    const int done = database.query("SELECT done FROM j4_work_order_counts('WO-R')").toInt();
    EXPECT_LE(whole, done) << "whole images made";
    EXPECT_LE(done, quantity);
    QStringList logged;
    for (const auto& station : stations)
        for (const QJsonObject& line : j4::testing::plant::logged(station->log()))
            logged << line["attempt"].toString();
    logged.sort();
    EXPECT_TRUE(eventually([&] {
        return database.query("SELECT string_agg(attempt::text, ',' ORDER BY attempt::text) FROM "
                              "j4_attempts") == logged.join(',');
    })) << "every record once";
    ASSERT_EQ(plant({"hold", "LF", "--reason", "end of shift"}).exitCode, 0);
    for (const auto& station : stations)
        EXPECT_TRUE(station->said("Line LF is held: end of shift."))
            << station->out().toStdString();
}

} // namespace
