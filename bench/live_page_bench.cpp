// The live page at a plant's size: 100 stations of 8 slots in 10 lines, each
// reporting its slots every second and ending an attempt every few seconds
// (a unit per slot and minute or so), against one j4_plant serve with a
// client on its event stream. Reports how long each attempt's end takes to
// reach the stream (its unit as the slot's last result), and the server's
// CPU and memory. Run beside a server:
//   tests/support/with_postgres.sh build/bench/live_page_bench [--seconds N]

#include "attempt_report.h"
#include "live_state.h"
#include "processes.h"
#include "record_database.h"
#include "sample_report.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStations = 100;
constexpr int kSlots = 8;

std::string stationName(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "st-%03d", n);
    return name;
}

// Units whose records were stored, and when; then when the stream had them.
struct Ledger {
    std::mutex mutex;
    std::map<std::string, Clock::time_point> stored;
    std::vector<double> latencyMs;
    void sent(const std::string& unit) {
        std::lock_guard lock(mutex);
        stored[unit] = Clock::now();
    }
    void seen(const std::string& unit) {
        std::lock_guard lock(mutex);
        const auto found = stored.find(unit);
        if (found == stored.end())
            return;
        latencyMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - found->second).count());
        stored.erase(found);
    }
};

j4::records::Record attemptRecord(int station, int slot, const std::string& unit) {
    j4::runs::AttemptReport report = j4::bench::sampleReport(slot - 1, "j4-2.11.0.j4u");
    report.unit = unit;
    report.production = {"line-" + std::to_string(station / 10), "WO-1", "LOT-1", "PN-J4"};
    const j4::runs::LogOrigin origin{"bench", "host", stationName(station), "op"};
    return *j4::records::readRecord(j4::runs::logLine(report, origin));
}

void station(int n, const std::string& url, const std::atomic<bool>& stop, Ledger& ledger) {
    auto database = j4::records::RecordDatabase::open(url, &stop);
    if (!database) {
        std::fprintf(stderr, "%s: %s\n", stationName(n).c_str(), database.error().c_str());
        return;
    }
    std::mt19937 random(n);
    j4::records::LiveState state{
        stationName(n), "line-" + std::to_string(n / 10), "bench", "host", {}};
    for (int slot = 1; slot <= kSlots; ++slot)
        state.slotStates.push_back({slot, "empty", "", 0});
    int made = 0;
    while (!stop) {
        const auto tick = Clock::now();
        // One slot in six ends its unit each second: a unit per slot and
        // some 48 s, 17 records a second from the plant.
        for (auto& slot : state.slotStates) {
            const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
            if (random() % 48 == 0) {
                const std::string unit = stationName(n) + "-" + std::to_string(++made);
                const j4::records::Record record = attemptRecord(n, slot.slot, unit);
                if ((*database)->insert(std::span(&record, 1)))
                    ledger.sent(unit);
                slot = {slot.slot, "completed", unit, now};
            } else if (slot.state == "completed" && random() % 4 == 0) {
                slot = {slot.slot, "updating", "next", now};
            }
        }
        static_cast<void>((*database)->reportLive(state));
        std::this_thread::sleep_until(tick + std::chrono::seconds(1));
    }
}

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

std::string memory(qint64 pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", key.size() + 1));
    return "?";
}

struct StreamCounts {
    std::atomic<long> events{0};
    std::atomic<long> bytes{0};
};

// The page's stream, read as a page reads it: each slot's last unit noted
// in the ledger when it appears.
void listenToStream(int port, const std::atomic<bool>& stop, Ledger& ledger, StreamCounts& counts) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    std::string pending;
    client.Get("/events", [&](const char* data, std::size_t length) {
        pending.append(data, length);
        for (auto end = pending.find("\n\n"); end != std::string::npos;
             end = pending.find("\n\n")) {
            const std::string event = pending.substr(0, end);
            pending.erase(0, end + 2);
            if (event.rfind("data: ", 0) != 0)
                continue;
            ++counts.events;
            counts.bytes += long(event.size());
            const auto plant = nlohmann::json::parse(event.substr(6), nullptr, false);
            for (const auto& line : plant["lines"])
                for (const auto& station : line["stations"])
                    for (const auto& slot : station["slots"])
                        if (slot["last"].is_object() && slot["last"]["unit"].is_string())
                            ledger.seen(slot["last"]["unit"].get<std::string>());
        }
        return !stop;
    });
}

