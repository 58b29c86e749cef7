// A plant on paper: 50 stations' senders, each forwarding 2,000 records as
// its station appends them, into one PostgreSQL that is restarted twice
// during the run. Counts what was lost and doubled (both must be 0) and the
// sustained records per second. Run beside a server:
//   tests/support/with_postgres.sh build/bench/records_scale_bench

#include "attempt_report.h"
#include "beside_database.h"
#include "processes.h"
#include "record_sender.h"
#include "sample_report.h"
#include "update_log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kStations = 50;
constexpr int kRecords = 2000;

struct Quiet final : j4::records::RecordsListener {
    std::atomic<int> outages{0};
    void said(const std::string& text) override {
        if (text.find("cannot reach") != std::string::npos)
            ++outages;
    }
};

int measured(j4::bench::BesideDatabase& bench) {
    auto& [database, dir] = bench;
    database.dropRecords();
    Quiet listener;
    std::vector<std::unique_ptr<j4::records::RecordSender>> senders;
    std::vector<std::string> logs;
    for (int s = 0; s < kStations; ++s) {
        logs.push_back(dir.filePath(QStringLiteral("station%1.jsonl").arg(s)).toStdString());
        senders.push_back(std::make_unique<j4::records::RecordSender>(
            logs.back(), database.url().toStdString(), listener));
    }
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> stations;
    for (int s = 0; s < kStations; ++s)
        stations.emplace_back([&, s] {
            const j4::runs::LogOrigin origin{"bench", "host", "station-" + std::to_string(s), "op"};
            for (int n = 0; n < kRecords; ++n) {
                if (!j4::appendLine(logs[s], j4::runs::logLine(j4::bench::sampleReport(
                                                                   n, "/srv/releases/j4-2.1.0.j4u"),
                                                               origin) +
                                                 "\n"))
                    std::fprintf(stderr, "cannot append to %s\n", logs[s].c_str());
                senders[s]->wake();
                if (n % 50 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    const auto stored = [&] { return database.query("SELECT count(*) FROM j4_attempts").toInt(); };
    int restarts = 0;
    for (int target : {kStations * kRecords / 3, 2 * kStations * kRecords / 3}) {
        while (stored() < target && clock.elapsed() < 600000)
            QThread::msleep(50);
        database.stop();
        QThread::msleep(500);
        database.start();
        ++restarts;
    }
    for (auto& station : stations)
        station.join();
    const int expected = kStations * kRecords;
    while (stored() < expected && clock.elapsed() < 900000)
        QThread::msleep(20);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    senders.clear();
    const int rows = stored();
    const int distinct = database.query("SELECT count(DISTINCT attempt) FROM j4_attempts").toInt();
    std::printf("%d senders x %d records, %d server restarts (%d outages said): %d rows, "
                "%d lost, %d doubled, %.1f s, %.0f records/s sustained\n",
                kStations, kRecords, restarts, listener.outages.load(), rows, expected - distinct,
                rows - distinct, seconds, expected / seconds);
    std::printf("stations of 8 slots at one device per slot per minute one server takes: %.0f\n",
                expected / seconds * 60.0 / 8.0);
    return rows == expected && distinct == expected ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    return j4::bench::besideDatabase(argc, argv, measured);
}
