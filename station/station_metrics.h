#pragma once
// A station's state for Prometheus, in its text format, for the node
// exporter's textfile collector: attempts by slot and result, the time of
// each slot's last completed update, slots by state, records not yet sent.
// The file is written whole after each attempt and each slot change, to a
// temporary file renamed over it, so a scrape never sees half of it; and
// every 30 s besides with the time, so that a station that died (and left
// its file behind) is told from one that is idle.

#include "attempt.h"
#include "prometheus_text.h"

#include "worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace j4::station {

// The counts, kept across runs (a window's attempts, one after another),
// and their file. Safe from several threads.
class StationMetrics {
public:
    StationMetrics(std::string path, std::string station, std::size_t slotCount);
    ~StationMetrics();
    StationMetrics(const StationMetrics&) = delete;
    StationMetrics& operator=(const StationMetrics&) = delete;

    void opening(std::size_t slot);
    // Returns a sentence for the operator the first time the file cannot
    // be written.
    std::optional<std::string> finished(std::size_t slot, const runs::AttemptReport& report);
    std::optional<std::string> write();
    // Records waiting for the plant's database.
    std::optional<std::string> setUnsent(std::size_t count);
    // Records the database refused, set aside.
    std::optional<std::string> setRefused(std::size_t count);
    // Attempts the update log could not take yet (lost if the program ends).
    std::optional<std::string> setUnlogged(std::size_t count);
    // What the station sends: the release's signed version (empty when
    // unsigned) and the file's SHA-256, as j4_station_info's labels; a run
    // starts.
    std::optional<std::string> sending(const DecodedFile& file);
    // The station has ended: no slot waits or updates any more.
    std::optional<std::string> stopped();
    // The text as it is written.
    std::string text() const;
    std::size_t slotCount() const { return slots_.size(); }

private:
    struct Slot {
        bool updating = false;
        std::map<std::string, long> attempts; // by result
        std::optional<std::chrono::system_clock::time_point> lastCompleted;
    };

    std::string path_;
    std::string station_;
    mutable std::mutex mutex_; // the counts
    std::mutex writing_;       // the file
    std::vector<Slot> slots_;
    std::size_t unsent_ = 0;
    std::size_t refused_ = 0;
    std::size_t unlogged_ = 0;
    std::optional<std::pair<std::string, std::string>> release_; // version, SHA-256
    bool stopped_ = false;
    bool failedSaid_ = false;
    std::condition_variable beat_;
    bool ending_ = false;
    WorkerThread heartbeat_; // last: ends before what it writes goes
};

// Hears a run's events for the metrics and passes each on to `next`.
class MetricsListener final : public runs::PassingListener {
public:
    MetricsListener(StationMetrics& metrics, runs::DeviceListener& next)
        : runs::PassingListener(next), metrics_(metrics) {}

    void opening(std::size_t device) override;
    void finished(std::size_t device, const runs::AttemptReport& report) override;

private:
    StationMetrics& metrics_;
};

// A run's listener: `next`, or with metrics, the metrics kept on the way to
// it.
class MeteredListener {
public:
    MeteredListener(StationMetrics* metrics, runs::DeviceListener& next) : next_(next) {
        if (metrics)
            metered_.emplace(*metrics, next);
    }
    runs::DeviceListener& listener() { return metered_ ? *metered_ : next_; }

private:
    runs::DeviceListener& next_;
    std::optional<MetricsListener> metered_;
};

} // namespace j4::station