struct StreamRate {
    double eventsPerSecond;
    double kilobytesAnEvent;
};
struct ServerLoad {
    double corePercent;
    std::string rss;
    std::string peak;
};

// The figures said; 0 when the stream's latency and completeness met their targets.
int reported(std::vector<double> latency, long unseen, double wall, StreamRate stream,
             const ServerLoad& load) {
    if (latency.empty()) {
        std::fprintf(stderr, "no attempt reached the stream\n");
        return 1;
    }
    std::sort(latency.begin(), latency.end());
    const auto at = [&](double share) {
        return latency[std::size_t(share * (latency.size() - 1))];
    };
    std::printf(
        "%d stations x %d slots, %.0f s: %zu attempts seen on the stream, %ld not within 5 s\n",
        kStations, kSlots, wall, latency.size(), unseen);
    std::printf("attempt stored -> on the stream: median %.0f ms, 95th %.0f ms, slowest %.0f ms "
                "(target 1000)\n",
                at(0.5), at(0.95), latency.back());
    std::printf("stream: %.1f events/s, %.0f kB an event\n", stream.eventsPerSecond,
                stream.kilobytesAnEvent);
    std::printf("j4_plant serve: %.1f %% of a core, memory %s now (peak %s)\n", load.corePercent,
                load.rss.c_str(), load.peak.c_str());
    return at(0.95) <= 1000 && unseen == 0 ? 0 : 1;
}

// A plant's server (each station keeps a connection or two), its layout
// made, and j4_plant serve answering on it: its port, 0 when it did not start.
int startedServe(j4::testing::TestDatabase& database, QProcess& server) {
    database.query("ALTER SYSTEM SET max_connections = 300");
    database.stop();
    database.start();
    if (j4::testing::runProgram(J4_PLANT, {"--records", database.url(), "status"}).exitCode != 0)
        return 0;
    const int port = j4::testing::freeLocalPort();
    server.start(J4_PLANT, {"--records", database.url(), "serve", "--listen",
                            "127.0.0.1:" + QString::number(port)});
    httplib::Client probe("127.0.0.1", port);
    for (int tries = 0; !probe.Get("/") && tries < 300; ++tries)
        QThread::msleep(100);
    return port;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 60;
    for (int a = 1; a + 1 < argc; ++a)
        if (std::string(argv[a]) == "--seconds")
            seconds = std::atoi(argv[a + 1]);
    if (!j4::testing::TestDatabase::availableOrSaid())
        return 1;
    j4::testing::TestDatabase database;
    const std::string url = database.url().toStdString();
    QProcess server;
    const int port = startedServe(database, server);
    if (port == 0)
        return 1;

    std::atomic<bool> stop{false};
    Ledger ledger;
    StreamCounts counts;
    std::thread listener(listenToStream, port, std::cref(stop), std::ref(ledger), std::ref(counts));
    std::vector<std::thread> stations;
    for (int n = 0; n < kStations; ++n)
        stations.emplace_back(station, n, url, std::cref(stop), std::ref(ledger));

    // The first seconds fill the page; then the measured window.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    {
        std::lock_guard lock(ledger.mutex);
        ledger.latencyMs.clear();
    }
    const long eventsBefore = counts.events;
    const long bytesBefore = counts.bytes;
    const double cpuBefore = cpuSeconds(server.processId());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds(server.processId()) - cpuBefore;
    const std::string rss = memory(server.processId(), "VmRSS");
    const std::string peak = memory(server.processId(), "VmHWM");
    std::vector<double> latency;
    long unseen = 0;
    {
        std::lock_guard lock(ledger.mutex);
        latency = ledger.latencyMs;
        for (const auto& [unit, when] : ledger.stored)
            unseen += Clock::now() - when > std::chrono::seconds(5) ? 1 : 0;
    }
    stop = true;
    for (auto& s : stations)
        s.join();
    server.terminate();
    server.waitForFinished(30000);
    listener.join();
    return reported(latency, unseen, wall,
                    {double(counts.events - eventsBefore) / wall,
                     double(counts.bytes - bytesBefore) /
                         double(std::max(1L, counts.events - eventsBefore)) / 1000.0},
                    {100.0 * cpu / wall, rss, peak});
}
