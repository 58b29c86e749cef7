#pragma once
// A station off the UI thread, for the station window: the runs layer's
// station (every slot on a thread of its own) in a worker job, its events
// posted to the window.

#include "record_keeping.h"
#include "run_relay.h"
#include "station_metrics.h"
#include "targets.h"
#include "unit_scans.h"
#include "worker_job.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace j4 {

// What a line sets beyond the slots (the profile's, or the command line's).
struct StationLine {
    std::chrono::milliseconds settle{0};
    std::shared_ptr<station::UnitScans> units; // scanned in the window
    bool requireUnit = false;
    std::string onResult; // empty: no command
};

class StationJob final {
public:
    explicit StationJob(std::chrono::milliseconds answerTimeout) : answerTimeout_(answerTimeout) {}

    // From start() until `ended` has been handed over.
    bool running() const { return job_.running(); }
    // Watches `slotNames` until requestStop(); ignored while running.
    void start(std::shared_ptr<const DecodedFile> decoded, std::vector<runs::TargetName> slotNames,
               std::string file, StationLine line, QObject* context, RunCallbacks callbacks,
               std::function<void()> ended);
    // How long slot `index`'s device has awaited its answer.
    std::chrono::milliseconds awaitingAnswerFor(std::size_t index) const {
        return awaiting_ && index < awaiting_->size() ? awaitedFor(awaiting_, index)
                                                      : std::chrono::milliseconds{0};
    }
    // Every slot stops: a transfer at its next frame boundary, its port closed.
    void requestStop() { job_.requestStop(); }
    void traceTo(std::FILE* stream) { trace_ = stream; }
    // With counts: the metrics kept on the way (j4_updater --metrics).
    void keepMetrics(std::shared_ptr<station::StationMetrics> metrics) {
        metrics_ = std::move(metrics);
    }
    // Where the attempts are logged, and with a database, sent.
    void keepRecords(std::shared_ptr<records::RecordKeeping> records) {
        records_ = std::move(records);
    }

private:
    WorkerJob job_;
    std::chrono::milliseconds answerTimeout_;
    std::FILE* trace_ = nullptr;
    std::shared_ptr<station::StationMetrics> metrics_;
    std::shared_ptr<records::RecordKeeping> records_;
    AwaitingAnswers awaiting_;
};

} // namespace j4
