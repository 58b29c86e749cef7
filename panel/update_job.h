#pragma once
// One update attempt off the UI thread, for the updater window: the runs
// layer's attempt in a worker job, its events posted to the window.

#include "record_keeping.h"
#include "run_relay.h"
#include "station_metrics.h"
#include "worker_job.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace j4 {

class UpdateJob final {
public:
    explicit UpdateJob(std::chrono::milliseconds answerTimeout);

    // From start() until the report has been handed over.
    bool running() const { return job_.running(); }
    // Starts one attempt; ignored while one runs. Its end reaches
    // callbacks.finished with the job already idle.
    void start(UpdateRequest request, QObject* context, RunCallbacks callbacks);
    // The session stops at its next safe point and closes the port.
    void requestStop() { job_.requestStop(); }
    // How long the answer to the frame last sent has been awaited (zero when
    // no answer is awaited).
    std::chrono::milliseconds awaitingAnswerFor() const;
    // With a stream: a line per transmission there (j4_updater --verbose).
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
    AwaitingAnswers awaiting_ = noneAwaiting(1);
    std::shared_ptr<records::RecordKeeping> records_;
    std::FILE* trace_ = nullptr;
    std::shared_ptr<station::StationMetrics> metrics_;
};

} // namespace j4
