#include "update_job.h"

#include "link_factory.h"

#include <algorithm>

namespace j4 {

UpdateJob::UpdateJob(std::chrono::milliseconds answerTimeout) : answerTimeout_(answerTimeout) {}

void UpdateJob::start(UpdateRequest request, QObject* context, RunCallbacks callbacks) {
    if (running())
        return;
    *awaiting_ = 0;
    // The log is the one named now; a log that fails is said once for as long
    // as it stays the one named.
    if (const std::string path = runs::logFromEnvironment(); !log_ || log_->path() != path)
        log_ = std::make_shared<runs::LogWriter>(path, runs::stationFromEnvironment());
    // The report is the job's last word, told once the job is idle.
    auto finished = std::exchange(callbacks.finished, nullptr);
    job_.start(context, [request = std::move(request), callbacks = std::move(callbacks),
                         finished = std::move(finished), timeout = answerTimeout_, log = log_,
                         awaiting = awaiting_, trace = trace_, metrics = metrics_](
                            const std::atomic<bool>& stop, const WorkerJob::Post& post) {
        RunRelay relayed(1, post, callbacks, {trace, false}, awaiting);
        std::optional<runs::MetricsListener> metered;
        if (metrics)
            metered.emplace(*metrics, relayed);
        runs::DeviceListener& relay =
            metered ? static_cast<runs::DeviceListener&>(*metered) : relayed;
        const runs::LinkMaker links = [timeout](const std::string& device) {
            return makeLink(device, timeout);
        };
        // The trusted keys as they are now: a file signed by a key removed
        // since it was chosen is not sent.
        const auto policy = runs::ReleasePolicy::load({});
        UpdateReport report;
        if (policy) {
            report = runs::runAttempt(0, request, {links, relay, stop, log.get(), &*policy});
        } else {
            report = runs::refusedAttempt(
                request, {nullptr, UpdateOutcome::FileRefused, policy.error(), {}});
            runs::endAttempt(0, report, {links, relay, stop, log.get()});
        }
        return std::function<void()>([finished, report] { finished(0, report); });
    });
}

std::chrono::milliseconds UpdateJob::awaitingAnswerFor() const {
    const std::int64_t since = *awaiting_;
    return std::chrono::milliseconds{since == 0 ? 0
                                                : std::max<std::int64_t>(0, steadyMs() - since)};
}

} // namespace j4
