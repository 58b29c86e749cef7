// What --records costs a station: plug to first frame and plug to the end
// of the transfer, for a station (j4_flash --watch, one slot) without
// records, then with records while the database is up, down (stopped) and
// paused (every server process stopped by SIGSTOP, so it neither answers
// nor refuses). Reports medians and their ratios to the run without records
// (target: <= 1.05). Run beside a server:
//   tests/support/with_postgres.sh build/bench/records_station_bench

#include "beside_database.h"
#include "plug_cycle.h"
#include "processes.h"
#include "update_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCycles = 10; // per block
constexpr int kRounds = 4;  // blocks of each condition, taken in turn

struct Times {
    std::vector<double> firstFrame; // ms
    std::vector<double> transfer;   // ms, plug to the last answer
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Times measure(const QTemporaryDir& dir, const QString& file, const QStringList& records) {
    const QString slot = dir.filePath(QStringLiteral("slot"));
    QProcess station;
    station.start(j4::testing::flashPath(),
                  QStringList{"--watch", "-q", "--device", slot, "--log",
                              dir.filePath(QStringLiteral("log%1.jsonl").arg(records.size()))} +
                      records + QStringList{file});
    if (!station.waitForStarted() || !station.waitForReadyRead(5000))
        std::fprintf(stderr, "the station did not start\n");
    Times times;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const auto plug = j4::bench::plugCycle(dir.filePath(QStringLiteral("staging")), slot,
                                               "transmission 200,");
        times.firstFrame.push_back(plug.firstFrameMs);
        times.transfer.push_back(plug.lastFrameMs);
    }
    station.terminate();
    station.waitForFinished(30000);
    return times;
}

int measured(j4::bench::BesideDatabase& bench) {
    auto& [database, dir] = bench;
    const QString file = bench.updateFile();
    const QStringList records{"--records", database.url()};
    // In turns, so that a machine busier in one part of the run weighs on
    // every condition alike.
    Times without, up, down, paused;
    const auto add = [](Times& into, const Times& block) {
        into.firstFrame.insert(into.firstFrame.end(), block.firstFrame.begin(),
                               block.firstFrame.end());
        into.transfer.insert(into.transfer.end(), block.transfer.begin(), block.transfer.end());
    };
    for (int round = 0; round < kRounds; ++round) {
        add(without, measure(dir, file, {}));
        add(up, measure(dir, file, records));
        database.stop();
        add(down, measure(dir, file, records));
        database.start();
        database.pause();
        add(paused, measure(dir, file, records));
        database.resume();
    }
    const double baseFirst = median(without.firstFrame);
    const double baseTransfer = median(without.transfer);
    std::printf("without records: plug to first frame %.2f ms, plug to last answer %.2f ms "
                "(medians of %d)\n",
                baseFirst, baseTransfer, kCycles * kRounds);
    for (const auto& [name, times] :
         {std::pair{"database up", &up}, std::pair{"database down", &down},
          std::pair{"database paused", &paused}}) {
        const double first = median(times->firstFrame);
        const double transfer = median(times->transfer);
        std::printf("--records, %-15s first frame %.2f ms (ratio %.2f), transfer %.2f ms "
                    "(ratio %.2f; target <= 1.05)\n",
                    name, first, first / baseFirst, transfer, transfer / baseTransfer);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return j4::bench::besideDatabase(argc, argv, measured);
}
