// A year of a 100-station plant's records (100 stations of 8 slots in 10
// lines, 100 million attempts: retries, failures and refused files among
// them), and what the plant asks of it:
//   - today, every line and station (first-pass and final yield), and the
//     live page's whole document;
//   - one unit's history, and the release it has now;
//   - the records' sender's insert rate with the database keeping its
//     summaries, against the same table without them.
// The rows are made by the server itself and the summaries counted once
// from them, as the layout does when it adds them to an earlier one. Run
// beside a server (about an hour and 50 GB of disk at the full size):
//   tests/support/with_postgres.sh build/bench/records_query_bench [--rows N]

#include "attempt_report.h"
#include "bench_connection.h"
#include "processes.h"
#include "record_sender.h"
#include "sample_report.h"
#include "update_log.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using j4::bench::connect;
using j4::bench::Connection;
using j4::bench::exec;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Attempt i of n, spread evenly over the year up to now: station i % 100
// (line-(i % 100) / 10), slot (i / 100) % 8 + 1, so the attempt 800 later
// is on the same slot. One in 41 fails; its unit is tried again 800
// attempts later. One in 97 is a refused file, which reaches no unit.
constexpr const char* kRows = R"sql(
INSERT INTO j4_attempts (attempt, station, operator, unit, started, ended, program_version,
    host, file, file_sha256, image_bytes, frames, port_number, slot, device, outcome, message,
    bytes_accepted, transmissions, rejects, duration_ms, release_version, record, received,
    line, work_order, lot, part_number)
SELECT gen_random_uuid(), 'station-' || lpad((i % 100)::text, 3, '0'), 'op' || (i % 7),
       CASE WHEN i % 97 = 5 THEN NULL
            ELSE 'J4-' || lpad((CASE WHEN i % 41 = 24 AND i >= 800 THEN i - 800 ELSE i END)::text,
                               10, '0') END,
       t, t + interval '95 seconds', '4.0.0', NULL,
       'j4-2.' || m || '.0.j4u', md5('release' || m) || md5('sha' || m),
       412000, 1600, 1, (i / 100) % 8 + 1, '/dev/ttyUSB' || ((i / 100) % 8),
       o, CASE o WHEN 'completed' THEN 'Update is completed.'
                 WHEN 'file_refused' THEN 'The file is not signed by a trusted key.'
                 WHEN 'link_failed' THEN 'The device stopped answering.'
                 ELSE 'The device rejected a frame four times.' END,
       CASE o WHEN 'completed' THEN 412000 ELSE 0 END,
       CASE o WHEN 'file_refused' THEN 0 ELSE 1600 END, 0, 95000, '2.' || m || '.0',
       '{"v":1}', t + interval '96 seconds',
       'line-' || (i % 100) / 10, 'WO-' || (i % 100) / 10 || '-' || w, 'LOT-' || w,
       'PN-J4-' || (i % 100) / 10
FROM (SELECT i, now() - interval '365 days' + (i * (365.0 * 86400 / $N$)) * interval '1 second' AS t,
             CASE WHEN i % 97 = 5 THEN 'file_refused'
                  WHEN i % 41 = 3 AND i % 2 = 0 THEN 'rejected_four_times'
                  WHEN i % 41 = 3 THEN 'link_failed'
                  ELSE 'completed' END AS o,
             (i * 12 / $N$) AS m, (i * 52 / $N$) AS w
      FROM generate_series($FROM$::bigint, $TO$::bigint - 1) i) g
)sql";

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

