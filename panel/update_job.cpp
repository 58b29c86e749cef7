#include "update_job.h"

#include <algorithm>

namespace j4 {

UpdateJob::UpdateJob(std::chrono::milliseconds answerTimeout) : answerTimeout_(answerTimeout) {}

void UpdateJob::start(UpdateRequest request, QObject* context, RunCallbacks callbacks) {
    if (running())
        return;
    (*awaiting_)[0] = 0;
    // The report is the job's last word, told once the job is idle.
    auto finished = std::exchange(callbacks.finished, nullptr);
    job_.start(context,
               [request = std::move(request), callbacks = std::move(callbacks),
                finished = std::move(finished), timeout = answerTimeout_, records = records_,
                awaiting = awaiting_, trace = trace_,
                metrics = metrics_](const std::atomic<bool>& stop, const WorkerJob::Post& post) {
                   RunRelay relayed(1, post, callbacks, {trace, false}, awaiting);
                   std::optional<station::MetricsListener> metered;
                   runs::DeviceListener& relay = meteredRelay(metered, metrics, relayed);
                   const runs::LinkMaker links = realLinks(timeout);
                   // The trusted keys as they are now: a file signed by a key removed
                   // since it was chosen is not sent.
                   const auto policy = release::ReleasePolicy::load({});
                   runs::LogWriter* log = records ? &records->log() : nullptr;
                   UpdateReport report;
                   if (policy) {
                       report = runs::runAttempt(0, request, {links, relay, stop, log, &*policy});
                   } else {
                       report = runs::refusedAttempt(
                           request, {nullptr, UpdateOutcome::FileRefused, policy.error(), {}});
                       runs::endAttempt(0, report, {links, relay, stop, log});
                   }
                   return std::function<void()>([finished, report] { finished(0, report); });
               });
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    return awaitedFor(awaiting_, 0);
}

} // namespace j4
