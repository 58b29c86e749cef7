#include "update_job.h"

#include <algorithm>

namespace j4 {

void UpdateJob::start(UpdateRequest request, JobOutlets outlets, QObject* context,
                      RunCallbacks callbacks) {
    if (running())
        return;
    (*awaiting_)[0] = 0;
    // The report is the job's last word, told once the job is idle.
    auto finished = std::exchange(callbacks.finished, nullptr);
    job_.start(context, [request = std::move(request), outlets = std::move(outlets),
                         callbacks = std::move(callbacks), finished = std::move(finished),
                         awaiting = awaiting_](const std::atomic<bool>& stop,
                                               const WorkerJob::Post& post) {
        RunRelay relayed(1, post, callbacks, {outlets.trace, false}, awaiting);
        station::MeteredListener metered(outlets.metrics.get(), relayed);
        runs::DeviceListener& relay = metered.listener();
        // The trusted keys as they are now: a file signed by a key removed
        // since it was chosen is not sent.
        const auto policy = release::ReleasePolicy::load({});
        runs::LogWriter* log = outlets.records ? &outlets.records->log() : nullptr;
        runs::AttemptReport report;
        if (policy) {
            report = runs::runAttempt(0, request, {outlets.links, relay, stop, log, &*policy});
        } else {
            report = runs::refusedAttempt(
                request, PreparedFile::refused(UpdateOutcome::FileRefused, policy.error()));
            runs::endAttempt(0, report, {outlets.links, relay, stop, log});
        }
        return std::function<void()>([finished, report] { finished(0, report); });
    });
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    return awaitedFor(awaiting_, 0);
}

} // namespace j4
