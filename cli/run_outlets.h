#pragma once
// Where j4_flash's runs go besides the terminal: the links they open, the
// metrics and the records kept on the way.

#include "attempt.h"
#include "flash_command.h"
#include "flash_options.h"
#include "output.h"
#include "record_keeping.h"
#include "station_metrics.h"

#include <atomic>
#include <optional>

namespace j4::cli {

// The links of a run: the test's own, or the real ones.
runs::LinkMaker linksFor(const FlashContext& context, const FlashOptions& options);

// The run's listener, with --metrics the metrics kept on the way.
class Metered {
public:
    Metered(const FlashOptions& options, std::size_t slotCount, runs::DeviceListener& listener);
    runs::DeviceListener& listener() { return metered_.listener(); }
    station::StationMetrics* counts() { return counts_.get(); }
    // What the run sends, in j4_station_info.
    void sending(const DecodedFile& file);
    // The run has ended: no slot waits any more.
    void ended();

private:
    runs::DeviceListener& listener_;
    std::unique_ptr<station::StationMetrics> counts_;
    station::MeteredListener metered_;
};

// The records' sender: what it says on standard error, how many records
// wait in the metrics.
class RecordsOutput final : public records::RecordsListener {
public:
    RecordsOutput(const Output& output, station::StationMetrics* metrics)
        : output_(output), metrics_(metrics) {}
    // The metrics that count from now on, once they are made.
    void countIn(station::StationMetrics* metrics) { metrics_ = metrics; }
    void said(const std::string& text) override { output_.error(text); }
    void unsentChanged(std::size_t count) override {
        if (station::StationMetrics* metrics = metrics_)
            if (const auto problem = metrics->setUnsent(count))
                output_.error(*problem);
    }
    void refusedChanged(std::size_t count) override {
        if (station::StationMetrics* metrics = metrics_)
            if (const auto problem = metrics->setRefused(count))
                output_.error(*problem);
    }
    void unloggedChanged(std::size_t count) override {
        if (station::StationMetrics* metrics = metrics_)
            if (const auto problem = metrics->setUnlogged(count))
                output_.error(*problem);
    }

private:
    const Output& output_;
    std::atomic<station::StationMetrics*> metrics_; // told from the sender's thread
};

records::RecordOptions recordOptions(const FlashOptions& options);

// What waits for the database at the end is said, never lost: it stays in
// the log. The bound keeps a down database from holding the program.
void finishRecords(records::RecordKeeping& records, const Output& output);

} // namespace j4::cli
