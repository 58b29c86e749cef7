// What following a line costs a station, and how fast the plant reaches it.
// Plug to first frame for a station with a file (j4_flash --watch, one
// slot) and for one that follows its line (--line: each unit claimed in the
// database first), taken in turns, while 50 other stations claim units of
// the same line all the time; reports the medians and their ratio (target:
// <= 1.05). Then the line assigned anew 20 times: from j4_plant's assign to
// the moment all three line stations say they send the new assignment
// (target: median <= 1 s). Run beside a server:
//   tests/support/with_postgres.sh build/bench/line_station_bench

#include "beside_database.h"
#include "plug_cycle.h"
#include "pq_session.h"
#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Told at each plug of the measured station.
std::function<void()> plugged = [] {};

constexpr int kCycles = 10; // per block
constexpr int kRounds = 3;  // blocks of each kind of station, taken in turns
constexpr int kClaimers = 50;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QProcess* startStation(const QString& folder, const QStringList& what) {
    auto* station = new QProcess;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", folder + "/state");
    station->setProcessEnvironment(environment);
    station->setProcessChannelMode(QProcess::MergedChannels);
    station->start(j4::testing::flashPath(),
                   QStringList{"--watch", "--device", folder + "/slot"} + what);
    return station;
}

// Plug to first frame, kCycles times.
std::vector<double> measure(const QString& folder, const QStringList& what) {
    QDir().mkpath(folder);
    std::unique_ptr<QProcess> station(startStation(folder, what));
    QByteArray said;
    QElapsedTimer started;
    started.start();
    while (!said.contains("Watching") && started.elapsed() < 30000) {
        station->waitForReadyRead(100);
        said += station->readAll();
    }
    std::vector<double> firstFrames;
    const QString slot = folder + "/slot";
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const auto plug = j4::bench::plugCycle(folder + "/staging", slot, {}, 150, plugged);
        firstFrames.push_back(plug.firstFrameMs);
    }
    station->terminate();
    station->waitForFinished(30000);
    return firstFrames;
}

int plant(const QString& url, const QStringList& arguments) {
    return j4::testing::runProgram(J4_PLANT, QStringList{"--records", url} + arguments).exitCode;
}

// Plug to first frame with a file against following line B, while 50
// other stations of the line each claim a unit (and give it back) at the
// moment a device is plugged into the measured station.
void claimCost(const QString& url, const QStringList& withFile, const QStringList& following,
               const QTemporaryDir& dir) {
    std::atomic<bool> done{false};
    std::atomic<int> generation{0};
    std::atomic<long> claims{0};
    std::vector<std::thread> claimers;
    for (int i = 0; i < kClaimers; ++i)
        claimers.emplace_back([&, i] {
            auto session = j4::db::PqSession::open(url.toStdString(), &done, {});
            if (!session)
                return;
            const std::string station = "load-" + std::to_string(i);
            int seen = 0;
            while (!done) {
                if (generation.load() == seen) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    continue;
                }
                seen = generation.load();
                if ((*session)->run("SELECT * FROM j4_claim('B', gen_random_uuid(), '" + station +
                                    "', 20)") &&
                    (*session)->run("DELETE FROM j4_claims WHERE station = '" + station + "'"))
                    ++claims;
            }
        });
    plugged = [&generation] { ++generation; };

    std::vector<double> fileTimes, lineTimes;
    for (int round = 0; round < kRounds; ++round) {
        const auto a = measure(dir.filePath(QStringLiteral("file")), withFile);
        const auto b = measure(dir.filePath(QStringLiteral("line")), following);
        fileTimes.insert(fileTimes.end(), a.begin(), a.end());
        lineTimes.insert(lineTimes.end(), b.begin(), b.end());
    }
    done = true;
    for (auto& claimer : claimers)
        claimer.join();
    const double base = median(fileTimes);
    const double line = median(lineTimes);
    std::printf("plug to first frame, medians of %zu: with a file %.2f ms, following line B "
                "%.2f ms, %d other stations claiming at each plug (%ld claims): ratio %.3f "
                "(target <= 1.05)\n",
                fileTimes.size(), base, line, kClaimers, claims.load(), line / base);
}

// The line assigned anew 20 times: how long until every station says so.
void changeReach(const QString& url, const QStringList& following, const QTemporaryDir& dir) {
    std::vector<std::unique_ptr<QProcess>> stations;
    std::vector<QByteArray> said(3);
    for (int i = 0; i < 3; ++i) {
        const QString folder = dir.filePath(QStringLiteral("listening%1").arg(i));
        QDir().mkpath(folder);
        stations.emplace_back(startStation(folder, following));
    }
    const auto allSaid = [&](const QByteArray& text, int ms) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            bool all = true;
            for (std::size_t i = 0; i < stations.size(); ++i) {
                stations[i]->waitForReadyRead(1);
                said[i] += stations[i]->readAll();
                all = all && said[i].contains(text);
            }
            if (all || clock.elapsed() > ms)
                return all;
        }
    };
    allSaid("Watching", 30000);
    std::vector<double> reached;
    for (int change = 1; change <= 20; ++change) {
        const QString order = QStringLiteral("W-%1").arg(change);
        QElapsedTimer clock;
        clock.start();
        plant(url, {"assign", "B", "--release", "1.0.0", "--work-order", order, "--quantity", "5"});
        if (!allSaid(("work order " + order + ",").toUtf8(), 30000))
            std::fprintf(stderr, "change %d did not reach every station\n", change);
        reached.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    for (auto& station : stations) {
        station->terminate();
        station->waitForFinished(30000);
    }
    std::printf("an assignment changed, until all 3 stations send it: median %.0f ms, worst "
                "%.0f ms of 20 (j4_plant's own start included; target: median <= 1000 ms)\n",
                median(reached), *std::max_element(reached.begin(), reached.end()));
}

int measured(j4::bench::BesideDatabase& bench) {
    auto& [database, dir] = bench;
    const QString url = database.url();
    j4::testing::Minisign key(dir.path(), QStringLiteral("plant"));
    const QString file = bench.updateFile();
    key.sign(file, QStringLiteral("version=1.0.0"));
    if (plant(url, {"release", "add", file, "--signature", file + ".minisig", "--trust-key",
                    key.publicKey()}) != 0 ||
        plant(url, {"assign", "B", "--release", "1.0.0", "--work-order", "W", "--quantity",
                    "1000000"}) != 0)
        return std::fprintf(stderr, "the plant's database could not be set up\n"), 1;
    const QStringList withFile{"--trust-key", key.publicKey(), file};
    const QStringList following{"--trust-key", key.publicKey(), "--line", "B", "--records", url};
    claimCost(url, withFile, following, dir);
    changeReach(url, following, dir);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return j4::bench::besideDatabase(argc, argv, measured);
}