void makeRows(const QString& url, long long rows) {
    constexpr long long kChunk = 1'000'000;
    std::atomic<long long> next{0};
    std::atomic<long long> made{0};
    const auto start = Clock::now();
    auto worker = [&] {
        const Connection connection = connect(url);
        exec(connection.get(), "SET synchronous_commit = off");
        for (long long from = next.fetch_add(kChunk); from < rows; from = next.fetch_add(kChunk)) {
            std::string sql = replaced(kRows, "$N$", std::to_string(rows));
            sql = replaced(sql, "$FROM$", std::to_string(from));
            sql = replaced(sql, "$TO$", std::to_string(std::min(rows, from + kChunk)));
            exec(connection.get(), sql);
            const long long total = made += std::min(rows, from + kChunk) - from;
            std::fprintf(stderr, "\r%lld of %lld rows made, %.0f s", total, rows, seconds(start));
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back(worker);
    for (auto& w : workers)
        w.join();
    std::fprintf(stderr, "\n");
}

struct Timed {
    double median;
    double slowest;
    double mean;
};

// The median, the slowest and the mean of `runs` runs of each statement
// `make(k)` gives, in milliseconds.
template <typename Make> Timed timed(PGconn* connection, int runs, Make make) {
    std::vector<double> ms;
    for (int k = 0; k < runs; ++k) {
        const std::string sql = make(k);
        const auto start = Clock::now();
        exec(connection, sql);
        ms.push_back(seconds(start) * 1000.0);
    }
    const double mean = std::accumulate(ms.begin(), ms.end(), 0.0) / double(ms.size());
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back(), mean};
}

j4::runs::AttemptReport record(int station, int number) {
    j4::runs::AttemptReport report = j4::bench::sampleReport(number, "/srv/releases/j4-2.11.0.j4u");
    report.unit = "NEW-" + std::to_string(station) + "-" + std::to_string(number);
    report.production = {"line-" + std::to_string(station / 10), "WO-new", "LOT-new", "PN-J4"};
    return report;
}

struct Quiet final : j4::records::RecordsListener {
    void said(const std::string&) override {}
};

// Records per second that `stations` senders store, each forwarding
// `records` as its station appends them one by one.
double sendRate(const QString& url, PGconn* connection, int stations, int records, int round) {
    QTemporaryDir dir;
    Quiet listener;
    std::vector<std::unique_ptr<j4::records::RecordSender>> senders;
    std::vector<std::string> logs;
    for (int s = 0; s < stations; ++s) {
        logs.push_back(dir.filePath(QStringLiteral("station%1.jsonl").arg(s)).toStdString());
        senders.push_back(
            std::make_unique<j4::records::RecordSender>(logs.back(), url.toStdString(), listener));
    }
    const long long before = std::stoll(exec(connection, "SELECT count(*) FROM j4_attempts "
                                                         "WHERE work_order = 'WO-new'"));
    const auto start = Clock::now();
    std::vector<std::thread> writers;
    for (int s = 0; s < stations; ++s)
        writers.emplace_back([&, s] {
            const j4::runs::LogOrigin origin{"bench", "host", "new-" + std::to_string(s), "op"};
            for (int n = 0; n < records; ++n) {
                if (!j4::appendLine(
                        logs[s], j4::runs::logLine(record(s, round * records + n), origin) + "\n"))
                    std::fprintf(stderr, "cannot append to %s\n", logs[s].c_str());
                senders[s]->wake();
            }
        });
    for (auto& writer : writers)
        writer.join();
    const long long expected = before + static_cast<long long>(stations) * records;
    while (std::stoll(exec(connection, "SELECT count(*) FROM j4_attempts "
                                       "WHERE work_order = 'WO-new'")) < expected &&
           seconds(start) < 600)
        QThread::msleep(5);
    return stations * records / seconds(start);
}

// A plant's server, not a test's: memory for its caches and its sorts.
void tunedForAPlant(j4::testing::TestDatabase& database) {
    for (const char* setting : {"shared_buffers = '2GB'", "max_wal_size = '2GB'",
                                "maintenance_work_mem = '1GB'", "work_mem = '64MB'"})
        exec(connect(database.url()).get(), std::string("ALTER SYSTEM SET ") + setting);
    database.stop();
    database.start();
}

// The layout of a release before the summaries, filled, then brought up:
// its indexes and its summaries counted from the rows. False when j4_plant
// did not bring it up.
bool filledAndBroughtUp(const QString& plant, const QString& url, PGconn* connection,
                        long long rows) {
    QProcess::execute(plant, {"--records", url, "status"});
    exec(connection, "DROP INDEX j4_attempts_unit, j4_attempts_file_sha256, "
                     "j4_attempts_station, j4_attempts_started, j4_attempts_work_order; "
                     "ALTER TABLE j4_attempts DROP CONSTRAINT j4_attempts_pkey; "
                     "ALTER TABLE j4_attempts DISABLE TRIGGER j4_attempts_arrived; "
                     "DELETE FROM j4_layout_steps WHERE step >= 5");
    auto start = Clock::now();
    makeRows(url, rows);
    const double madeIn = seconds(start);
    exec(connection, "ALTER TABLE j4_attempts ENABLE TRIGGER j4_attempts_arrived");
    start = Clock::now();
    exec(connection, "ALTER TABLE j4_attempts ADD PRIMARY KEY (attempt)");
    QProcess::execute(plant, {"--records", url, "status"});
    if (exec(connection, "SELECT count(*) FROM j4_layout_steps WHERE step >= 5") == "0") {
        std::fprintf(stderr, "j4_plant did not bring the layout up to date\n");
        return false;
    }
    const double layoutIn = seconds(start);
    exec(connection, "ANALYZE");
    std::printf(
        "%lld rows made in %.0f s; indexes and summaries counted in %.0f s; %s on disk\n", rows,
        madeIn, layoutIn,
        exec(connection, "SELECT pg_size_pretty(pg_database_size(current_database()))").c_str());
    return true;
}

// The plant's questions, timed; true when within their targets.
bool questionsAnswered(PGconn* connection, long long rows) {
    // The live page's stations, each of 8 slots.
    exec(connection, "INSERT INTO j4_station_heartbeats (station, line, slots, heard) "
                     "SELECT 'station-' || lpad(s::text, 3, '0'), 'line-' || s / 10, 8, now() "
                     "FROM generate_series(0, 99) s; "
                     "INSERT INTO j4_slot_states (station, slot, state, since) "
                     "SELECT 'station-' || lpad(s::text, 3, '0'), k, 'updating', now() "
                     "FROM generate_series(0, 99) s, generate_series(1, 8) k");
    const auto today = timed(connection, 25, [](int) {
        return "SELECT line, station, sum(units), sum(first_pass), sum(completed) FROM j4_yield "
               "WHERE day = (now() AT TIME ZONE j4_time_zone())::date GROUP BY 1, 2";
    });
    const auto page = timed(connection, 25, [](int) { return "SELECT j4_live_view()"; });
    std::mt19937_64 pick(4);
    const auto unit = [&](int) {
        return "J4-" + QStringLiteral("%1").arg(pick() % rows, 10, 10, QChar('0')).toStdString();
    };
    const auto history = timed(connection, 25, [&](int k) {
        return "SELECT * FROM j4_unit_history WHERE unit = '" + unit(k) + "'";
    });
    const auto release = timed(connection, 25, [&](int k) {
        return "SELECT * FROM j4_unit_release WHERE unit = '" + unit(k) + "'";
    });
    std::printf("today, every line and station: %.1f ms median, %.1f ms slowest (target 50)\n",
                today.median, today.slowest);
    std::printf("the live page's document (100 stations): %.1f ms median, %.1f ms slowest\n",
                page.median, page.slowest);
    std::printf("one unit's history: %.1f ms median, %.1f ms slowest (target 50)\n", history.median,
                history.slowest);
    std::printf("one unit's release now: %.1f ms median, %.1f ms slowest\n", release.median,
                release.slowest);
    std::printf("units today: %s\n",
                exec(connection, "SELECT sum(units) FROM j4_yield "
                                 "WHERE day = (now() AT TIME ZONE j4_time_zone())::date")
                    .c_str());
    return today.median <= 50 && history.median <= 50;
}

// With the counts, and as the release before them (its trigger only told
// listeners).
class CountsSwitch {
public:
    explicit CountsSwitch(PGconn* connection)
        : connection_(connection),
          shipped_(exec(connection, "SELECT pg_get_functiondef('j4_attempts_arrived'::regproc)")) {}
    ~CountsSwitch() { keep(true); }
    void keep(bool kept) const {
        exec(connection_,
             kept ? shipped_
                  : "CREATE OR REPLACE FUNCTION j4_attempts_arrived() RETURNS trigger "
                    "LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_notify('j4_attempt', station) "
                    "FROM (SELECT DISTINCT station FROM arrived) s; RETURN NULL; END $$");
    }

private:
    PGconn* connection_;
    std::string shipped_;
};

// The sender's rate with a backlog (it sends what waits in one statement),
// with the counts against without, turn about: their ratio.
double backlogRatio(const QString& url, PGconn* connection, const CountsSwitch& counts) {
    constexpr int kStations = 8;
    constexpr int kRecords = 250;
    std::vector<double> with;
    std::vector<double> without;
    for (int round = 0; round < 6; ++round) {
        counts.keep(round % 2 == 0);
        (round % 2 == 0 ? with : without)
            .push_back(sendRate(url, connection, kStations, kRecords, round));
    }
    counts.keep(true);
    std::sort(with.begin(), with.end());
    std::sort(without.begin(), without.end());
    const double ratio = with[1] / without[1];
    std::printf("sender's insert rate (%d senders with a backlog): %.0f records/s with "
                "the counts, %.0f without: %.1f %% lower (target at most 10)\n",
                kStations, with[1], without[1], (1.0 - ratio) * 100.0);
    return ratio;
}

// One record a statement, as a station sends each attempt when it ends:
// its mean time, with a live page counting what is noted every 200 ms or not.
double singleInsertMs(const QString& url, PGconn* connection, bool page, int& inserted) {
    std::atomic<bool> done{false};
    std::thread counter([&] {
        const Connection own = connect(url);
        while (page && !done) {
            exec(own.get(), "SELECT j4_counts_caught_up()");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const auto one = timed(connection, 2048, [&](int) {
        return "INSERT INTO j4_attempts (attempt, station, unit, started, ended, file, "
               "file_sha256, slot, outcome, message, transmissions, release_version, line, "
               "work_order, record) VALUES (gen_random_uuid(), 'station-007', 'ONE-" +
               std::to_string(++inserted) +
               "', now(), now(), 'j4-2.11.0.j4u', repeat('a', 64), 3, "
               "'completed', 'Update is completed.', 1600, '2.11.0', 'line-0', 'WO-new', "
               "'{}') ON CONFLICT (attempt) DO NOTHING RETURNING attempt";
    });
    done = true;
    counter.join();
    return one.mean;
}

// The single inserts' rate with the counts against without, turn about,
// alone and with a page counting: the ratio with the page.
double singleRatio(const QString& url, PGconn* connection, const CountsSwitch& counts) {
    int inserted = 0;
    double withPage = 1.0;
    for (const bool page : {false, true}) {
        std::vector<double> kept;
        std::vector<double> bare;
        for (int round = 0; round < 6; ++round) {
            counts.keep(round % 2 == 0);
            (round % 2 == 0 ? kept : bare)
                .push_back(singleInsertMs(url, connection, page, inserted));
        }
        std::sort(kept.begin(), kept.end());
        std::sort(bare.begin(), bare.end());
        const double ratio = bare[1] / kept[1];
        if (page)
            withPage = ratio;
        std::printf("one record a statement%s: %.3f ms with the counts, %.3f ms without: a "
                    "rate %.1f %% lower\n",
                    page ? ", a live page counting" : ", nobody else counting", kept[1], bare[1],
                    (1.0 - ratio) * 100.0);
    }
    counts.keep(true);
    return withPage;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    long long rows = 100'000'000;
    QString plant = J4_PLANT;
    for (int a = 1; a + 1 < argc; ++a)
        if (std::string(argv[a]) == "--rows")
            rows = std::atoll(argv[a + 1]);
        else if (std::string(argv[a]) == "--plant") // a copy, while the build goes on
            plant = QString::fromLocal8Bit(argv[a + 1]);
    if (!j4::testing::TestDatabase::availableOrSaid())
        return 1;
    j4::testing::TestDatabase database;
    tunedForAPlant(database);
    const QString url = database.url();
    const Connection connection = connect(url);
    if (!filledAndBroughtUp(plant, url, connection.get(), rows))
        return 1;
    const bool answered = questionsAnswered(connection.get(), rows);
    const CountsSwitch counts(connection.get());
    const double backlog = backlogRatio(url, connection.get(), counts);
    const double single = singleRatio(url, connection.get(), counts);
    return answered && backlog >= 0.9 && single >= 0.9 ? 0 : 1;
}
