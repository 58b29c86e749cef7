#pragma once
// One update attempt off the UI thread, for the updater window: the runs
// layer's attempt in a worker job, its events posted to the window.

#include "line_watch.h"
#include "run_relay.h"
#include "worker_job.h"

#include <chrono>

namespace j4 {

class UpdateJob final {
public:
    // From start() until the report has been handed over.
    bool running() const { return job_.running(); }
    // Starts one attempt; ignored while one runs. Its end reaches
    // callbacks.finished with the job already idle.
    void start(UpdateRequest request, JobOutlets outlets, QObject* context, RunCallbacks callbacks);
    // Attempts send what the plant assigns `line`, not the request's file.
    void followLine(std::shared_ptr<FollowedLine> line) { line_ = std::move(line); }
    // The session stops at its next safe point and closes the port.
    void requestStop() { job_.requestStop(); }
    // How long the answer to the frame last sent has been awaited (zero when
    // no answer is awaited).
    std::chrono::milliseconds awaitingAnswerFor() const;

private:
    WorkerJob job_;
    AwaitingAnswers awaiting_ = noneAwaiting(1);
    std::shared_ptr<FollowedLine> line_; // none: the chosen file
};

} // namespace j4
